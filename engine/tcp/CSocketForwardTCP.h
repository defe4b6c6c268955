#pragma once

#include "event/Socket.h"

namespace tarnwick {

class CThreadTCP;

// A session's connection to the chosen destination; it has no descriptor until the
// destination is chosen. Its notices go to the session that holds it.
class CSocketForwardTCP : public Socket {
public:
    explicit CSocketForwardTCP(CThreadTCP& owner) : owner(owner) {}

    CThreadTCP& owner;  // holds this socket

protected:
    void OnConnect(int error) override;  // the session's OnForwardConnected
    void OnReceive(int error) override;  // the session's OnForwardData
    void OnSend(int error) override;     // the session's OnWritable
    void OnClose(int error) override;    // the session's OnSocketClosed
};

}  // namespace tarnwick
