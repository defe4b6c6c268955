#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "config/ForwardingPort.h"
#include "engine/AllowedClients.h"
#include "engine/ConnectionRecord.h"
#include "engine/PortCounters.h"
#include "engine/routing/CaptureLog.h"
#include "engine/routing/RoutingTable.h"
#include "engine/socket/Resolver.h"
#include "engine/socket/SocketAddress.h"
#include "engine/tcp/CSocketClientTCP.h"
#include "engine/tcp/CSocketForwardTCP.h"
#include "engine/tcp/HelloCollector.h"
#include "engine/tcp/ProxyHeaderReader.h"
#include "engine/tcp/Relay.h"
#include "engine/tcp/SessionGroup.h"
#include "engine/tcp/SessionTally.h"
#include "engine/worker/WorkerThread.h"

namespace tarnwick {

// One accepted TCP connection, relayed by a worker of its own on one of the event loops
// (LoopSet), usually its listener's. A Standard port connects to its default destination
// at once; a Smart port waits up to `timeoutSeconds` for the client's first data, lets the
// rules pick the destination from it, and forwards it there first. Bytes then flow both
// ways (Relay), each direction on its own.
//
// States: Starting -> (taking PROXY headers) WaitingForProxyHeader -> (Smart)
// WaitingForFirstData [-> ReadingHello] -> Connecting -> Relaying -> Ended.
// First data that starts a TLS handshake record is read on until its ClientHello is
// whole (HelloCollector), within the same timeout: the rules, the capture and the
// destination then get all of it. One that is cut, malformed or too large goes to the
// default destination, and the connection log says why.
// Nothing in a session waits: a destination given as a host name is looked up off the
// loops (Resolver) and its addresses come back as a message; the connect is started and
// its result comes as a notice; the lookup and the connects to the addresses in turn
// share one limit, CONNECT_TIMEOUT_MS (a timer); a full receiver is waited for through
// writable notices. So the session handles WM_PORT_STOP at once in every state.
//
// A FIN from one side is passed on as a FIN to the other side, whose direction keeps
// flowing; the session ends when both directions have ended. An error or a reset on
// either side ends it at once, and both sides get a reset. So everything a side sent
// before its FIN reaches the other side, and a cut stream never looks complete.
//
// PROXY protocol: a port that takes headers reads one at the start of each connection,
// within the port's timeout, and then knows the client by the header's source; one that
// sends headers writes one to the destination before the client's first byte, naming the
// client and the port's own address. A connection without a valid header, or whose header
// names a client that the port does not admit, is reset and counted.
//
// The session reports only to its listener: WM_SESSION_STARTED once it runs and
// WM_SESSION_ENDED when it ends by itself, both posted lazily (the listener takes them
// at its next turn; it is not woken for them). WM_PORT_STOP from the listener ends it
// quietly. Either way its end counts in the listener's SessionGroup as it is destroyed.
class CThreadTCP : public WorkerThread {
public:
    // The first piece from the client is at most RELAY_BUFFER_SIZE bytes: that is what the
    // rules and the capture see. After it a stream has no visible piece boundaries
    // (RelayDirection says how it moves).
    static constexpr std::size_t RELAY_BUFFER_SIZE = 4096;
    // How long the connection to the destination may take, all its addresses together.
    static constexpr std::chrono::milliseconds CONNECT_TIMEOUT_MS{21000};

    // Everything the listener hands over before resuming the session: its own thread id,
    // the port's routing (shared with the listener's other sessions, never changed), the
    // accepted connection, in non-blocking mode as accept4 gives it (owned by the session
    // from here on, and closed with it if the session never runs), the capture log to write
    // first-packet dumps to (shared, never null), the port's counters (shared; null
    // counts into a set of the session's own) and the listener's group (may be null).
    CThreadTCP(ThreadId listenerThreadId, std::shared_ptr<const RoutingTable> routing,
               UniqueFd acceptedHandle, std::shared_ptr<CaptureLog> captureLog,
               std::shared_ptr<PortCounters> counters = nullptr,
               std::shared_ptr<SessionGroup> group = nullptr);
    ~CThreadTCP() override;

    // Before resume: another connect limit, for tests.
    void setConnectTimeout(std::chrono::milliseconds limit) { connectTimeout = limit; }
    // Before resume: the clients a PROXY header may name (the port's allowed clients);
    // unset, every client is admitted.
    void admitHeaderSources(std::shared_ptr<const AllowedClients> clients) {
        headerSources = std::move(clients);
    }

    // Notices of the two sockets.
    void OnClientData();
    void OnForwardData();
    void OnForwardConnected(int error);
    void OnWritable(Socket& socket);
    void OnSocketClosed(Socket& socket, int error);
    // Closes both connections, frees the port copy, tells the listener (when `quiet` is 0)
    // and ends the worker. Safe to run more than once: later runs only end the worker.
    void EndSession(std::uintptr_t quiet);

protected:
    void onMessage(const Message& message) override;
    void onTimer(TimerId id) override;

private:
    enum class State {
        Starting,
        WaitingForProxyHeader,
        WaitingForFirstData,
        ReadingHello,
        Connecting,
        Relaying,
        Ended
    };

    void OnStart();
    void OnTimer(TimerId id);
    void OnFirstData(std::unique_ptr<unsigned char[]> buffer, std::size_t length);
    void RouteFirstData(std::unique_ptr<unsigned char[]> buffer, std::size_t length,
                        const ClientHello* hello);
    void ReadHello();
    void FinishHello(const char* cut);
    void WaitForProxyHeader();
    void OnProxyHeaderData();
    void EndBeforeAnyData(long received);
    void TakeProxyHeader(const ProxyHeaderReader::Result& header);
    void RefuseProxyClient(EndReason reason, const char* note);
    void NoteClient(const std::optional<SocketAddress>& named);
    void ConnectForward(const std::string& host, std::int32_t port, const Route& route);
    void OnNameResolved(std::uintptr_t tag);
    void ConnectNextAddress();
    void ConnectFailed(int error);
    void OnConnected();
    void Follow(Relay::Outcome outcome);
    void AbortSession();
    void EndBecause(EndReason reason, int error);
    void StopTimer();
    void StopPublishTimer();

    // The pending timer, 0 = none: while WaitingForFirstData or ReadingHello the
    // first-data timer, while Connecting the connect limit.
    TimerId timerId = 0;
    CSocketClientTCP clientSocket;
    CSocketForwardTCP forwardSocket;
    Relay relay;  // moves bytes between the two sockets once both are connected
    std::shared_ptr<const RoutingTable> routing;  // null once freed
    std::int32_t captureFirstPacket;              // this connection's own capture flag
    ThreadId listenerThreadId;                    // 0 once the listener need not be told
    UniqueFd acceptedHandle;                      // until clientSocket takes it over
    std::shared_ptr<CaptureLog> captureLog;
    std::unique_ptr<HelloCollector> hello;  // while ReadingHello
    std::vector<SocketAddress> addresses;   // the destination's not tried yet, in order
    std::shared_ptr<NameLookup> lookup;     // while the destination's name is looked up
    std::uintptr_t lookups = 0;             // tags the lookups, so a late answer is known
    std::chrono::milliseconds connectTimeout = CONNECT_TIMEOUT_MS;
    State state = State::Starting;
    SessionTally tally;        // what the port's counters and log learn of this session
    TimerId publishTimer = 0;  // pending while relayed bytes wait to be published
    int connectError = 0;      // errno of the last address that could not be connected
    EndReason endReason = EndReason::Stopped;  // set by whatever ends the session
    int endError = 0;
    // PROXY protocol: the header for the destination (empty when the port sends none), the
    // bytes of the client's header received so far (only while waiting for it), and the
    // clients its header may name (null: everyone).
    std::vector<unsigned char> proxyHeader;
    std::unique_ptr<unsigned char[]> headerBuffer;
    std::size_t headerReceived = 0;
    std::shared_ptr<const AllowedClients> headerSources;
    std::shared_ptr<SessionGroup> group;  // last: its count falls once all else is closed
};

}  // namespace tarnwick
