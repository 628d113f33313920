// The job queue: every song delivered once, a deck's song first, "Abbruch", idle priority.
#include "analysis/Jobs.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <sched.h>
#include <sys/resource.h>

using namespace mixora::analysis;

namespace {

// Collects deliveries; lets a test hold the analysis of chosen songs until it opens the gate.
struct Harness {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Outcome> delivered;
    std::vector<std::string> started;
    std::map<std::string, bool> idle; // per song: its worker ran at idle priority
    bool gateOpen = true;

    JobQueue::AnalyseFn analyse() {
        return [this](const std::string &path, const std::atomic<bool> *cancel,
                      std::string *error) -> std::optional<Result> {
            std::unique_lock lock(mutex);
            started.push_back(path);
            idle[path] = sched_getscheduler(0) == SCHED_IDLE || getpriority(PRIO_PROCESS, 0) == 19;
            changed.notify_all();
            while (!gateOpen && !cancel->load())
                changed.wait_for(lock, std::chrono::milliseconds(1));
            if (cancel->load())
                return std::nullopt;
            if (path.ends_with(".txt")) {
                *error = "keine MP3-Datei";
                return std::nullopt;
            }
            Result r;
            r.durationSeconds = static_cast<double>(path.size());
            return r;
        };
    }
    JobQueue::DeliverFn deliver() {
        return [this](Outcome o) {
            std::lock_guard lock(mutex);
            delivered.push_back(std::move(o));
            changed.notify_all();
        };
    }
    void waitStarted(std::size_t n) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return started.size() >= n; });
    }
    void open() {
        std::lock_guard lock(mutex);
        gateOpen = true;
        changed.notify_all();
    }
    std::vector<std::string> deliveredPaths() {
        std::lock_guard lock(mutex);
        std::vector<std::string> paths;
        for (const auto &o : delivered)
            paths.push_back(o.song.path);
        return paths;
    }
};

} // namespace

TEST(JobQueue, DeliversEverySongOnceAtIdlePriority) {
    Harness h;
    {
        JobQueue queue(h.analyse(), h.deliver(), 3);
        EXPECT_EQ(queue.threads(), 3);
        std::vector<SongRef> songs;
        for (int i = 1; i <= 40; ++i)
            songs.push_back({i, "/m/" + std::to_string(i) + (i == 7 ? ".txt" : ".mp3")});
        queue.add(songs, Lane::Library);
        queue.add(songs, Lane::Library); // asked twice, analysed once
        queue.waitIdle();
        EXPECT_EQ(queue.pending(Lane::Library), 0u);
    }
    ASSERT_EQ(h.delivered.size(), 40u);
    std::map<std::int64_t, int> seen;
    for (const auto &o : h.delivered) {
        ++seen[o.song.index];
        if (o.song.index == 7) {
            EXPECT_FALSE(o.result);
            EXPECT_EQ(o.error, "keine MP3-Datei");
        } else {
            ASSERT_TRUE(o.result);
            EXPECT_EQ(o.result->durationSeconds, static_cast<double>(o.song.path.size()));
        }
    }
    EXPECT_EQ(seen.size(), 40u);
    ASSERT_EQ(h.idle.size(), 40u);
    for (const auto &[path, idle] : h.idle)
        EXPECT_TRUE(idle) << path;
    EXPECT_GE(JobQueue::defaultThreads(), 1);
}

TEST(JobQueue, ADecksSongGoesFirstAndSurvivesAbbruch) {
    Harness h;
    h.gateOpen = false;
    JobQueue queue(h.analyse(), h.deliver(), 1);
    queue.add({{1, "/m/busy.mp3"}, {2, "/m/a.mp3"}, {3, "/m/b.mp3"}, {4, "/m/deck.mp3"}}, Lane::Library);
    h.waitStarted(1);
    queue.add({4, "/m/deck.mp3"}, Lane::Deck); // already waiting: moves to the front
    queue.add({5, "/m/deck2.mp3"}, Lane::Deck);
    EXPECT_EQ(queue.pending(Lane::Deck), 2u);
    EXPECT_EQ(queue.pending(Lane::Library), 3u);
    h.open();
    queue.waitIdle();
    EXPECT_EQ(h.deliveredPaths(), (std::vector<std::string>{"/m/busy.mp3", "/m/deck.mp3", "/m/deck2.mp3",
                                                            "/m/a.mp3", "/m/b.mp3"}));

    // "Abbruch": the library's songs in progress and waiting are dropped, a deck's song is not.
    h.delivered.clear();
    h.started.clear();
    h.gateOpen = false;
    queue.add({{6, "/m/c.mp3"}, {7, "/m/d.mp3"}}, Lane::Library);
    h.waitStarted(1);
    queue.add({8, "/m/deck3.mp3"}, Lane::Deck);
    queue.cancel(Lane::Library);
    EXPECT_EQ(queue.pending(Lane::Library), 0u);
    h.open();
    queue.waitIdle();
    EXPECT_EQ(h.deliveredPaths(), (std::vector<std::string>{"/m/deck3.mp3"}));
}

TEST(JobQueue, ClosingStopsSongsInProgress) {
    Harness h;
    h.gateOpen = false; // never opened: only a cancel ends these analyses
    {
        JobQueue queue(h.analyse(), h.deliver(), 2);
        queue.add({{1, "/m/a.mp3"}, {2, "/m/b.mp3"}, {3, "/m/c.mp3"}}, Lane::Library);
        h.waitStarted(2);
    }
    EXPECT_TRUE(h.delivered.empty());
}
