#include "tcp/CSocketClientTCP.h"

#include "tcp/CThreadTCP.h"

namespace tarnwick {

void CSocketClientTCP::OnReceive(int) {
    owner.OnClientData();
}

void CSocketClientTCP::OnSend(int) {
    owner.OnWritable(*this);
}

void CSocketClientTCP::OnClose(int error) {
    owner.OnSocketClosed(*this, error);
}

}  // namespace tarnwick
