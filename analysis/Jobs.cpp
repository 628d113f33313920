#include "analysis/Jobs.h"

#include <algorithm>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace mixora::analysis {

bool lowerThreadPriority() {
#if defined(__linux__)
    // One core stays free of analysis for the decks, the sound and the window: an idle-priority
    // thread still keeps its core busy (a virtual machine's host then runs that core's wake-ups late),
    // and measured beside two playing decks, a thread free to wander made refills late where one kept
    // off the first core did not.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 1) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &allowed)) {
                CPU_CLR(cpu, &allowed);
                break;
            }
        pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed);
    }
    // SCHED_IDLE runs only when a core would otherwise idle, so a deck's refill never waits for
    // us; nice 19 is the fallback where the policy is refused. Both apply to this thread only.
    sched_param param{};
    param.sched_priority = 0;
    bool lowered = pthread_setschedparam(pthread_self(), SCHED_IDLE, &param) == 0;
    if (!lowered)
        lowered = setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19) == 0;
    // The decks read their files too: our reads yield to theirs.
    constexpr int kIoprioClassIdle = 3;
    constexpr int kIoprioClassShift = 13;
    constexpr int kIoprioWhoProcess = 1;
    syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, kIoprioClassIdle << kIoprioClassShift);
    return lowered;
#else
    return false;
#endif
}

int JobQueue::defaultThreads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 1 ? static_cast<int>(cores) - 1 : 1;
}

JobQueue::JobQueue(AnalyseFn analyse, DeliverFn deliver, int threads)
    : analyse_(std::move(analyse)), deliver_(std::move(deliver)) {
    const int count = threads > 0 ? threads : defaultThreads();
    running_.resize(static_cast<std::size_t>(count));
    workers_.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        workers_.emplace_back([this, i] { work(static_cast<std::size_t>(i)); });
}

JobQueue::~JobQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        deck_.clear();
        library_.clear();
        for (auto &slot : running_)
            if (slot)
                slot->cancel->store(true);
    }
    wake_.notify_all();
    for (auto &worker : workers_)
        worker.join();
}

bool JobQueue::queuedOrRunning(std::int64_t index) const {
    const auto same = [index](const SongRef &s) { return s.index == index; };
    return std::any_of(deck_.begin(), deck_.end(), same) ||
           std::any_of(library_.begin(), library_.end(), same) ||
           std::any_of(running_.begin(), running_.end(),
                       [index](const auto &slot) { return slot && slot->song.index == index; });
}

void JobQueue::add(const SongRef &song, Lane lane) {
    add(std::vector<SongRef>{song}, lane);
}

void JobQueue::add(const std::vector<SongRef> &songs, Lane lane) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        for (const SongRef &song : songs) {
            if (lane == Lane::Deck) {
                const auto waiting = std::find_if(library_.begin(), library_.end(),
                                                  [&](const SongRef &s) { return s.index == song.index; });
                if (waiting != library_.end())
                    library_.erase(waiting);
            }
            if (queuedOrRunning(song.index))
                continue;
            (lane == Lane::Deck ? deck_ : library_).push_back(song);
        }
    }
    wake_.notify_all();
}

void JobQueue::cancel(Lane lane) {
    std::lock_guard lock(mutex_);
    (lane == Lane::Deck ? deck_ : library_).clear();
    for (auto &slot : running_)
        if (slot && slot->lane == lane)
            slot->cancel->store(true);
}

std::size_t JobQueue::pending(Lane lane) const {
    std::lock_guard lock(mutex_);
    std::size_t count = (lane == Lane::Deck ? deck_ : library_).size();
    for (const auto &slot : running_)
        if (slot && slot->lane == lane && !slot->cancel->load())
            ++count;
    return count;
}

void JobQueue::waitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] {
        return deck_.empty() && library_.empty() &&
               std::none_of(running_.begin(), running_.end(),
                            [](const auto &slot) { return slot.has_value(); });
    });
}

void JobQueue::work(std::size_t slot) {
    lowerThreadPriority();
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !deck_.empty() || !library_.empty(); });
        if (stopping_)
            return;
        const Lane lane = deck_.empty() ? Lane::Library : Lane::Deck;
        auto &queue = lane == Lane::Deck ? deck_ : library_;
        Running job{queue.front(), lane, std::make_shared<std::atomic<bool>>(false)};
        queue.pop_front();
        running_[slot] = job;
        lock.unlock();

        Outcome outcome{job.song, lane, std::nullopt, {}};
        try {
            outcome.result = analyse_(job.song.path, job.cancel.get(), &outcome.error);
        } catch (const std::exception &e) {
            outcome.result.reset();
            outcome.error = e.what();
        }
        // Delivered outside the lock, so the caller may add songs from its callback.
        if (!job.cancel->load())
            deliver_(std::move(outcome));

        lock.lock();
        running_[slot].reset();
        if (deck_.empty() && library_.empty())
            idle_.notify_all();
    }
}

} // namespace mixora::analysis
