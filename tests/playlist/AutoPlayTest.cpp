#include "playlist/AutoPlay.h"

#include "Fakes.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

using namespace mixora::library;
using namespace mixora::playlist;
using namespace mixora::test;

namespace {

class AutoPlayTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string a, b, c;
    FakeSongs songs;
    FakeDecks decks;
    FakePlaylist playlist;
    AutoPlay autoPlay{decks, songs, playlist};

    void SetUp() override {
        a = (dir / "a.mp3").string();
        b = (dir / "b.mp3").string();
        c = (dir / "c.mp3").string();
        for (const auto &f : {a, b, c})
            writeFile(f, {0});
        songs =
            FakeSongs({{"Zed", "Last", "", "", c}, {"Abba", "First", "", "", a}, {"Bee", "Mid", "", "", b}});
        decks.songs = &songs;
        playlist.files = {a, b, c};
        // Left plays its last seconds, right is free.
        decks.deck[Deck::Links] = {true, true, "playing", "x"};
        decks.deck[Deck::Rechts] = {true, false, "loaded", "y"};
    }

    // The deck that just started plays on until its own end.
    void endOf(Deck d) {
        decks.deck[d].nearEnd = true;
        decks.deck[otherDeck(d)].word = "ended";
    }
};

} // namespace

TEST_F(AutoPlayTest, PlaylistEntriesAlternateBetweenTheDecksAndWrap) {
    std::vector<std::string> started;
    Deck playing = Deck::Links;
    for (int i = 0; i < 5; ++i) {
        const auto r = autoPlay.step();
        const Deck target = otherDeck(playing);
        ASSERT_EQ(r,
                  target == Deck::Links ? AutoPlay::Result::StartedLinks : AutoPlay::Result::StartedRechts);
        EXPECT_EQ(decks.deck[target].word, "playing");
        EXPECT_FALSE(decks.deck[playing].nearEnd) << "the triggering flag is cleared";
        started.push_back(decks.deck[target].file);
        // A second step while both play does nothing.
        decks.deck[playing].nearEnd = true;
        EXPECT_EQ(autoPlay.step(), AutoPlay::Result::Nothing);
        playing = target;
        endOf(playing);
    }
    EXPECT_EQ(started, (std::vector<std::string>{a, b, c, a, b}));
    EXPECT_EQ(playlist.selected, (std::vector<int>{0, 1, 2, 0, 1}));
    EXPECT_EQ(playlist.next, 2);
    // Library entries are loaded as rows (so their cue points count), found by file name.
    EXPECT_EQ(songs.index, "iDateiname");
}

TEST_F(AutoPlayTest, NothingHappensWhenNoDeckIsDueOrTheOtherIsPlaying) {
    decks.deck[Deck::Rechts] = {true, true, "playing", "y"};
    EXPECT_EQ(autoPlay.step(), AutoPlay::Result::Nothing);
    decks.deck[Deck::Rechts] = {true, false, "loaded", "y"};
    decks.deck[Deck::Links].nearEnd = false;
    EXPECT_EQ(autoPlay.step(), AutoPlay::Result::Nothing);
    // A raised flag without a player counts for nothing.
    decks.deck[Deck::Links] = {false, true, "", ""};
    EXPECT_EQ(autoPlay.step(), AutoPlay::Result::Nothing);
    EXPECT_TRUE(decks.log.empty());
    EXPECT_EQ(playlist.next, 0);
    EXPECT_TRUE(playlist.selected.empty());
}

TEST_F(AutoPlayTest, LeftIsCheckedFirstAndOneSwitchPerStep) {
    // Both near their end and one is paused: only the first check acts.
    decks.deck[Deck::Links] = {true, true, "paused", "x"};
    decks.deck[Deck::Rechts] = {true, true, "paused", "y"};
    EXPECT_EQ(autoPlay.step(), AutoPlay::Result::StartedRechts);
    EXPECT_EQ(decks.log, (std::vector<std::string>{"load R " + a, "play R"}));
    EXPECT_TRUE(decks.deck[Deck::Rechts].nearEnd == false && decks.deck[Deck::Links].nearEnd == false);
}

TEST_F(AutoPlayTest, EmptyPlaylistLoadsAndStartsNothing) {
    playlist.files.clear();
    EXPECT_EQ(autoPlay.step(), AutoPlay::Result::NothingToPlay);
    EXPECT_TRUE(decks.log.empty());
    EXPECT_EQ(decks.deck[Deck::Rechts].word, "loaded");
    // The flag stays up, so an entry added in the last seconds is still taken.
    playlist.files = {b};
    EXPECT_EQ(autoPlay.step(), AutoPlay::Result::StartedRechts);
    EXPECT_EQ(decks.deck[Deck::Rechts].file, b);
}

TEST_F(AutoPlayTest, MissingFilesAreSkippedAndEntriesWithoutRowPlayTheirOwnFile) {
    const std::string gone = (dir / "gone.mp3").string();
    const std::string stray = (dir / "b2-not-in-library.mp3").string();
    writeFile(stray, {0});
    playlist.files = {gone, stray, a};
    EXPECT_EQ(autoPlay.step(), AutoPlay::Result::StartedRechts);
    // The key search lands on another song's row; the deck must get the entry's own file.
    EXPECT_EQ(decks.deck[Deck::Rechts].file, stray);
    EXPECT_EQ(decks.log.front(), "file R " + stray);
    EXPECT_EQ(playlist.selected, std::vector<int>{1});
    EXPECT_EQ(playlist.next, 2);

    // Nothing playable at all: nothing starts, the position stays.
    playlist.files = {gone, gone};
    playlist.next = 1;
    decks.log.clear();
    decks.deck[Deck::Links] = {true, true, "playing", "x"};
    decks.deck[Deck::Rechts] = {true, false, "paused", "y"};
    EXPECT_EQ(autoPlay.step(), AutoPlay::Result::NothingToPlay);
    EXPECT_TRUE(decks.log.empty());
    EXPECT_EQ(playlist.next, 1);
}

TEST_F(AutoPlayTest, CaseOnlyDifferencesStillFindTheLibraryRow) {
    songs.songs[1].dateiname = (dir / "A.MP3").string();
    playlist.files = {a};
    autoPlay.setFileCheck([](const std::string &) { return true; });
    ASSERT_EQ(autoPlay.step(), AutoPlay::Result::StartedRechts);
    EXPECT_EQ(decks.log.front(), "load R " + songs.songs[1].dateiname);
}

TEST_F(AutoPlayTest, NextIndexPastTheEndAfterDeletesTakesTheFirstEntry) {
    playlist.next = 7;
    ASSERT_EQ(autoPlay.step(), AutoPlay::Result::StartedRechts);
    EXPECT_EQ(decks.deck[Deck::Rechts].file, a);
    EXPECT_EQ(playlist.next, 1);
}

TEST_F(AutoPlayTest, WithThePlaylistClosedTheLibrarysCurrentSongIsTaken) {
    playlist.shown = false;
    songs.current = 2; // "Bee", chosen by the user
    ASSERT_EQ(autoPlay.step(), AutoPlay::Result::StartedRechts);
    EXPECT_EQ(decks.deck[Deck::Rechts].file, b);
    EXPECT_TRUE(songs.log.empty()) << "the user's row and order stay";
    EXPECT_EQ(playlist.next, 0);

    // Right's turn to end: the same current song goes back to the left deck.
    endOf(Deck::Rechts);
    ASSERT_EQ(autoPlay.step(), AutoPlay::Result::StartedLinks);
    EXPECT_EQ(decks.deck[Deck::Links].file, b);
}

TEST_F(AutoPlayTest, ASeekingDeckRefusesTheLoadAndIsStartedWithWhatItHolds) {
    decks.deck[Deck::Rechts] = {true, false, "seeking", "held.mp3"};
    ASSERT_EQ(autoPlay.step(), AutoPlay::Result::StartedRechts);
    EXPECT_EQ(decks.deck[Deck::Rechts].file, "held.mp3");
    EXPECT_EQ(decks.deck[Deck::Rechts].word, "playing");
}
