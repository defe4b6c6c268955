#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "AllowedClients.h"
#include "ForwardingPort.h"
#include "PortCounters.h"
#include "event/Message.h"
#include "event/WorkerThread.h"
#include "routing/CaptureLog.h"
#include "udp/CSocketUDP.h"
#include "udp/ReplySource.h"

namespace tarnwick {

// The worker of a running UDP port: one datagram socket on `listenPort` at `listenAddress`
// serves every client and the destination. The first datagram of a run picks the
// destination for the whole run (rules and capture included, as for a TCP session's first
// data); datagrams from the destination go back to the last client that sent one. A
// destination elsewhere may answer from any port; one on this host only from its own.
// Datagrams from clients outside `allowFrom` are dropped unseen: they neither pick the
// destination nor become the client. The destination is the first of its host's addresses
// that the socket can reach: an IPv6 destination needs an IPv6 listen address.
//
// Created suspended like every worker: the starter stores the new thread's id and handle
// in the port's record, hands over a deep copy of the record and the capture log, then
// resumes it. Notices to the copy's `ownerWindow`:
//   WM_PORT_STARTED (thread id, handle in Message::handle) once the socket is bound;
//   WM_PORT_STOP (thread id) when it could not bind (lParam: the errno), when a send
//     failed or the destination could not be resolved, and in answer to WM_PORT_STOP
//     with wParam 0;
//   WM_PORT_RESTART (thread id) in answer to WM_PORT_RESTART.
// WM_PORT_STOP with wParam non-zero ends the relay without any notice.
class CThreadUDP : public WorkerThread {
public:
    // The most bytes of one datagram that are relayed, matched and captured; the rest of a
    // longer datagram is lost.
    static constexpr std::size_t RECEIVE_BUFFER_SIZE = 8192;
    static constexpr int DATAGRAMS_PER_NOTICE = 32;

    // `captureLog` receives the dump of each run's first datagram; it must not be null.
    explicit CThreadUDP(std::shared_ptr<CaptureLog> captureLog);

    // Before resume: the relay's own deep copy of the port, carrying `ownerWindow`. Without
    // one the relay ends at start, silently.
    void setPortCopy(std::unique_ptr<ForwardingPort> copy) { portCopy = std::move(copy); }
    // Before resume: the run's counters (never null). The run's record goes to their
    // connection log when the relay ends.
    void setCounters(std::shared_ptr<PortCounters> counters) { this->counters = std::move(counters); }

    // `udpSocket` has a datagram waiting: relay it.
    void OnDatagram();

protected:
    void onMessage(const Message& message) override;

private:
    void OnStart();
    void OnRestart();
    void OnStop(std::uintptr_t quiet);
    // Closes the socket, frees the copy, posts `notice` to the window when `report` is set
    // and ends the loop.
    void ShutDown(std::uint32_t notice, bool report, int error = 0);
    void FreePortCopy();

    // Routes the run by its first datagram and resolves the destination once; false when
    // the destination cannot be used.
    bool RelayDatagram();
    bool ChooseRunDestination(const unsigned char* data, std::size_t length);
    bool Admits(const SocketAddress& sender) const;
    bool FromDestination(const SocketAddress& sender) const;
    void LogRun();

    CSocketUDP udpSocket;
    std::unique_ptr<ForwardingPort> portCopy;
    std::shared_ptr<CaptureLog> captureLog;
    std::shared_ptr<PortCounters> counters = std::make_shared<PortCounters>();
    std::chrono::steady_clock::time_point runStart;  // when the socket was bound
    int runError = 0;  // errno of the send or lookup that ended the run; 0 = none
    SocketAddress localAddress;  // where udpSocket is bound
    AllowedClients allowedClients;
    bool destinationChosen = false;
    std::string destIp;  // the destination's host as configured: an address or a name
    std::uint32_t destPort = 0;
    SocketAddress destAddress;    // destIp resolved once, with destPort, as udpSocket sends
    ReplySource replySource;      // which senders count as destAddress
    SocketAddress clientAddress;  // the last client; empty = none yet in this run
};

}  // namespace tarnwick
