// Auto-reset events whose set() is real-time safe. All events share one futex word bumped on every set();
// a waiter re-checks its own events after each wake-up, so waiting on several events at once needs no lock.
#include "engine/sound/Sound.h"

#include <atomic>
#include <climits>
#include <ctime>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#else
#include <condition_variable>
#include <mutex>
#endif

namespace mixora::sound {

struct Event::State {
    std::atomic<std::uint32_t> signalled{0};
    std::atomic<std::uint64_t> sets{0};
    std::atomic<std::uint64_t> dones{0};
    std::atomic<std::uint64_t> taken{0}; // set count at the last consumption
};

namespace {

std::atomic<std::uint32_t> gEpoch{0};
std::atomic<int> gWaiters{0};

// The event this thread consumed last, still to be acknowledged as done.
thread_local Event *tLastTaken = nullptr;

#if defined(__linux__)
void wakeAll() {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&gEpoch), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}
void sleepOn(std::uint32_t seen, const std::chrono::nanoseconds *remaining) {
    timespec ts{};
    timespec *tsp = nullptr;
    if (remaining) {
        auto ns = remaining->count();
        ts.tv_sec = time_t(ns / 1000000000);
        ts.tv_nsec = long(ns % 1000000000);
        tsp = &ts;
    }
    syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&gEpoch), FUTEX_WAIT_PRIVATE, seen, tsp, nullptr, 0);
}
#else
std::mutex gMutex;
std::condition_variable gCv;
void wakeAll() {
    // Elsewhere a brief lock: held only around the epoch check of a waiter.
    std::lock_guard lock(gMutex);
    gCv.notify_all();
}
void sleepOn(std::uint32_t seen, const std::chrono::nanoseconds *remaining) {
    std::unique_lock lock(gMutex);
    auto changed = [&] { return gEpoch.load() != seen; };
    if (remaining)
        gCv.wait_for(lock, *remaining, changed);
    else
        gCv.wait(lock, changed);
}
#endif

} // namespace

Event::Event() : state_(std::make_unique<State>()) {}

Event::~Event() {
    if (tLastTaken == this)
        tLastTaken = nullptr;
}

void Event::set() {
    state_->sets.fetch_add(1);
    state_->signalled.store(1);
    gEpoch.fetch_add(1);
    if (gWaiters.load() > 0)
        wakeAll();
}

bool Event::isSet() const {
    return state_->signalled.load() != 0;
}

void Event::done() {
    // Everything signalled up to the consumption is now handled.
    std::uint64_t upTo = state_->taken.load();
    std::uint64_t cur = state_->dones.load();
    while (cur < upTo && !state_->dones.compare_exchange_weak(cur, upTo)) {
    }
    if (tLastTaken == this)
        tLastTaken = nullptr;
}

std::uint64_t Event::setCount() const {
    return state_->sets.load();
}
std::uint64_t Event::doneCount() const {
    return state_->dones.load();
}

bool Event::wait(std::optional<std::chrono::milliseconds> timeout) {
    return waitAny({this}, timeout) == 0;
}

int waitAny(std::initializer_list<Event *> events, std::optional<std::chrono::milliseconds> timeout) {
    // Coming back to wait means the previous wake-up's work is finished.
    if (tLastTaken) {
        for (Event *e : events)
            if (e == tLastTaken) {
                e->done();
                break;
            }
    }
    auto deadline = std::chrono::steady_clock::now() + timeout.value_or(std::chrono::milliseconds(0));
    gWaiters.fetch_add(1);
    int result = kWaitTimeout;
    for (;;) {
        std::uint32_t seen = gEpoch.load();
        int index = 0;
        for (Event *e : events) {
            if (e && e->state_->signalled.exchange(0) != 0) {
                e->state_->taken.store(e->state_->sets.load());
                tLastTaken = e;
                result = index;
                break;
            }
            ++index;
        }
        if (result != kWaitTimeout)
            break;
        if (timeout) {
            auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::nanoseconds(0))
                break;
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left);
            sleepOn(seen, &ns);
        } else {
            sleepOn(seen, nullptr);
        }
    }
    gWaiters.fetch_sub(1);
    return result;
}

} // namespace mixora::sound
