#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ForwardingPort.h"
#include "event/SplicePipe.h"
#include "event/UniqueFd.h"
#include "event/WorkerThread.h"
#include "routing/CaptureLog.h"
#include "tcp/CSocketClientTCP.h"
#include "tcp/CSocketForwardTCP.h"

namespace tarnwick {

// One accepted TCP connection, relayed on a thread of its own. A Standard port connects
// to its default destination at once; a Smart port waits up to `timeoutSeconds` for the
// client's first data, lets the rules pick the destination from it, and forwards it
// there first. Bytes then flow both ways, one piece of at most RELAY_BUFFER_SIZE per
// readable notice, each sent in full before the next event.
//
// A FIN from one side is passed on as a FIN to the other side, whose direction keeps
// flowing; the session ends when both directions have ended, or at once on any error or
// reset. So everything a side sent before its FIN reaches the other side.
//
// The session reports only to its listener: WM_SESSION_STARTED once it runs and
// WM_SESSION_ENDED when it ends by itself. WM_PORT_STOP from the listener ends it quietly.
class CThreadTCP : public WorkerThread {
public:
    // The first piece from the client is at most RELAY_BUFFER_SIZE bytes: that is what the
    // rules and the capture see. After it a stream has no visible piece boundaries, and
    // larger pieces, moved inside the kernel, cut the work per byte: STREAM_BUFFER_SIZE.
    static constexpr std::size_t RELAY_BUFFER_SIZE = 4096;
    static constexpr std::size_t STREAM_BUFFER_SIZE = SplicePipe::CAPACITY;

    // Everything the listener hands over before resuming the session: its own thread id,
    // a fresh copy of the port, the accepted connection (owned by the session from here
    // on, and closed with it if the session never runs) and the capture log to write
    // first-packet dumps to (shared, never null).
    CThreadTCP(ThreadId listenerThreadId, std::unique_ptr<ForwardingPort> portCopy,
               UniqueFd acceptedHandle, std::shared_ptr<CaptureLog> captureLog);
    ~CThreadTCP() override;

    // Notices of the two sockets.
    void OnClientData();
    void OnForwardData();
    // Closes both connections, frees the port copy, tells the listener (when `quietly` is
    // 0) and ends the thread. Safe to run more than once: later runs only end the loop.
    void EndSession(std::uintptr_t quietly);

protected:
    void onMessage(const Message& message) override;
    void onTimer(TimerId id) override;

private:
    enum class State { Starting, WaitingForFirstData, Relaying, Ended };

    void OnStart();
    void OnTimer(TimerId id);
    bool ConnectForward(const std::string& host, std::int32_t port);
    void StopFirstDataTimer();
    void Relay(Socket& from, Socket& to, bool& fromOpen, bool toOpen);
    void EndOfData(Socket& from, Socket& to, bool& fromOpen, bool toOpen);
    bool SendAll(Socket& to, const unsigned char* data, std::size_t length);
    void FreePortCopy();

    TimerId timerId = 0;  // the pending first-data timer; 0 = none
    CSocketClientTCP clientSocket;
    CSocketForwardTCP forwardSocket;
    SplicePipe pipe;  // carries the stream between the two sockets; opened on first use
    std::unique_ptr<ForwardingPort> portCopy;  // null once freed
    ThreadId listenerThreadId;                 // 0 once the listener need not be told
    UniqueFd acceptedHandle;                   // until clientSocket takes it over
    std::shared_ptr<CaptureLog> captureLog;
    State state = State::Starting;
    bool clientOpen = true;   // the client has not sent its FIN yet
    bool forwardOpen = true;  // the destination has not sent its FIN yet
};

}  // namespace tarnwick
