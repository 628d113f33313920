// Auto-play through a three-song playlist with real deck players on a null sound device,
// which consumes audio in real time. Prints when each deck started; asserts only the order.
#include "playlist/AutoPlay.h"

#include "Fakes.h"
#include "engine/DoublePlayer.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace mixora;
using namespace mixora::test;
using namespace mixora::engine;
using library::Deck;

namespace {

using Clock = std::chrono::steady_clock;

// One deck as the window keeps it: a player, the state word, and the worker's "ended".
struct RunDeck : DeckView {
    sound::Device *device = nullptr;
    std::unique_ptr<DoublePlayer> player;
    std::string word;
    std::atomic<bool> ended{false};
    std::string file;

    void setSeekRange(std::int32_t, int, int) override {}
    void setSeekPosition(std::int32_t) override {}
    void setTimeText(const std::string &) override {}
    void setStateWord(const std::string &w) override {
        if (w == "ended")
            ended = true;
    }

    std::string state() const { return ended ? "ended" : word; }
    void load(const std::string &path) {
        if (state() == "playing" || state() == "seeking")
            return;
        player.reset();
        player = std::make_unique<DoublePlayer>(device, nullptr);
        player->inside().view = this;
        ended = false;
        if (player->Open(path) != DoublePlayer::kOpenReady) {
            player.reset();
            word.clear();
            return;
        }
        word = "loaded";
        file = path;
    }
    void play() {
        if (!player)
            return;
        if (state() == "playing") {
            player->Stop();
            word = "paused";
        } else {
            player->Play();
            word = "playing";
        }
    }
};

struct Start {
    Deck deck;
    std::string file;
    double at; // seconds since the run began
};

} // namespace

TEST(AutoPlayRun, ThreeSongPlaylistAlternatesDecksOnTheNullDevice) {
    TempDir dir;
    // Each song overlaps its neighbours by up to 7 s on both sides, so it lasts longer than 14 s.
    constexpr double kSongSeconds = 15.0;
    constexpr double kIntroSeconds = 8.0;
    std::vector<std::string> files;
    for (const char *name : {"intro", "a", "b", "c"}) {
        const auto f = dir / (std::string(name) + ".mp3");
        writeMp3(f, {.seconds = std::string(name) == "intro" ? kIntroSeconds : kSongSeconds});
        files.push_back(f.string());
    }
    auto device = sound::Device::createNull("Null");
    RunDeck links, rechts;
    links.device = rechts.device = device.get();
    std::vector<Start> starts;
    const auto t0 = Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - t0).count(); };

    library::FunctionDecks decks;
    FakeSongs songs; // an empty library: the entries play as files
    for (auto [d, side] : {std::pair{Deck::Links, &links}, {Deck::Rechts, &rechts}}) {
        auto &f = d == Deck::Links ? decks.links : decks.rechts;
        f.hasPlayer = [side] { return side->player != nullptr; };
        f.nearEnd = [side] { return side->player && side->player->inside().nearEnd.load() == 1; };
        f.clearNearEnd = [side] { side->player->inside().nearEnd = 0; };
        f.playing = [side] { return side->state() == "playing"; };
        f.loadCurrentRow = [side, &songs] { side->load(songs.field("DateiName")); };
        f.loadFile = [side](const std::string &p) { side->load(p); };
        f.play = [&, side, d = d] {
            side->play();
            if (side->state() == "playing")
                starts.push_back({d, side->file, elapsed()});
        };
    }
    FakePlaylist list;
    list.files = {files[1], files[2], files[3]};
    playlist::AutoPlay autoPlay(decks, songs, list);

    links.load(files[0]);
    decks.play(Deck::Links);
    // The window's timer: one step a second until five songs have been taken.
    while (starts.size() < 6 && elapsed() < 90.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        autoPlay.step();
    }
    links.player.reset();
    rechts.player.reset();

    ASSERT_EQ(starts.size(), 6u);
    std::printf("auto-play run (null device, %.0f s songs, 1 s timer):\n", kSongSeconds);
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const double prevLength = i == 0 ? 0 : (i == 1 ? kIntroSeconds : kSongSeconds);
        const double prevLeft = i == 0 ? 0 : prevLength - (starts[i].at - starts[i - 1].at);
        std::printf("  %6.2f s  %-6s %-9s  previous song had %.2f s left\n", starts[i].at,
                    starts[i].deck == Deck::Links ? "Links" : "Rechts",
                    std::filesystem::path(starts[i].file).filename().c_str(), prevLeft);
    }
    const std::vector<std::string> expected = {files[0], files[1], files[2], files[3], files[1], files[2]};
    for (std::size_t i = 0; i < starts.size(); ++i) {
        EXPECT_EQ(starts[i].file, expected[i]) << i;
        EXPECT_EQ(starts[i].deck, i % 2 == 0 ? Deck::Links : Deck::Rechts) << i;
    }
    EXPECT_EQ(list.selected, (std::vector<int>{0, 1, 2, 0, 1}));
}
