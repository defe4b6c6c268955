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
// there first. Bytes then flow both ways, a few pieces per readable notice (see below),
// each sent in full before the next event.
//
// A FIN from one side is passed on as a FIN to the other side, whose direction keeps
// flowing; the session ends when both directions have ended, or at once on any error or
// reset. So everything a side sent before its FIN reaches the other side.
//
// The session reports only to its listener: WM_SESSION_STARTED once it runs and
// WM_SESSION_ENDED when it ends by itself, both posted lazily (the listener takes them
// at its next turn; it is not woken for them). WM_PORT_STOP from the listener ends it
// quietly.
class CThreadTCP : public WorkerThread {
public:
    // The first piece from the client is at most RELAY_BUFFER_SIZE bytes: that is what the
    // rules and the capture see. After it a stream has no visible piece boundaries: small
    // pieces are copied (up to Socket::COPY_BUFFER_SIZE), and once one fills the buffer the
    // direction is spliced inside the kernel in pieces of up to STREAM_BUFFER_SIZE.
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
    // One direction of the relay, named after the side that sends.
    struct Direction {
        bool open = true;        // that side has not sent its FIN yet
        bool streaming = false;  // a piece filled the copy buffer: splice from now on
    };

    void Relay(Socket& from, Socket& to, Direction& direction, bool toOpen);
    long MovePiece(Socket& from, Socket& to, Direction& direction, bool& full);
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
    Direction fromClient;
    Direction fromForward;
};

}  // namespace tarnwick
