#pragma once

#include "engine/tcp/SessionSocket.h"

namespace tarnwick {

// A session's connection to the chosen destination; it has no descriptor until the
// destination is chosen. Its notices go to the session that holds it.
class CSocketForwardTCP : public SessionSocket {
public:
    explicit CSocketForwardTCP(CThreadTCP& owner) : SessionSocket(owner) {}

protected:
    void OnConnect(int error) override;  // the session's OnForwardConnected
    void OnReceive(int error) override;  // the session's OnForwardData
};

}  // namespace tarnwick
