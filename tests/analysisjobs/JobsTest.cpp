// The job queue: every song delivered once, a deck's song first, "Abbruch", the priorities.
#include "analysis/Jobs.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <thread>

using namespace mixora::analysis;

namespace {

// Collects deliveries; lets a test hold the analysis of chosen songs until it opens the gate.
struct Harness {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Outcome> delivered;
    std::vector<std::string> started;
    std::map<std::string, bool> idle;    // per song: its worker began at idle priority
    std::map<std::string, int> nice;     // per song: its worker's nice value when it began
    std::map<std::string, bool> idleEnd; // per song: its worker was at idle priority when done
    bool gateOpen = true;

    JobQueue::AnalyseFn analyse() {
        return [this](const std::string &path, const std::atomic<bool> *cancel,
                      std::string *error) -> std::optional<Result> {
            std::unique_lock lock(mutex);
            started.push_back(path);
            idle[path] = sched_getscheduler(0) == SCHED_IDLE || getpriority(PRIO_PROCESS, 0) == 19;
            nice[path] = getpriority(PRIO_PROCESS, 0);
            changed.notify_all();
            while (!gateOpen && !cancel->load())
                changed.wait_for(lock, std::chrono::milliseconds(1));
            idleEnd[path] = sched_getscheduler(0) == SCHED_IDLE || getpriority(PRIO_PROCESS, 0) == 19;
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

TEST(JobQueue, DeliversEverySongOnceAtLowPriorityWhileNoDeckPlays) {
    Harness h;
    {
        JobQueue queue(h.analyse(), h.deliver(), 3);
        EXPECT_EQ(queue.threads(), 3);
        std::vector<SongRef> songs;
        for (int i = 1; i <= 40; ++i)
            songs.push_back({i, "/m/" + std::to_string(i) + (i == 7 ? ".txt" : ".mp3")});
        h.gateOpen = false; // all still waiting or in progress when asked again
        queue.add(songs, Lane::Library);
        queue.add(songs, Lane::Library); // asked twice, analysed once
        h.open();
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
    for (const auto &[path, idle] : h.idle) {
        EXPECT_FALSE(idle) << path;
        EXPECT_EQ(h.nice[path], 10) << path;
    }
    EXPECT_EQ(JobQueue::defaultThreads(),
              static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
}

TEST(JobQueue, StepsAsideToIdleTheMomentADeckPlaysAndComesBackAfter) {
    Harness h;
    h.gateOpen = false;
    JobQueue queue(h.analyse(), h.deliver(), 1);
    queue.add({1, "/m/a.mp3"}, Lane::Library);
    h.waitStarted(1);
    queue.setDecksPlaying(true); // while the song is in progress
    h.open();
    queue.waitIdle();
    EXPECT_FALSE(h.idle["/m/a.mp3"]);
    EXPECT_TRUE(h.idleEnd["/m/a.mp3"]);
    queue.add({2, "/m/b.mp3"}, Lane::Library);
    queue.waitIdle();
    EXPECT_TRUE(h.idle["/m/b.mp3"]);
    queue.setDecksPlaying(false);
    queue.add({3, "/m/c.mp3"}, Lane::Library);
    queue.waitIdle();
    EXPECT_FALSE(h.idle["/m/c.mp3"]);
    EXPECT_EQ(h.nice["/m/c.mp3"], 10);
    EXPECT_EQ(queue.threads(), 1);

    // A tool's queue runs as it was started, whatever the decks do.
    Harness tool;
    const int startedNice = getpriority(PRIO_PROCESS, 0);
    JobQueue own(tool.analyse(), tool.deliver(), 1, JobQueue::Priority::AsStarted);
    own.setDecksPlaying(true);
    own.add({1, "/m/a.mp3"}, Lane::Library);
    own.waitIdle();
    EXPECT_FALSE(tool.idle["/m/a.mp3"]);
    EXPECT_EQ(tool.nice["/m/a.mp3"], startedNice);
}

TEST(JobQueue, ADecksRequestTakesOverTheSongTheLibraryBeganSoAbbruchSparesIt) {
    Harness h;
    h.gateOpen = false;
    JobQueue queue(h.analyse(), h.deliver(), 1);
    queue.add({{1, "/m/a.mp3"}, {2, "/m/b.mp3"}}, Lane::Library);
    h.waitStarted(1);
    queue.add({1, "/m/a.mp3"}, Lane::Deck);
    EXPECT_EQ(queue.pending(Lane::Deck), 1u);
    queue.cancel(Lane::Library); // "Abbruch" of the scan window
    h.open();
    queue.waitIdle();
    ASSERT_EQ(h.delivered.size(), 1u);
    EXPECT_EQ(h.delivered[0].song.path, "/m/a.mp3");
    EXPECT_EQ(h.delivered[0].lane, Lane::Deck);
    EXPECT_TRUE(h.delivered[0].result);

    // Cancelled before the deck asked: analysed again for the deck.
    h.delivered.clear();
    h.gateOpen = false;
    queue.add({3, "/m/c.mp3"}, Lane::Library);
    h.waitStarted(2);
    queue.cancel(Lane::Library);
    queue.add({3, "/m/c.mp3"}, Lane::Deck);
    h.open();
    queue.waitIdle();
    EXPECT_EQ(h.deliveredPaths(), std::vector<std::string>{"/m/c.mp3"});
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
