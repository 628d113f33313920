// The analysis job queue: songs are analysed on background threads at the lowest priority, one
// song per thread at a time, and each outcome is handed to the caller as soon as it is known so
// it can be stored at once (a killed program loses only the songs in progress).
//
// Two lanes: a deck's song goes before everything the library asked for, and stopping the
// library's work ("Abbruch") leaves a deck's song alone.
//
// Never does: touch the song table (the caller stores), or run at more than idle priority.
#pragma once

#include "analysis/Analysis.h"
#include "analysis/Store.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace mixora::analysis {

enum class Lane { Deck, Library };

struct Outcome {
    SongRef song;
    Lane lane = Lane::Library;
    std::optional<Result> result; // empty: the file could not be analysed (see error)
    std::string error;
};

class JobQueue {
public:
    // How one song is analysed; analyseFile in the program, something quicker in tests.
    using AnalyseFn = std::function<std::optional<Result>(
        const std::string &path, const std::atomic<bool> *cancel, std::string *error)>;
    // Called on a worker thread, once for every song that was not cancelled.
    using DeliverFn = std::function<void(Outcome)>;

    // threads 0: all cores but one, at least one.
    JobQueue(AnalyseFn analyse, DeliverFn deliver, int threads = 0);
    // Cancels everything and waits for the workers (at most the time a cancelled song needs to notice).
    ~JobQueue();
    JobQueue(const JobQueue &) = delete;
    JobQueue &operator=(const JobQueue &) = delete;

    static int defaultThreads();
    int threads() const { return static_cast<int>(workers_.size()); }

    // A song already waiting or in progress is not queued twice; a deck's song moves a waiting
    // one to the front.
    void add(const SongRef &song, Lane lane);
    void add(const std::vector<SongRef> &songs, Lane lane);
    // Drops the lane's waiting songs and cancels its songs in progress; neither is delivered.
    void cancel(Lane lane);

    // Songs of the lane waiting or in progress.
    std::size_t pending(Lane lane) const;
    // Blocks until no song is waiting or in progress (for tools and tests).
    void waitIdle();

private:
    struct Running {
        SongRef song;
        Lane lane;
        std::shared_ptr<std::atomic<bool>> cancel;
    };

    void work(std::size_t slot);
    bool queuedOrRunning(std::int64_t index) const;

    AnalyseFn analyse_;
    DeliverFn deliver_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<SongRef> deck_;
    std::deque<SongRef> library_;
    std::vector<std::optional<Running>> running_; // one slot per worker
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// Lowers the calling thread to idle priority (scheduling and disk) and keeps it off the first core;
// false where the system refused the priority.
bool lowerThreadPriority();

} // namespace mixora::analysis
