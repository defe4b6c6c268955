#pragma once

#include "engine/socket/Socket.h"

namespace tarnwick {

class CThreadListenTCP;

// The listening socket of a TCP port. Its accept notices go to the listener that holds it.
class CSocketListenTCP : public Socket {
public:
    explicit CSocketListenTCP(CThreadListenTCP& owner) : owner_(owner) {}

protected:
    void OnAccept(int error) override;

private:
    CThreadListenTCP& owner_;  // holds this socket
};

}  // namespace tarnwick
