#include "udp/CThreadUDP.h"

#include <arpa/inet.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "event/EngineMessages.h"
#include "event/ResolveHost.h"
#include "event/ThreadRegistry.h"
#include "routing/ChooseDestination.h"

namespace tarnwick {

CThreadUDP::CThreadUDP(std::shared_ptr<CaptureLog> captureLog)
    : udpSocket(*this), captureLog(std::move(captureLog)) {}

void CThreadUDP::onMessage(const Message& message) {
    switch (message.message) {
        case WM_PORT_STARTED:
            OnStart();
            break;
        case WM_PORT_RESTART:
            OnRestart();
            break;
        case WM_PORT_STOP:
            OnStop(message.wParam);
            break;
        default:
            break;
    }
}

void CThreadUDP::OnStart() {
    if (!portCopy) {
        return;  // a stop or restart request came first; the relay is already ending
    }
    int result = captureLog ? udpSocket.Open(portCopy->listenPort) : -EINVAL;
    if (result != 0) {
        ShutDown(WM_PORT_STOP, true, -result);  // the owner learns why the port did not open
        return;
    }
    PostThreadMessage(portCopy->ownerWindow, WM_PORT_STARTED, threadId(), 0, threadHandle());
}

void CThreadUDP::OnRestart() {
    ShutDown(WM_PORT_RESTART, true);
}

void CThreadUDP::OnStop(std::uintptr_t quiet) {
    ShutDown(WM_PORT_STOP, quiet == 0);
}

void CThreadUDP::ShutDown(std::uint32_t notice, bool report, int error) {
    udpSocket.Close();
    MailboxId window = portCopy ? portCopy->ownerWindow : 0;
    FreePortCopy();
    if (report) {
        PostThreadMessage(window, notice, threadId(), error);  // id 0: nobody to tell
    }
    quit();
}

void CThreadUDP::FreePortCopy() {
    portCopy.reset();
}

// Relays the datagrams that are waiting, a bounded number per notice so that commands
// posted meanwhile are not held up; the loop calls again while more are waiting.
void CThreadUDP::OnDatagram() {
    for (int count = 0; count < DATAGRAMS_PER_NOTICE && portCopy; ++count) {
        if (!RelayDatagram()) {
            return;
        }
    }
}

// One datagram; false when none was waiting.
bool CThreadUDP::RelayDatagram() {
    unsigned char buffer[RECEIVE_BUFFER_SIZE];
    sockaddr_in sender{};
    long length = udpSocket.ReceiveFrom(buffer, sizeof buffer, sender);
    if (length == -EMSGSIZE) {
        length = RECEIVE_BUFFER_SIZE;  // too long: its first part goes on like any datagram
    }
    if (length == -EAGAIN) {
        return false;
    }
    if (length <= 0) {
        return true;  // empty datagram, or an error: ignored, the relay goes on
    }
    std::size_t count = static_cast<std::size_t>(length);
    if (!destinationChosen && !ChooseRunDestination(buffer, count)) {
        OnStop(0);
        return false;
    }
    const sockaddr_in* target = &destAddress;
    if (FromDestination(sender)) {
        if (clientAddress.sin_port == 0) {
            return true;  // a reply before any client: nobody to give it to
        }
        target = &clientAddress;
    } else {
        clientAddress = sender;
    }
    long sent = udpSocket.SendTo(buffer, count, *target);
    if (sent == -EAGAIN) {
        ++droppedDatagrams;  // as a full network queue would: the relay never waits
    } else if (sent < 0) {
        OnStop(0);
        return false;
    }
    return true;
}

bool CThreadUDP::ChooseRunDestination(const unsigned char* data, std::size_t length) {
    destinationChosen = true;
    std::int32_t port = 0;
    ChooseDestination(*portCopy, data, length, destIp, port, *captureLog);
    destPort = static_cast<std::uint32_t>(port);
    std::vector<sockaddr_storage> addresses = ResolveHost(destIp, port);
    if (addresses.empty() || addresses.front().ss_family != AF_INET) {
        return false;
    }
    destAddress = reinterpret_cast<const sockaddr_in&>(addresses.front());  // the first one
    return true;
}

// Address and port both: a client on the destination's own host is still a client.
bool CThreadUDP::FromDestination(const sockaddr_in& sender) const {
    return sender.sin_addr.s_addr == destAddress.sin_addr.s_addr &&
           sender.sin_port == destAddress.sin_port;
}

}  // namespace tarnwick
