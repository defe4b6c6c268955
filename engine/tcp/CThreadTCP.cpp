#include "engine/tcp/CThreadTCP.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "engine/EngineMessages.h"
#include "engine/routing/ChooseDestination.h"
#include "engine/tcp/ProxyHeader.h"
#include "engine/worker/ThreadRegistry.h"

namespace tarnwick {

namespace {

// A reset, as the peer's RST shows itself to either call, or another failure.
EndReason ErrorEnd(int error) {
    return error == ECONNRESET || error == EPIPE ? EndReason::Reset : EndReason::Failed;
}

}  // namespace

CThreadTCP::CThreadTCP(ThreadId listenerThreadId, std::shared_ptr<const RoutingTable> routing,
                       UniqueFd acceptedHandle, std::shared_ptr<CaptureLog> captureLog,
                       std::shared_ptr<PortCounters> counters, std::shared_ptr<SessionGroup> group)
    : WorkerThread(WM_PORT_STARTED),
      clientSocket(*this),
      forwardSocket(*this),
      relay(clientSocket, forwardSocket),
      routing(std::move(routing)),
      captureFirstPacket(this->routing->port().captureFirstPacket),
      listenerThreadId(listenerThreadId),
      acceptedHandle(std::move(acceptedHandle)),
      captureLog(std::move(captureLog)),
      tally(std::move(counters)),
      group(std::move(group)) {}

CThreadTCP::~CThreadTCP() {
    clientSocket.Close();
    forwardSocket.Close();
    acceptedHandle.reset();
    if (group) {
        group->ended();
    }
}

void CThreadTCP::onMessage(const Message& message) {
    switch (message.message) {
        case WM_PORT_STARTED:
            OnStart();
            break;
        case WM_PORT_STOP:
            EndSession(message.wParam);
            break;
        case WM_NAME_RESOLVED:
            OnNameResolved(message.wParam);
            break;
        default:
            break;
    }
}

void CThreadTCP::onTimer(TimerId id) {
    OnTimer(id);
}

void CThreadTCP::OnStart() {
    if (state != State::Starting) {
        return;  // a stop request queued before the thread ran has ended it already
    }
    if (!clientSocket.Attach(acceptedHandle.get(), true)) {
        EndSession(1);  // nothing to relay: end without ever registering
        return;
    }
    acceptedHandle.release();  // clientSocket owns it now; TCP_NODELAY came from the listener
    const ForwardingPort& port = routing->port();
    tally.started(clientSocket.handle(), port.listenPort);
    if (port.acceptProxyProtocol) {
        WaitForProxyHeader();
        return;
    }
    NoteClient(std::nullopt);
    if (port.isSmart()) {
        timerId = setTimer(std::chrono::seconds(port.timeoutSeconds));
        state = State::WaitingForFirstData;
        // Bookkeeping only (the listener registered the session when it started it): it
        // need not wake the listener, which takes it with its next accept or stop request.
        PostThreadMessageLazily(listenerThreadId, WM_SESSION_STARTED, threadId(), 0,
                                threadHandle());
        return;
    }
    ConnectForward(port.forwardIp, port.forwardPort, Route{RouteKind::Standard});
}

void CThreadTCP::OnTimer(TimerId id) {
    if (id == publishTimer) {
        StopPublishTimer();
        tally.publish(relay.bytesFromClient(), relay.bytesToClient());
        return;
    }
    if (id != timerId) {
        return;  // an expiry of a timer already stopped
    }
    StopTimer();
    if (state == State::WaitingForProxyHeader) {
        RefuseProxyClient(EndReason::NoProxyHeader, "none came within the port's timeout");
    } else if (state == State::ReadingHello) {
        FinishHello("ClientHello cut short: the port's timeout");
    } else if (state == State::WaitingForFirstData) {
        // Nothing came in time: the default destination, and no rule is tried.
        ConnectForward(routing->port().forwardIp, routing->port().forwardPort,
                       Route{RouteKind::Timeout});
    } else {
        ConnectFailed(ETIMEDOUT);  // the destination did not answer within the connect limit
    }
}

void CThreadTCP::OnClientData() {
    if (state == State::Relaying) {
        Follow(relay.onReadable(clientSocket));
        return;
    }
    if (state == State::WaitingForProxyHeader) {
        OnProxyHeaderData();
        return;
    }
    if (state == State::ReadingHello) {
        ReadHello();
        return;
    }
    if (state != State::WaitingForFirstData) {
        return;
    }
    // A Smart port's first data: it picks the destination and goes there first, in full.
    // The buffer is on the heap, not the stack: a stack page touched once stays with the
    // thread for the connection's life, a freed heap block serves the next session.
    auto buffer = std::make_unique_for_overwrite<unsigned char[]>(RELAY_BUFFER_SIZE);
    long received = clientSocket.Receive(buffer.get(), RELAY_BUFFER_SIZE);
    if (received == -EAGAIN) {
        return;
    }
    if (received < 1) {
        EndBeforeAnyData(received);
        return;
    }
    OnFirstData(std::move(buffer), static_cast<std::size_t>(received));
}

// The first data of a Smart port's connection, in `buffer`: the start of a ClientHello
// is read on until it is whole, other data picks the destination at once.
void CThreadTCP::OnFirstData(std::unique_ptr<unsigned char[]> buffer, std::size_t length) {
    if (ClientHelloScan::MayStart(buffer.get(), length)) {
        hello = std::make_unique<HelloCollector>(buffer.get(), length);
        state = State::ReadingHello;
        ReadHello();
        return;
    }
    RouteFirstData(std::move(buffer), length, nullptr);
}

// The rules pick the destination from the first data (and its ClientHello), which goes
// there first, in full.
void CThreadTCP::RouteFirstData(std::unique_ptr<unsigned char[]> buffer, std::size_t length,
                                const ClientHello* clientHello) {
    StopTimer();
    std::string host;
    std::int32_t port = 0;
    int rule = ChooseDestination(*routing, captureFirstPacket, buffer.get(), length, host, port,
                                 *captureLog, clientHello);
    relay.holdForForward(std::move(buffer), length);
    ConnectForward(host, port,
                   rule >= 0 ? Route{RouteKind::Rule, rule} : Route{RouteKind::NoMatch});
}

void CThreadTCP::ReadHello() {
    switch (hello->readFrom(clientSocket)) {
        case HelloCollector::Step::Waiting:
            return;
        case HelloCollector::Step::Done:
            FinishHello(nullptr);
            return;
        case HelloCollector::Step::Closed:
            FinishHello("ClientHello cut short: the client closed");
            return;
        case HelloCollector::Step::Failed:
            // The client went mid-way: nothing to pass on, as when it goes before any data.
            tally.routed(Route{RouteKind::ClientClosed}, "");
            EndBecause(ErrorEnd(hello->error()), hello->error());
            return;
    }
}

// The ClientHello is judged, or reading it has to stop (`cut` says why): a whole one goes
// through the rules; one that is cut, malformed or too large goes to the default
// destination, with the reason in the connection log. A single byte that could still
// have been a record is first data like any other.
void CThreadTCP::FinishHello(const char* cut) {
    const std::unique_ptr<HelloCollector> collected = std::move(hello);
    const ClientHelloScan& scan = collected->scan();
    const std::size_t length = collected->length();
    using Status = ClientHelloScan::Status;
    if (scan.status() == Status::Complete) {
        RouteFirstData(collected->take(), length, &scan.hello());
        return;
    }
    if (scan.status() == Status::NotTls || length < 2) {
        RouteFirstData(collected->take(), length, nullptr);
        return;
    }
    const char* why = scan.status() == Status::Malformed  ? scan.problem()
                      : scan.status() == Status::TooLarge ? "ClientHello larger than 16384 bytes"
                                                          : cut;
    StopTimer();
    std::string host;
    std::int32_t port = 0;
    auto data = collected->take();
    ChooseDefaultDestination(*routing, captureFirstPacket, data.get(), length, host, port,
                             *captureLog);
    relay.holdForForward(std::move(data), length);
    ConnectForward(host, port, Route{RouteKind::NoMatch, -1, why});
}

// ---- PROXY protocol from the client ----------------------------------------------------

// The header must come within the port's timeout, before anything else happens.
void CThreadTCP::WaitForProxyHeader() {
    headerBuffer = std::make_unique_for_overwrite<unsigned char[]>(ProxyHeaderReader::MAX_SIZE);
    timerId = setTimer(std::chrono::seconds(routing->port().timeoutSeconds));
    state = State::WaitingForProxyHeader;
    PostThreadMessageLazily(listenerThreadId, WM_SESSION_STARTED, threadId(), 0, threadHandle());
}

// The client closed (0) or failed (-errno) before sending anything: no outgoing connection.
void CThreadTCP::EndBeforeAnyData(long received) {
    tally.routed(Route{RouteKind::ClientClosed}, "");
    const int error = static_cast<int>(-received);
    EndBecause(error == 0 ? EndReason::ClientClosed : ErrorEnd(error), error);
}

// Reads what has come of the header, one piece per notice (the loop brings the next while
// more is waiting), and never more than a header can hold.
void CThreadTCP::OnProxyHeaderData() {
    long received = clientSocket.Receive(headerBuffer.get() + headerReceived,
                                         ProxyHeaderReader::MAX_SIZE - headerReceived);
    if (received == -EAGAIN) {
        return;
    }
    if (received < 1) {
        EndBeforeAnyData(received);
        return;
    }
    headerReceived += static_cast<std::size_t>(received);
    ProxyHeaderReader::Result header = ProxyHeaderReader::Parse(headerBuffer.get(), headerReceived);
    if (header.status == ProxyHeaderReader::Status::Invalid) {
        RefuseProxyClient(EndReason::NoProxyHeader, header.problem);
    } else if (header.status == ProxyHeaderReader::Status::Complete) {
        TakeProxyHeader(header);
    }
}

// The header names the client (or, without addresses, leaves the connection's own peer):
// it must be one the port admits. What came after the header is the client's first data.
void CThreadTCP::TakeProxyHeader(const ProxyHeaderReader::Result& header) {
    StopTimer();
    if (header.source) {
        tally.clientIs(*header.source);
        if (headerSources && !headerSources->admits(*header.source)) {
            RefuseProxyClient(EndReason::ClientNotAllowed, "");
            return;
        }
    }
    NoteClient(header.source);
    auto data = std::move(headerBuffer);
    const std::size_t length = headerReceived - header.size;
    std::memmove(data.get(), data.get() + header.size, length);
    const ForwardingPort& port = routing->port();
    if (port.isSmart()) {
        // The first data's own timeout starts after the header, also for a ClientHello
        // that has only begun.
        timerId = setTimer(std::chrono::seconds(port.timeoutSeconds));
        state = State::WaitingForFirstData;
        if (length > 0) {
            OnFirstData(std::move(data), length);
        }
    } else {
        if (length > 0) {
            relay.holdForForward(std::move(data), length);
        }
        ConnectForward(port.forwardIp, port.forwardPort, Route{RouteKind::Standard});
    }
}

void CThreadTCP::RefuseProxyClient(EndReason reason, const char* note) {
    tally.proxyRefused(reason, note);
    clientSocket.Abort();
    EndBecause(reason, 0);
}

// ---- PROXY protocol to the destination ----------------------------------------------

// The header for the destination, when the port sends one: as its source the client that
// a PROXY header named, or else the connection's own peer; as its destination the port's
// own address, where the client reached it.
void CThreadTCP::NoteClient(const std::optional<SocketAddress>& named) {
    const std::int32_t version = routing->port().proxyProtocol;
    if (version != PROXY_PROTOCOL_OFF) {
        const int fd = clientSocket.handle();
        proxyHeader = ProxyHeader::Build(version, named ? *named : SocketAddress::PeerOf(fd),
                                         SocketAddress::LocalOf(fd));
    }
}

void CThreadTCP::OnForwardData() {
    if (state == State::Relaying) {
        Follow(relay.onReadable(forwardSocket));
    }
}

void CThreadTCP::OnWritable(Socket& socket) {
    if (state == State::Relaying) {
        Follow(relay.onWritable(socket));
    }
}

void CThreadTCP::OnSocketClosed(Socket& socket, int error) {
    if (state == State::Relaying) {
        Follow(relay.onClosed(socket, error));
        return;
    }
    // The client went before there was anything to relay.
    if (state == State::WaitingForFirstData || state == State::WaitingForProxyHeader ||
        state == State::ReadingHello) {
        tally.routed(Route{RouteKind::ClientClosed}, "");
    }
    if (error != 0) {
        EndBecause(ErrorEnd(error), error);
    } else {
        EndBecause(
            &socket == &clientSocket ? EndReason::ClientClosed : EndReason::DestinationClosed, 0);
    }
}

// Connects to the destination's addresses in turn: a literal address at once, a name once
// the resolver has answered. The client's data waits in the kernel meanwhile. The connect
// limit runs from here, so a name server that never answers is given up on too.
void CThreadTCP::ConnectForward(const std::string& host, std::int32_t port, const Route& route) {
    tally.routed(route, HostPortLabel(host, port));
    state = State::Connecting;
    clientSocket.setReadNotices(false);
    if (auto literal = SocketAddress::ResolveLiteral(host, port)) {
        addresses = std::move(*literal);
        ConnectNextAddress();
        return;
    }
    timerId = setTimer(connectTimeout);
    lookup = Resolver::instance().lookUp(host, port, threadId(), WM_NAME_RESOLVED, ++lookups);
}

void CThreadTCP::OnNameResolved(std::uintptr_t tag) {
    if (state != State::Connecting || !lookup || tag != lookups) {
        return;  // the answer to a lookup given up on
    }
    addresses = std::move(lookup->addresses);
    lookup.reset();
    ConnectNextAddress();
}

// One connect limit covers every address: the timer starts with the first attempt that
// has to wait, and keeps running through the later ones.
void CThreadTCP::ConnectNextAddress() {
    while (!addresses.empty()) {
        const SocketAddress address = addresses.front();
        addresses.erase(addresses.begin());
        forwardSocket.Close();
        int result = forwardSocket.Create(0, SocketType::Stream, false, address.family());
        if (result == 0) {
            result = forwardSocket.Connect(address);
        }
        if (result == 0) {
            OnConnected();
            return;
        }
        if (result == -EINPROGRESS) {
            if (timerId == 0) {
                timerId = setTimer(connectTimeout);
            }
            return;
        }
        connectError = -result;
    }
    // No address answered (or the name has none): the client is closed, having seen nothing.
    ConnectFailed(connectError != 0 ? connectError : EHOSTUNREACH);
}

void CThreadTCP::ConnectFailed(int error) {
    tally.connectFailed(error);
    EndBecause(EndReason::ConnectFailed, error);
}

void CThreadTCP::OnForwardConnected(int error) {
    if (state != State::Connecting) {
        return;
    }
    if (error != 0) {
        connectError = error;
        ConnectNextAddress();
    } else {
        OnConnected();
    }
}

void CThreadTCP::OnConnected() {
    StopTimer();
    addresses = {};
    forwardSocket.SetNoDelay();
    state = State::Relaying;
    if (!proxyHeader.empty()) {
        relay.sendFirstToForward(proxyHeader);
        proxyHeader = {};
    }
    const ForwardingPort& port = routing->port();
    if (!port.isSmart() && !port.acceptProxyProtocol) {
        PostThreadMessageLazily(listenerThreadId, WM_SESSION_STARTED, threadId(), 0,
                                threadHandle());
    }
    Follow(relay.start());
}

// Bytes that moved are published within PUBLISH_INTERVAL by a timer that runs only while
// there is something to publish: an idle connection sets none.
void CThreadTCP::Follow(Relay::Outcome outcome) {
    if (outcome == Relay::Outcome::Finished) {
        EndBecause(relay.firstToEnd() == Relay::Side::Forward ? EndReason::DestinationClosed
                                                              : EndReason::ClientClosed,
                   0);
    } else if (outcome == Relay::Outcome::Failed) {
        AbortSession();
    } else if (publishTimer == 0 &&
               tally.hasUnpublished(relay.bytesFromClient(), relay.bytesToClient())) {
        publishTimer = setTimer(SessionTally::PUBLISH_INTERVAL);
    }
}

// An error or a reset on one side: the other side is reset too, so that it does not take
// the cut stream for a complete one. Counted before the resets go out.
void CThreadTCP::AbortSession() {
    endError = relay.error();
    endReason = endError == 0 ? EndReason::Reset : ErrorEnd(endError);
    tally.ended(endReason, endError, relay.bytesFromClient(), relay.bytesToClient());
    relay.abort();
    EndSession(0);
}

void CThreadTCP::EndBecause(EndReason reason, int error) {
    endReason = reason;
    endError = error;
    EndSession(0);
}

void CThreadTCP::StopTimer() {
    if (timerId != 0) {
        killTimer(timerId);
        timerId = 0;
    }
}

void CThreadTCP::StopPublishTimer() {
    if (publishTimer != 0) {
        killTimer(publishTimer);
        publishTimer = 0;
    }
}

void CThreadTCP::EndSession(std::uintptr_t quiet) {
    if (state != State::Ended) {
        state = State::Ended;
        // Counted before the sockets close: a client that has seen its end sees it counted.
        tally.ended(endReason, endError, relay.bytesFromClient(), relay.bytesToClient());
        relay.close();
        StopTimer();
        StopPublishTimer();
        if (lookup) {
            lookup->abandoned = true;  // a lookup not yet begun is not done at all
            lookup.reset();
        }
        routing.reset();  // the session's share of the port copy
        if (quiet == 0 && listenerThreadId != 0) {
            PostThreadMessageLazily(listenerThreadId, WM_SESSION_ENDED, threadId(), 0);
        }
        listenerThreadId = 0;
    }
    quit();
}

}  // namespace tarnwick
