#include "tcp/CSocketForwardTCP.h"

#include "tcp/CThreadTCP.h"

namespace tarnwick {

void CSocketForwardTCP::OnConnect(int error) {
    owner.OnForwardConnected(error);
}

void CSocketForwardTCP::OnReceive(int) {
    owner.OnForwardData();
}

void CSocketForwardTCP::OnSend(int) {
    owner.OnWritable(*this);
}

void CSocketForwardTCP::OnClose(int error) {
    owner.OnSocketClosed(*this, error);
}

}  // namespace tarnwick
