#include "engine/loop/TimerQueue.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <utility>

namespace tarnwick {

TimerQueue::Clock::time_point TimerQueue::addClamped(Clock::time_point from,
                                                     std::chrono::milliseconds by) {
    auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - from);
    if (by >= room) {
        return Clock::time_point::max();
    }
    return from + by;
}

TimerId TimerQueue::add(std::chrono::milliseconds interval, Clock::time_point now,
                        std::uint32_t owner) {
    std::uint32_t slot;
    if (!freeSlots_.empty()) {
        slot = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        if (timers_.size() >= (std::size_t{1} << SLOT_BITS)) {
            std::abort();  // sixteen million live timers: a leak, not a load
        }
        slot = static_cast<std::uint32_t>(timers_.size());
        timers_.emplace_back();
    }
    Timer& timer = timers_[slot];
    timer.interval = std::max(interval, std::chrono::milliseconds(1));
    timer.due = addClamped(now, timer.interval);
    timer.serial = ++lastSerial_;
    timer.owner = owner;
    heap_.push_back(slot);
    timer.place = static_cast<std::uint32_t>(heap_.size() - 1);
    moveUp(timer.place);
    return (timer.serial << SLOT_BITS) | slot;
}

TimerQueue::Timer* TimerQueue::find(TimerId id) {
    return const_cast<Timer*>(std::as_const(*this).find(id));
}

const TimerQueue::Timer* TimerQueue::find(TimerId id) const {
    std::size_t slot = id & ((std::uint64_t{1} << SLOT_BITS) - 1);
    std::uint64_t serial = id >> SLOT_BITS;
    if (serial == 0 || slot >= timers_.size() || timers_[slot].serial != serial) {
        return nullptr;
    }
    return &timers_[slot];
}

void TimerQueue::kill(TimerId id) {
    Timer* timer = find(id);
    if (timer == nullptr) {
        return;
    }
    std::uint32_t slot = heap_[timer->place];
    removeAt(timer->place);
    timers_[slot] = Timer{};
    freeSlots_.push_back(slot);
    if (heap_.empty()) {
        timers_.clear();
        freeSlots_.clear();
        if (timers_.capacity() > RELEASE_ABOVE) {
            // An idle loop gives the memory of a burst back.
            timers_.shrink_to_fit();
            freeSlots_.shrink_to_fit();
            heap_.shrink_to_fit();
        }
    }
}

bool TimerQueue::alive(TimerId id) const {
    return find(id) != nullptr;
}

int TimerQueue::msUntilNext(Clock::time_point now) const {
    if (heap_.empty()) {
        return -1;
    }
    const Clock::time_point due = timers_[heap_.front()].due;
    if (due <= now) {
        return 0;
    }
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now);
    return static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), INT_MAX));
}

void TimerQueue::takeDue(Clock::time_point now, std::vector<Fired>& fired) {
    while (!heap_.empty()) {
        const std::uint32_t slot = heap_.front();
        Timer& timer = timers_[slot];
        if (timer.due > now) {
            return;
        }
        fired.push_back(Fired{(timer.serial << SLOT_BITS) | slot, timer.owner});
        timer.due = addClamped(now, timer.interval);  // later than now: not taken again
        moveDown(0);
    }
}

std::vector<TimerId> TimerQueue::takeDue(Clock::time_point now) {
    std::vector<Fired> fired;
    takeDue(now, fired);
    std::vector<TimerId> ids;
    ids.reserve(fired.size());
    for (const Fired& timer : fired) {
        ids.push_back(timer.id);
    }
    return ids;
}

// Earliest deadline first; of equal deadlines, the one set first.
bool TimerQueue::earlier(std::uint32_t a, std::uint32_t b) const {
    const Timer& x = timers_[a];
    const Timer& y = timers_[b];
    return x.due < y.due || (x.due == y.due && x.serial < y.serial);
}

void TimerQueue::put(std::size_t place, std::uint32_t slot) {
    heap_[place] = slot;
    timers_[slot].place = static_cast<std::uint32_t>(place);
}

void TimerQueue::moveUp(std::size_t place) {
    const std::uint32_t slot = heap_[place];
    while (place > 0) {
        std::size_t parent = (place - 1) / 2;
        if (!earlier(slot, heap_[parent])) {
            break;
        }
        put(place, heap_[parent]);
        place = parent;
    }
    put(place, slot);
}

void TimerQueue::moveDown(std::size_t place) {
    const std::uint32_t slot = heap_[place];
    const std::size_t count = heap_.size();
    for (;;) {
        std::size_t child = 2 * place + 1;
        if (child >= count) {
            break;
        }
        if (child + 1 < count && earlier(heap_[child + 1], heap_[child])) {
            ++child;
        }
        if (!earlier(heap_[child], slot)) {
            break;
        }
        put(place, heap_[child]);
        place = child;
    }
    put(place, slot);
}

void TimerQueue::removeAt(std::size_t place) {
    const std::uint32_t last = heap_.back();
    heap_.pop_back();
    if (place == heap_.size()) {
        return;
    }
    put(place, last);
    if (place > 0 && earlier(last, heap_[(place - 1) / 2])) {
        moveUp(place);
    } else {
        moveDown(place);
    }
}

}  // namespace tarnwick
