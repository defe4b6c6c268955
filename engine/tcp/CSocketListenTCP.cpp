#include "tcp/CSocketListenTCP.h"

#include "tcp/CThreadListenTCP.h"

namespace tarnwick {

void CSocketListenTCP::OnAccept(int) {
    owner_.OnAccept();
}

}  // namespace tarnwick
