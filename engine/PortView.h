#pragma once

#include <cstddef>

namespace tarnwick {

// What the port controller needs of whatever shows the port list (the main window, or the
// headless service's output): the "Running" cell of a row.
class PortView {
public:
    virtual ~PortView() = default;

    // Row `row` now reads "Yes" (running) or "No". `error` is 0, or, when a worker ended
    // because it could not open its socket, the errno that said why.
    virtual void setRunning(std::size_t row, bool running, int error) = 0;
};

}  // namespace tarnwick
