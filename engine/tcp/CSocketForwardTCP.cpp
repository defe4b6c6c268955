#include "tcp/CSocketForwardTCP.h"

#include "tcp/CThreadTCP.h"

namespace tarnwick {

void CSocketForwardTCP::OnReceive(int) {
    owner.OnForwardData();
}

void CSocketForwardTCP::OnClose(int) {
    owner.EndSession(0);
}

}  // namespace tarnwick
