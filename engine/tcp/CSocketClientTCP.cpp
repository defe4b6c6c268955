#include "tcp/CSocketClientTCP.h"

#include "tcp/CThreadTCP.h"

namespace tarnwick {

void CSocketClientTCP::OnReceive(int) {
    owner.OnClientData();
}

void CSocketClientTCP::OnClose(int) {
    owner.EndSession(0);
}

}  // namespace tarnwick
