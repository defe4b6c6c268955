#pragma once

#include "engine/socket/Socket.h"

namespace tarnwick {

class CThreadTCP;

// A connection of a TCP session, to the client or to the destination. Both sides report
// a full buffer that drained and their end to the session alike; what each does with
// arriving data (and the destination's connect) is its own.
class SessionSocket : public Socket {
protected:
    explicit SessionSocket(CThreadTCP& owner) : owner(owner) {}

    void OnSend(int error) override;   // the session's OnWritable
    void OnClose(int error) override;  // the session's OnSocketClosed

    CThreadTCP& owner;  // holds this socket
};

}  // namespace tarnwick
