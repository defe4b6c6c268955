#include "tcp/CSocketClientTCP.h"

#include "tcp/CThreadTCP.h"

namespace tarnwick {

void CSocketClientTCP::OnReceive(int) {
    owner.OnClientData();
}

}  // namespace tarnwick
