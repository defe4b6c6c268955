#pragma once

#include <memory>

#include "ForwardingPort.h"
#include "event/Socket.h"

namespace tarnwick {

class CThreadListenTCP;

// The listening socket of a TCP port. It carries the listener's private copy of the port,
// from which every session gets a fresh copy of its own.
class CSocketListenTCP : public Socket {
public:
    explicit CSocketListenTCP(CThreadListenTCP& owner) : owner_(owner) {}

    std::unique_ptr<ForwardingPort> portCopy;  // null once freed

protected:
    void OnAccept(int error) override;

private:
    CThreadListenTCP& owner_;  // holds this socket
};

}  // namespace tarnwick
