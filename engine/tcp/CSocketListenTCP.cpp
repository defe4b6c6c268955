#include "engine/tcp/CSocketListenTCP.h"

#include "engine/tcp/CThreadListenTCP.h"

namespace tarnwick {

void CSocketListenTCP::OnAccept(int) {
    owner_.OnAccept();
}

}  // namespace tarnwick
