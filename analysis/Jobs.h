// The analysis job queue: songs are analysed on background threads, one song per thread at a
// time, and each outcome is handed to the caller as soon as it is known so it can be stored at
// once (a killed program loses only the songs in progress).
//
// Two lanes: a deck's song goes before everything the library asked for, and stopping the
// library's work ("Abbruch") leaves a deck's song alone, even one the library had begun.
//
// The program's queue uses a free machine (every core, nice 10) and steps aside to idle priority,
// off the first core, the moment a deck plays. A tool's queue keeps the priority it was started with.
//
// Never does: touch the song table (the caller stores), or run above ordinary priority.
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

    enum class Priority {
        FollowDecks, // low while no deck plays, idle while one does
        AsStarted,   // the threads keep the priority of the thread that made the queue
    };

    // threads 0: one per core.
    JobQueue(AnalyseFn analyse, DeliverFn deliver, int threads = 0,
             Priority priority = Priority::FollowDecks);
    // Cancels everything and waits for the workers (at most the time a cancelled song needs to notice).
    ~JobQueue();
    JobQueue(const JobQueue &) = delete;
    JobQueue &operator=(const JobQueue &) = delete;

    static int defaultThreads();
    int threads() const;

    // Whether a deck plays; takes effect at once, for songs in progress too.
    void setDecksPlaying(bool playing);

    // A song already waiting or in progress is not queued twice; a deck's song moves a waiting
    // one to the front and one in progress to the deck's lane.
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
    // Adds a worker; under the lock.
    void startWorker();
    // The priority the queue's threads have now; under the lock.
    void applyPriority(std::size_t slot);

    AnalyseFn analyse_;
    DeliverFn deliver_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<SongRef> deck_;
    std::deque<SongRef> library_;
    std::vector<std::optional<Running>> running_; // one slot per worker
    std::vector<int> threadIds_;                  // per slot, 0 until the worker runs
    // Per slot: a worker that could not come back from idle priority ends after its song, and a
    // new one takes its place.
    std::vector<char> retiring_;
    const Priority priority_;
    bool decksPlaying_ = false;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

} // namespace mixora::analysis
