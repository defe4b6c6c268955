#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "config/ForwardingPort.h"

namespace tarnwick {

// What applying a freshly loaded port list to the running one does, worked out from the
// two lists alone; whoever owns the port controller carries it out, in this order:
//   1. stop every old row in `stops`;
//   2. build the new table in `rows` order, each row taking over its old record (rewritten
//      with the new settings unless it is kept) or, without an old row, the new record;
//   3. in row order, restart or start every row that is not kept.
//
// Each new port takes, in the new list's order, the first old port not yet taken whose
// settings, rules and capture flag are all the same: that one is kept as it is, worker and
// connections included, or, when it could not open, started again. Only then does each new port
// still without one take the first old port left with its protocol and listen port: its record is
// rewritten in place and its worker restarted, or, when it has no worker (it never opened, say),
// started. Other new ports are started from their new records; other old ports stop.
struct ReloadPlan {
    enum class Action {
        Keep,     // the old record goes on untouched
        Restart,  // the old record takes the new settings and its worker restarts
        Start,    // the row's record starts a worker
    };

    struct Row {
        Action action = Action::Start;
        // The old row whose record this row takes over; none for a record of the new list.
        std::optional<std::size_t> oldRow;

        // True when the old record taken over is to receive the new settings first.
        bool rewritesOld() const { return oldRow.has_value() && action != Action::Keep; }
        bool operator==(const Row&) const = default;
    };

    std::vector<std::size_t> stops;  // old rows that leave, in their old order
    std::vector<Row> rows;           // one per new port, in the new list's order

    static ReloadPlan Build(const PortTable& old, const PortTable& fresh);
};

}  // namespace tarnwick
