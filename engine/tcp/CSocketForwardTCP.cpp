#include "engine/tcp/CSocketForwardTCP.h"

#include "engine/tcp/CThreadTCP.h"

namespace tarnwick {

void CSocketForwardTCP::OnConnect(int error) {
    owner.OnForwardConnected(error);
}

void CSocketForwardTCP::OnReceive(int) {
    owner.OnForwardData();
}

}  // namespace tarnwick
