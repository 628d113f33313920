#include "library/LibrarySearch.h"

#include "Fakes.h"

#include <gtest/gtest.h>

using namespace mixora::library;
using namespace mixora::test;

namespace {

class LibrarySearchTest : public ::testing::Test {
protected:
    FakeSongs songs{{{"Queen", "Bohemian Rhapsody", "Rock", "1975", "/m/q.mp3"},
                     {"abba", "Waterloo", "Pop", "1974", "/m/a.mp3"},
                     {"Beatles", "Help", "Pop", "1965", "/m/b.mp3"},
                     {"Daft Punk", "One More Time", "House", "2000", "/m/d.mp3"}}};
    FakePlaylist playlist;
    FakeDecks decks;
    LibrarySearch search{songs, playlist, decks};

    void SetUp() override { decks.songs = &songs; }
};

} // namespace

TEST_F(LibrarySearchTest, EachBoxSearchesInItsOwnIndexEvenAfterAnotherPartSwitchedIt) {
    search.enter(SearchBox::Jahr);
    // The playlist loader or auto-play switches to file-name order meanwhile.
    songs.selectIndex("iDateiname");
    search.change(SearchBox::Jahr, "19");
    EXPECT_EQ(songs.index, "iJahr");
    EXPECT_EQ(songs.field("Jahr"), "1965");
    search.change(SearchBox::Song, "w");
    EXPECT_EQ(songs.field("Titel"), "Waterloo");
    search.change(SearchBox::Genre, "HOU");
    EXPECT_EQ(songs.field("Genre"), "House");
    search.change(SearchBox::Artist, "");
    EXPECT_EQ(songs.field("Interpret"), "abba");
    search.change(SearchBox::Artist, "zz");
    EXPECT_EQ(songs.field("Interpret"), "Queen");
}

TEST_F(LibrarySearchTest, FocusOnlySelectsTheIndexAndKeepsTheSong) {
    songs.current = 3;
    search.enter(SearchBox::Song);
    EXPECT_EQ(songs.index, "iTitel");
    EXPECT_EQ(songs.current, 3);
    EXPECT_EQ(songs.log, std::vector<std::string>{"index:iTitel"});
}

TEST_F(LibrarySearchTest, TakingTheCurrentSongGoesToThePlaylistWhenShownElseToFreeDecks) {
    search.change(SearchBox::Artist, "bea");
    search.takeCurrentRow();
    EXPECT_EQ(playlist.files, std::vector<std::string>{"/m/b.mp3"});
    EXPECT_EQ(playlist.lines, std::vector<std::string>{"Beatles - Help"});
    EXPECT_TRUE(decks.log.empty());

    playlist.shown = false;
    decks.deck[Deck::Links].word = "playing";
    search.takeCurrentRow();
    EXPECT_EQ(decks.deck[Deck::Rechts].file, "/m/b.mp3");
    EXPECT_EQ(decks.deck[Deck::Links].file, "");
    EXPECT_EQ(playlist.files.size(), 1u);

    // Both busy: both handlers are asked and both refuse.
    decks.deck[Deck::Rechts].word = "seeking";
    search.change(SearchBox::Artist, "q");
    search.takeCurrentRow();
    EXPECT_EQ(decks.deck[Deck::Rechts].file, "/m/b.mp3");
    EXPECT_EQ(decks.deck[Deck::Links].file, "");
}

TEST_F(LibrarySearchTest, AnEmptyLibraryGivesNothingToTake) {
    FakeSongs empty;
    LibrarySearch s{empty, playlist, decks};
    s.change(SearchBox::Artist, "a");
    s.takeCurrentRow();
    playlist.shown = false;
    s.takeCurrentRow();
    EXPECT_TRUE(playlist.files.empty());
    EXPECT_TRUE(decks.log.empty());
    EXPECT_EQ(s.countText(), "0 Titel vorhanden");
    EXPECT_EQ(search.countText(), "4 Titel vorhanden");
}
