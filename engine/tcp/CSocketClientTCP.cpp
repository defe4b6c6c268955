#include "engine/tcp/CSocketClientTCP.h"

#include "engine/tcp/CThreadTCP.h"

namespace tarnwick {

void CSocketClientTCP::OnReceive(int) {
    owner.OnClientData();
}

}  // namespace tarnwick
