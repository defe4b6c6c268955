#pragma once

#include "event/Socket.h"

namespace tarnwick {

class CThreadTCP;

// A session's connection from the client. Its notices go to the session that holds it.
class CSocketClientTCP : public Socket {
public:
    explicit CSocketClientTCP(CThreadTCP& owner) : owner(owner) {}

    CThreadTCP& owner;  // holds this socket

protected:
    void OnReceive(int error) override;  // the session's OnClientData
    void OnSend(int error) override;     // the session's OnWritable
    void OnClose(int error) override;    // the session's OnSocketClosed
};

}  // namespace tarnwick
