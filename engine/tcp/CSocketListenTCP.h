#pragma once

#include <memory>

#include "ForwardingPort.h"
#include "event/Socket.h"

namespace tarnwick {

class CThreadListenTCP;

// The listening socket of a TCP port. It carries the listener's private copy of the port,
// which no one changes once the listener runs.
class CSocketListenTCP : public Socket {
public:
    explicit CSocketListenTCP(CThreadListenTCP& owner) : owner_(owner) {}

    std::shared_ptr<const ForwardingPort> portCopy;  // null once freed

protected:
    void OnAccept(int error) override;

private:
    CThreadListenTCP& owner_;  // holds this socket
};

}  // namespace tarnwick
