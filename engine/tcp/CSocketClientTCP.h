#pragma once

#include "engine/tcp/SessionSocket.h"

namespace tarnwick {

// A session's connection from the client. Its notices go to the session that holds it.
class CSocketClientTCP : public SessionSocket {
public:
    explicit CSocketClientTCP(CThreadTCP& owner) : SessionSocket(owner) {}

protected:
    void OnReceive(int error) override;  // the session's OnClientData
};

}  // namespace tarnwick
