#include "engine/event/TimerList.h"

#include <algorithm>
#include <climits>

namespace tarnwick {

TimerList::Clock::time_point TimerList::addClamped(Clock::time_point from,
                                                   std::chrono::milliseconds by) {
    auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - from);
    if (by >= room) {
        return Clock::time_point::max();
    }
    return from + by;
}

TimerId TimerList::add(std::chrono::milliseconds interval, Clock::time_point now) {
    interval = std::max(interval, std::chrono::milliseconds(1));
    TimerId id = ++lastId_;
    timers_.push_back(Timer{id, addClamped(now, interval), interval});
    return id;
}

void TimerList::kill(TimerId id) {
    std::erase_if(timers_, [id](const Timer& timer) { return timer.id == id; });
    if (timers_.empty()) {
        timers_.shrink_to_fit();  // an idle worker (a session past its connect) keeps none
    }
}

bool TimerList::alive(TimerId id) const {
    return std::any_of(timers_.begin(), timers_.end(),
                       [id](const Timer& timer) { return timer.id == id; });
}

int TimerList::msUntilNext(Clock::time_point now) const {
    if (timers_.empty()) {
        return -1;
    }
    auto nearest = std::min_element(timers_.begin(), timers_.end(),
                                    [](const Timer& a, const Timer& b) { return a.due < b.due; });
    if (nearest->due <= now) {
        return 0;
    }
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(nearest->due - now);
    return static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), INT_MAX));
}

std::vector<TimerId> TimerList::takeDue(Clock::time_point now) {
    std::vector<Timer*> due;
    for (Timer& timer : timers_) {
        if (timer.due <= now) {
            due.push_back(&timer);
        }
    }
    // Earliest deadline first; equal deadlines in the order the timers were set.
    std::stable_sort(due.begin(), due.end(),
                     [](const Timer* a, const Timer* b) { return a->due < b->due; });
    std::vector<TimerId> ids;
    for (Timer* timer : due) {
        ids.push_back(timer->id);
        timer->due = addClamped(now, timer->interval);
    }
    return ids;
}

}  // namespace tarnwick
