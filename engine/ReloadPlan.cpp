#include "engine/ReloadPlan.h"

#include <functional>

namespace tarnwick {

namespace {

// The old rows, each of which at most one new port takes over.
class OldRows {
public:
    explicit OldRows(const PortTable& old) : old_(old), taken_(old.size(), false) {}

    // Takes the first old row not yet taken that `matches`.
    std::optional<std::size_t> take(const std::function<bool(const ForwardingPort&)>& matches) {
        for (std::size_t row = 0; row < old_.size(); ++row) {
            if (!taken_[row] && matches(*old_[row])) {
                taken_[row] = true;
                return row;
            }
        }
        return std::nullopt;
    }

    std::vector<std::size_t> untaken() const {
        std::vector<std::size_t> rows;
        for (std::size_t row = 0; row < old_.size(); ++row) {
            if (!taken_[row]) {
                rows.push_back(row);
            }
        }
        return rows;
    }

    const ForwardingPort& at(std::size_t row) const { return *old_[row]; }

private:
    const PortTable& old_;
    std::vector<bool> taken_;
};

bool SameRun(const ForwardingPort& old, const ForwardingPort& fresh) {
    return old.sameSettings(fresh) && old.captureFirstPacket == fresh.captureFirstPacket;
}

bool SamePlace(const ForwardingPort& old, const ForwardingPort& fresh) {
    return old.protocol == fresh.protocol && old.listenPort == fresh.listenPort;
}

}  // namespace

ReloadPlan ReloadPlan::Build(const PortTable& old, const PortTable& fresh) {
    OldRows oldRows(old);
    ReloadPlan plan;
    plan.rows.resize(fresh.size());

    // Unchanged ports first, so that an edit elsewhere never takes a port that stays.
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        plan.rows[i].oldRow =
            oldRows.take([&](const ForwardingPort& port) { return SameRun(port, *fresh[i]); });
        if (plan.rows[i].oldRow) {
            // A port that could not open is tried again.
            const ForwardingPort& kept = oldRows.at(*plan.rows[i].oldRow);
            const bool failed = !kept.isStarted() && kept.openError != 0;
            plan.rows[i].action = failed ? Action::Start : Action::Keep;
        }
    }
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        Row& row = plan.rows[i];
        if (row.oldRow) {
            continue;
        }
        row.oldRow =
            oldRows.take([&](const ForwardingPort& port) { return SamePlace(port, *fresh[i]); });
        const bool hasWorker = row.oldRow && oldRows.at(*row.oldRow).isStarted();
        row.action = hasWorker ? Action::Restart : Action::Start;
    }
    plan.stops = oldRows.untaken();
    return plan;
}

}  // namespace tarnwick
