#include "analysis/Jobs.h"

#include "engine/ThreadPriority.h"

#include <algorithm>

namespace mixora::analysis {

using engine::ThreadPriority;

int JobQueue::defaultThreads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 1 ? static_cast<int>(cores) : 1;
}

JobQueue::JobQueue(AnalyseFn analyse, DeliverFn deliver, int threads, Priority priority)
    : analyse_(std::move(analyse)), deliver_(std::move(deliver)), priority_(priority) {
    const int count = threads > 0 ? threads : defaultThreads();
    std::lock_guard lock(mutex_);
    for (int i = 0; i < count; ++i)
        startWorker();
}

void JobQueue::startWorker() {
    const std::size_t slot = running_.size();
    running_.emplace_back();
    threadIds_.push_back(0);
    retiring_.push_back(0);
    // Made by a thread of ordinary priority, so it can be lowered to either level.
    workers_.emplace_back([this, slot] { work(slot); });
}

int JobQueue::threads() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(retiring_.begin(), retiring_.end(), 0));
}

void JobQueue::applyPriority(std::size_t slot) {
    if (priority_ == Priority::AsStarted || threadIds_[slot] == 0 || retiring_[slot])
        return;
    const bool ok = engine::setThreadPriority(decksPlaying_ ? ThreadPriority::Idle : ThreadPriority::Low,
                                              threadIds_[slot]);
    if (!ok && !decksPlaying_) {
        // Unprivileged, a thread cannot leave idle priority: it finishes its song as it is.
        retiring_[slot] = 1;
        startWorker();
    }
}

void JobQueue::setDecksPlaying(bool playing) {
    {
        std::lock_guard lock(mutex_);
        if (playing == decksPlaying_ || stopping_)
            return;
        decksPlaying_ = playing;
        const std::size_t slots = running_.size(); // replacements already have the new level
        for (std::size_t slot = 0; slot < slots; ++slot)
            applyPriority(slot);
    }
    wake_.notify_all();
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
    // A song cancelled in progress is not delivered: asked again, it is analysed again.
    return std::any_of(deck_.begin(), deck_.end(), same) ||
           std::any_of(library_.begin(), library_.end(), same) ||
           std::any_of(running_.begin(), running_.end(), [index](const auto &slot) {
               return slot && slot->song.index == index && !slot->cancel->load();
           });
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
                // Begun for the library: it goes on for the deck, out of reach of "Abbruch".
                for (auto &slot : running_)
                    if (slot && slot->song.index == song.index && !slot->cancel->load())
                        slot->lane = Lane::Deck;
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
    std::unique_lock lock(mutex_);
    threadIds_[slot] = engine::currentThreadId();
    applyPriority(slot);
    for (;;) {
        wake_.wait(lock, [this, slot] {
            return stopping_ || retiring_[slot] || !deck_.empty() || !library_.empty();
        });
        if (stopping_ || retiring_[slot])
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
        lock.lock();
        outcome.lane = running_[slot]->lane; // a deck may have asked for it meanwhile
        lock.unlock();
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
