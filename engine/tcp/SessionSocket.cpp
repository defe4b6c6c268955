#include "engine/tcp/SessionSocket.h"

#include "engine/tcp/CThreadTCP.h"

namespace tarnwick {

void SessionSocket::OnSend(int) {
    owner.OnWritable(*this);
}

void SessionSocket::OnClose(int error) {
    owner.OnSocketClosed(*this, error);
}

}  // namespace tarnwick
