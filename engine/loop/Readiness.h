#pragma once

namespace tarnwick {

// What the multiplexer reported for one descriptor.
struct Readiness {
    bool readable = false;  // data, a waiting connection, or the peer's FIN
    bool writable = false;
    bool hangup = false;  // both directions are shut, or the connection was reset
    bool error = false;
};

}  // namespace tarnwick
