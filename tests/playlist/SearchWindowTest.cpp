// The search boxes and the grid wired through real widgets onto the real song table.
#include "library/LibrarySearch.h"
#include "library/SearchBinder.h"
#include "library/TableCursor.h"

#include "Fakes.h"
#include "library/Datamod.h"
#include "tests/support/Fixtures.h"

#include <QLineEdit>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

using namespace mixora;
using namespace mixora::test;
using library::SearchBox;

namespace {

class SearchWindowTest : public ::testing::Test {
protected:
    TempDir programDir;
    TDataModule1 data;
    std::unique_ptr<library::TableCursor> cursor;
    FakePlaylist list;
    FakeDecks decks;
    std::unique_ptr<library::LibrarySearch> search;
    QWidget window;
    QLineEdit *artist = new QLineEdit(&window);
    QLineEdit *song = new QLineEdit(&window);
    QLineEdit *jahr = new QLineEdit(&window);
    QTableView *grid = new QTableView(&window);
    QStandardItemModel model{3, 2};
    std::unique_ptr<library::SearchBinder> binder;
    std::vector<std::string> errors;

    void SetUp() override {
        data.openOrCreate(programDir.path());
        addSong("Queen", "Bohemian Rhapsody", "1975", "/m/q.mp3");
        addSong("abba", "Waterloo", "1974", "/m/a.mp3");
        addSong("Beatles", "Help", "1965", "/m/b.mp3");
        addSong("Daft Punk", "One More Time", "2000", "/m/d.mp3");
        addSong("Björk", "army of me", "1995", "/m/bj.mp3");
        data.Table1.setIndexName("iInterpret");
        cursor = std::make_unique<library::TableCursor>(data.Table1);
        decks.songs = cursor.get();
        search = std::make_unique<library::LibrarySearch>(*cursor, list, decks);
        binder = std::make_unique<library::SearchBinder>(*search);
        binder->onError = [this](const std::string &m) { errors.push_back(m); };
        binder->bindBox(artist, SearchBox::Artist);
        binder->bindBox(song, SearchBox::Song);
        binder->bindBox(jahr, SearchBox::Jahr);
        grid->setModel(&model);
        grid->setGeometry(0, 100, 300, 150);
        artist->setGeometry(0, 0, 100, 20);
        song->setGeometry(0, 25, 100, 20);
        jahr->setGeometry(0, 50, 100, 20);
        binder->bindGrid(grid);
        window.resize(320, 260);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    void addSong(const std::string &artistName, const std::string &title, const std::string &year,
                 const std::string &file) {
        SongRecord r{};
        r[kFieldInterpret] = artistName;
        r[kFieldTitel] = title;
        r[kFieldJahr] = year;
        r[kFieldDateiname] = file;
        data.Table1.appendRecord(r);
    }
    std::string current(const char *field) { return data.Table1.fieldAsString(field); }
    void focus(QLineEdit *e) {
        window.activateWindow();
        e->setFocus(Qt::OtherFocusReason);
        QApplication::processEvents();
    }
};

} // namespace

TEST_F(SearchWindowTest, FocusReSortsWithoutMovingTheSongAndTypingFindsTheFirstMatchInAnyCase) {
    data.Table1.findNearest("daft");
    ASSERT_EQ(current("Interpret"), "Daft Punk");
    focus(song);
    EXPECT_EQ(data.Table1.indexName(), "iTitel");
    EXPECT_EQ(current("Interpret"), "Daft Punk");

    QTest::keyClick(song, Qt::Key_A);
    EXPECT_EQ(current("Titel"), "army of me");
    QTest::keyClick(song, Qt::Key_Backspace);
    EXPECT_EQ(current("Titel"), "army of me") << "an emptied box lands on the first row";
    QTest::keyClicks(song, "H");
    EXPECT_EQ(current("Titel"), "Help");
    QTest::keyClicks(song, "zz");
    EXPECT_EQ(current("Titel"), "One More Time") << "no title begins with \"Hzz\": the next one";
    song->setText("zzz");
    EXPECT_EQ(current("Titel"), "Waterloo") << "beyond the last title: the last row";

    focus(jahr);
    QTest::keyClicks(jahr, "19");
    EXPECT_EQ(current("Jahr"), "1965");
    QTest::keyClicks(jahr, "8");
    EXPECT_EQ(current("Jahr"), "1995") << "no year begins with 198: the next one";
    jahr->setText("3000");
    EXPECT_EQ(current("Jahr"), "2000") << "beyond the last year: the last row";

    focus(artist);
    QTest::keyClicks(artist, "b");
    EXPECT_EQ(current("Interpret"), "Beatles");
    QTest::keyClicks(artist, "JÖ");
    EXPECT_EQ(current("Interpret"), "Björk");
    EXPECT_TRUE(errors.empty());
}

TEST_F(SearchWindowTest, ABoxKeepsSearchingAfterTheTableWasSwitchedToFileNameOrder) {
    focus(artist);
    QTest::keyClicks(artist, "q");
    data.Table1.setIndexName("iDateiname"); // what the playlist loader and auto-play do
    QTest::keyClick(artist, Qt::Key_Backspace);
    QTest::keyClicks(artist, "d");
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(current("Interpret"), "Daft Punk");
    EXPECT_EQ(data.Table1.indexName(), "iInterpret");
}

TEST_F(SearchWindowTest, EnterInBoxesAndGridAndDoubleClickAllTakeTheCurrentSong) {
    focus(artist);
    QTest::keyClicks(artist, "abba");
    QTest::keyClick(artist, Qt::Key_Return);
    focus(song);
    QTest::keyClick(song, Qt::Key_Enter);
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_Return);
    const QRect cell = grid->visualRect(model.index(1, 0));
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(list.files, std::vector<std::string>(4, "/m/a.mp3"));
    EXPECT_EQ(list.lines, std::vector<std::string>(4, "abba - Waterloo"));
    EXPECT_TRUE(decks.log.empty());
    EXPECT_EQ(artist->text(), "abba") << "Enter reaches the box as well and changes nothing";

    // Playlist closed: the song goes into both free decks, none into a playing one.
    list.shown = false;
    decks.deck[library::Deck::Rechts].word = "playing";
    QTest::keyClick(grid, Qt::Key_Return);
    EXPECT_EQ(decks.deck[library::Deck::Links].file, "/m/a.mp3");
    EXPECT_EQ(decks.deck[library::Deck::Rechts].file, "");
    EXPECT_EQ(list.files.size(), 4u);
    EXPECT_EQ(search->countText(), "5 Titel vorhanden");
}
