// Auto-reset events whose set() is real-time safe. All events share one futex word bumped on every set();
// a waiter re-checks its own events after each wake-up, so waiting on several events at once needs no lock.
// Each event wakes only the waiters that wait for it (one bit of the futex's wake mask per event), so a
// deck's worker does not wake for the other deck's refills.
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
    std::uint32_t bit = 0; // the futex wake mask's bit of this event
    std::atomic<std::uint32_t> signalled{0};
    std::atomic<std::uint64_t> sets{0};
    std::atomic<std::uint64_t> dones{0};
    std::atomic<std::uint64_t> taken{0}; // set count at the last consumption
};

namespace {

std::atomic<std::uint32_t> gEpoch{0};
std::atomic<int> gWaiters{0};
// Events share the 32 bits in turn; two that share one wake each other's waiters now and then.
std::atomic<std::uint32_t> gNextBit{0};

// The event this thread consumed last, still to be acknowledged as done.
thread_local Event *tLastTaken = nullptr;

#if defined(__linux__)
void wake(std::uint32_t mask) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&gEpoch), FUTEX_WAKE_BITSET_PRIVATE, INT_MAX,
            nullptr, nullptr, mask);
}
void sleepOn(std::uint32_t seen, std::uint32_t mask, const std::chrono::steady_clock::time_point *deadline) {
    // The bitset wait takes an absolute time on the monotonic clock, which is steady_clock's.
    timespec ts{};
    timespec *tsp = nullptr;
    if (deadline) {
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
        ts.tv_sec = time_t(ns / 1000000000);
        ts.tv_nsec = long(ns % 1000000000);
        tsp = &ts;
    }
    syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&gEpoch), FUTEX_WAIT_BITSET_PRIVATE, seen, tsp,
            nullptr, mask);
}
#else
std::mutex gMutex;
std::condition_variable gCv;
void wake(std::uint32_t) {
    // Elsewhere a brief lock: held only around the epoch check of a waiter.
    std::lock_guard lock(gMutex);
    gCv.notify_all();
}
void sleepOn(std::uint32_t seen, std::uint32_t, const std::chrono::steady_clock::time_point *deadline) {
    std::unique_lock lock(gMutex);
    auto changed = [&] { return gEpoch.load() != seen; };
    if (deadline)
        gCv.wait_until(lock, *deadline, changed);
    else
        gCv.wait(lock, changed);
}
#endif

} // namespace

Event::Event() : state_(std::make_unique<State>()) {
    state_->bit = 1u << (gNextBit.fetch_add(1) % 32);
}

Event::~Event() {
    if (tLastTaken == this)
        tLastTaken = nullptr;
}

void Event::set() {
    state_->sets.fetch_add(1);
    state_->signalled.store(1);
    gEpoch.fetch_add(1);
    if (gWaiters.load() > 0)
        wake(state_->bit);
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
    std::uint32_t mask = 0;
    for (Event *e : events)
        if (e)
            mask |= e->state_->bit;
    if (mask == 0)
        mask = ~0u; // no event: only the timeout ends the wait, a wake-up merely looks again
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
            if (std::chrono::steady_clock::now() >= deadline)
                break;
            sleepOn(seen, mask, &deadline);
        } else {
            sleepOn(seen, mask, nullptr);
        }
    }
    gWaiters.fetch_sub(1);
    return result;
}

} // namespace mixora::sound
