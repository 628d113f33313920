// The playlist window driven through its real widgets, with the real song table for the
// display lines and the dialog seam answering the file dialogs and collecting messages.
#include "library/TableCursor.h"
#include "playlist/AutoPlayTimer.h"
#include "playlist/Playlist.h"
#include "playlist/Wiring.h"

#include "Fakes.h"
#include "library/Datamod.h"
#include "tests/support/Fixtures.h"
#include "util/UiSeam.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <deque>

#include <sys/stat.h>

using namespace mixora;
using namespace mixora::test;

namespace {

std::string bytesOf(const std::filesystem::path &p) {
    const auto b = readFile(p);
    return {b.begin(), b.end()};
}

void writeText(const std::filesystem::path &p, const std::string &s) {
    writeFile(p, std::vector<std::uint8_t>(s.begin(), s.end()));
}

class PlaylistWindowTest : public ::testing::Test {
protected:
    TempDir programDir;
    TDataModule1 data;
    std::unique_ptr<library::TableCursor> cursor;
    QCheckBox cbAutoPlay;
    TFormPlayList form;
    std::vector<QString> messages;
    std::deque<QString> answers; // file names the dialogs return, empty = cancel
    std::vector<ui::FileRequest> requests;
    std::string a, b, c;

    void SetUp() override {
        data.openOrCreate(programDir.path());
        std::filesystem::create_directories(programDir / "Playlist");
        a = (programDir / "music" / "a.mp3").string();
        b = (programDir / "music" / "b.mp3").string();
        c = (programDir / "music" / "c.mp3").string();
        addSong("Abba", "Waterloo", a);
        addSong("Beatles", "Help", b);
        addSong("Cher", "Believe", c);
        cursor = std::make_unique<library::TableCursor>(data.Table1);
        form.setAutoPlayBox(&cbAutoPlay);
        form.setSongCursor(cursor.get());
        form.setProgramDir(QString::fromStdString(programDir.path().string()));
        ui::setMessageHandler([this](const ui::MessageRequest &r) {
            messages.push_back(r.text);
            return ui::Answer::Ok;
        });
        ui::setFileHandler([this](const ui::FileRequest &r) {
            requests.push_back(r);
            if (answers.empty())
                return QString();
            QString f = answers.front();
            answers.pop_front();
            return f;
        });
    }
    void TearDown() override {
        ui::setMessageHandler({});
        ui::setFileHandler({});
    }

    void addSong(const std::string &artist, const std::string &title, const std::string &file) {
        SongRecord r{};
        r[kFieldInterpret] = artist;
        r[kFieldTitel] = title;
        r[kFieldDateiname] = file;
        r[kFieldStartzeit] = std::int64_t{0};
        r[kFieldAnalyse] = false;
        data.Table1.appendRecord(r);
    }

    QListWidget *list() { return form.listBox(); }
    QStringList lines() {
        QStringList l;
        for (int i = 0; i < list()->count(); ++i)
            l << list()->item(i)->text();
        return l;
    }
    QPushButton *button(const char *name) { return form.findChild<QPushButton *>(name); }
    static QString q(const std::string &s) { return QString::fromStdString(s); }
};

} // namespace

TEST_F(PlaylistWindowTest, LayoutIsAnAlwaysOnTopToolWindowWithTheNamedControls) {
    EXPECT_EQ(form.objectName(), "FormPlayList");
    EXPECT_EQ(form.windowTitle(), "Playlist");
    EXPECT_TRUE(form.windowFlags().testFlag(Qt::Tool));
    EXPECT_TRUE(form.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(form.size(), QSize(310, 231));
    EXPECT_EQ(list()->objectName(), "ListBox1");
    EXPECT_EQ(list()->geometry(), QRect(0, 0, 257, 193));
    EXPECT_EQ(button("btDelete")->text(), "del");
    EXPECT_EQ(button("btDelete")->geometry(), QRect(264, 8, 41, 41));
    EXPECT_EQ(button("btAutoPlay")->text(), "Autoplay");
    EXPECT_EQ(button("btSave")->text(), "Speichern");
    EXPECT_EQ(button("btCancel")->geometry(), QRect(232, 200, 75, 25));
}

TEST_F(PlaylistWindowTest, NeuKeepsAShownPlaylistAndClosingDiscardsItAndStopsAutoPlay) {
    EXPECT_FALSE(form.isShown());
    form.Neu1Click();
    ASSERT_TRUE(form.isShown());
    form.append(a, "Abba - Waterloo");
    form.append(a, "Abba - Waterloo"); // the same song twice is two entries
    form.setNextIndex(1);
    form.Neu1Click();
    EXPECT_EQ(form.count(), 2);
    EXPECT_EQ(form.nextIndex(), 1);

    cbAutoPlay.setChecked(true);
    QTest::mouseClick(button("btCancel"), Qt::LeftButton);
    EXPECT_FALSE(form.isShown());
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(cbAutoPlay.isChecked());

    form.Neu1Click();
    EXPECT_EQ(form.count(), 0);
    EXPECT_EQ(list()->count(), 0);
    EXPECT_EQ(form.nextIndex(), 0);
    QTest::mouseClick(button("btAutoPlay"), Qt::LeftButton);
    EXPECT_TRUE(cbAutoPlay.isChecked());
}

TEST_F(PlaylistWindowTest, ThreeEntriesAreSavedAndReloadedWithTheirLibraryLines) {
    form.Neu1Click();
    form.append(c, "Cher - Believe");
    form.append(a, "Abba - Waterloo");
    form.append(b, "Beatles - Help");
    cbAutoPlay.setChecked(true);
    const auto saved = programDir / "Playlist" / "set";
    answers.push_back(q(saved.string())); // typed without extension
    QTest::mouseClick(button("btSave"), Qt::LeftButton);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].save);
    EXPECT_EQ(requests[0].directory, q((programDir / "Playlist").string()));
    EXPECT_EQ(requests[0].defaultSuffix, "mxp");
    EXPECT_FALSE(cbAutoPlay.isChecked()) << "saving switches auto-play off";
    const auto file = programDir / "Playlist" / "set.mxp";
    EXPECT_EQ(bytesOf(file), c + "\r\n" + a + "\r\n" + b + "\r\n");

    form.close();
    data.Table1.setIndexName("iInterpret");
    answers.push_back(q(file.string()));
    form.Laden1Click();
    EXPECT_EQ(requests.back().directory, q((programDir / "Playlist").string()));
    ASSERT_TRUE(form.isShown());
    EXPECT_EQ(form.fileList(), (std::vector<std::string>{c, a, b}));
    EXPECT_EQ(lines(), (QStringList{"Cher - Believe", "Abba - Waterloo", "Beatles - Help"}));
    EXPECT_EQ(data.Table1.indexName(), "iDateiname");
    EXPECT_EQ(data.Table1.fieldAsString("DateiName"), b);

    // Saving it again gives the same bytes.
    answers.push_back(q((programDir / "Playlist" / "again.mxp").string()));
    form.btSaveClick();
    EXPECT_EQ(bytesOf(programDir / "Playlist" / "again.mxp"), bytesOf(file));
    EXPECT_TRUE(messages.empty());
}

TEST_F(PlaylistWindowTest, CancelledOrFailedSavesStillSwitchAutoPlayOff) {
    form.Neu1Click();
    form.append(a, "x");
    cbAutoPlay.setChecked(true);
    form.btSaveClick(); // cancelled
    EXPECT_FALSE(cbAutoPlay.isChecked());
    EXPECT_TRUE(messages.empty());

    writeText(programDir / "plain", "keep");
    const auto bad = programDir / "plain" / "x.mxp";
    answers.push_back(q(bad.string()));
    cbAutoPlay.setChecked(true);
    form.btSaveClick();
    EXPECT_FALSE(cbAutoPlay.isChecked());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Datei " + q(bad.string()) + " kann nicht erstellt werden");
    EXPECT_EQ(bytesOf(programDir / "plain"), "keep");
    EXPECT_EQ(form.count(), 1);
}

TEST_F(PlaylistWindowTest, DeletingKeepsBothListsInStepAndLeavesNextIndex) {
    form.Neu1Click();
    for (const auto &[f, l] : {std::pair{a, "A"}, {b, "B"}, {c, "C"}, {a, "A2"}})
        form.append(f, l);
    form.setNextIndex(2);

    form.btDeleteClick(); // nothing selected: nothing goes
    EXPECT_EQ(form.count(), 4);

    list()->setCurrentRow(1);
    QTest::mouseClick(button("btDelete"), Qt::LeftButton);
    EXPECT_EQ(form.fileList(), (std::vector<std::string>{a, c, a}));
    EXPECT_EQ(lines(), (QStringList{"A", "C", "A2"}));

    const QRect first = list()->visualItemRect(list()->item(0));
    QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, first.center());
    QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, first.center());
    EXPECT_EQ(form.fileList(), (std::vector<std::string>{c, a}));
    EXPECT_EQ(lines(), (QStringList{"C", "A2"}));

    list()->setCurrentRow(1);
    QTest::keyClick(list(), Qt::Key_Delete);
    EXPECT_EQ(form.fileList(), std::vector<std::string>{c});
    EXPECT_EQ(lines(), QStringList{"C"});
    list()->setCurrentRow(0);
    QTest::keyClick(list(), Qt::Key_Down); // other keys remove nothing
    EXPECT_EQ(form.count(), 1);
    EXPECT_EQ(form.nextIndex(), 2);
}

TEST_F(PlaylistWindowTest, UnreadableFilesAreReportedAndLeaveTheShownPlaylistAlone) {
    form.Neu1Click();
    form.append(a, "Abba - Waterloo");
    writeText(programDir / "plain", "x");
    std::filesystem::create_directory(programDir / "dir.mxp");
    // A FIFO would block the window until some other program wrote to it.
    ASSERT_EQ(::mkfifo((programDir / "fifo.m3u").c_str(), 0600), 0);
    for (const auto &f : {programDir / "missing.mxp", programDir / "plain" / "x.m3u", programDir / "dir.mxp",
                          programDir / "fifo.m3u"}) {
        messages.clear();
        EXPECT_FALSE(form.loadPlaylist(q(f.string())));
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], "Datei " + q(f.string()) + " kann nicht geöffnet werden");
        EXPECT_EQ(form.fileList(), std::vector<std::string>{a});
    }
    // Other endings, capitals included, load nothing.
    messages.clear();
    writeText(programDir / "LIST.MXP", a + "\r\n");
    EXPECT_FALSE(form.loadPlaylist(q((programDir / "LIST.MXP").string())));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(form.count(), 1);
    // A cancelled open dialog changes nothing.
    form.Laden1Click();
    EXPECT_EQ(form.count(), 1);
}

TEST_F(PlaylistWindowTest, M3uImportWritesTheConvertedListBesideIt) {
    std::filesystem::create_directories(programDir / "lists");
    const auto m3u = programDir / "lists" / "party.m3u";
    const std::string umlaut = (programDir / "lists" / "Mötley Crüe.mp3").string();
    writeText(m3u, "#EXTM3U\r\n#EXTINF:200,Abba - Waterloo\r\n" + a +
                       "\r\n\r\n../music/B.MP3\nMötley Crüe.mp3\r\n");
    form.Neu1Click();
    form.append(c, "old");
    ASSERT_TRUE(form.loadPlaylist(q(m3u.string())));
    const std::string relB = (programDir / "music" / "B.MP3").string();
    EXPECT_EQ(form.fileList(), (std::vector<std::string>{a, relB, umlaut}));
    // B.MP3 finds "b.mp3" without regard to case; the entry without a row shows its own name.
    EXPECT_EQ(lines(), (QStringList{"Abba - Waterloo", "Beatles - Help", "Mötley Crüe.mp3"}));
    EXPECT_EQ(form.nextIndex(), 0);
    EXPECT_EQ(bytesOf(programDir / "lists" / "party.mxp"), a + "\r\n" + relB + "\r\n" +
                                                               (programDir / "lists").string() +
                                                               "/M\xF6tley Cr\xFC"
                                                               "e.mp3\r\n");

    // A list whose converted copy cannot be written still gives a usable playlist.
    std::filesystem::create_directory(programDir / "lists" / "locked.mxp");
    writeText(programDir / "lists" / "locked.m3u", b + "\n" + c + "\n");
    ASSERT_TRUE(form.loadPlaylist(q((programDir / "lists" / "locked.m3u").string())));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0],
              "Datei " + q((programDir / "lists" / "locked.mxp").string()) + " kann nicht erstellt werden");
    EXPECT_EQ(form.fileList(), (std::vector<std::string>{b, c}));
    EXPECT_EQ(lines(), (QStringList{"Beatles - Help", "Cher - Believe"}));

    // A UTF-8 list from another player: its byte-order mark is no entry, and it converts too.
    writeText(programDir / "lists" / "other.m3u8", "\xEF\xBB\xBF#EXTM3U\r\n" + b + "\r\n");
    ASSERT_TRUE(form.loadPlaylist(q((programDir / "lists" / "other.m3u8").string())));
    EXPECT_EQ(form.fileList(), std::vector<std::string>{b});
    EXPECT_EQ(bytesOf(programDir / "lists" / "other.mxp"), b + "\r\n");

    // A list with nothing but comments writes no converted file and gives an empty playlist.
    writeText(programDir / "lists" / "empty.m3u", "#EXTM3U\r\n");
    ASSERT_TRUE(form.loadPlaylist(q((programDir / "lists" / "empty.m3u").string())));
    EXPECT_FALSE(std::filesystem::exists(programDir / "lists" / "empty.mxp"));
    EXPECT_EQ(form.count(), 0);
}

TEST_F(PlaylistWindowTest, AutoPlayTimerRunsExactlyWhileTheBoxIsChecked) {
    FakeDecks decks;
    playlist::AutoPlay autoPlay(decks, *cursor, form);
    QTimer timer;
    playlist::AutoPlayTimer wiring(&cbAutoPlay, &timer, autoPlay);
    EXPECT_FALSE(timer.isActive());
    form.Neu1Click();
    QTest::mouseClick(button("btAutoPlay"), Qt::LeftButton);
    EXPECT_TRUE(timer.isActive());
    EXPECT_EQ(timer.interval(), 1000);
    form.btSaveClick();
    EXPECT_FALSE(timer.isActive());
    cbAutoPlay.setChecked(true);
    form.close();
    EXPECT_FALSE(timer.isActive());
}

TEST_F(PlaylistWindowTest, AutoPlayHighlightsEachEntryOfTheWindowWhenTaken) {
    for (const auto &f : {a, b, c}) {
        std::filesystem::create_directories(std::filesystem::path(f).parent_path());
        writeFile(f, {0});
    }
    writeText(programDir / "Playlist" / "abc.mxp", a + "\r\n" + b + "\r\n" + c + "\r\n");
    ASSERT_TRUE(form.loadPlaylist(q((programDir / "Playlist" / "abc.mxp").string())));
    FakeDecks decks;
    decks.songs = cursor.get();
    playlist::AutoPlay autoPlay(decks, *cursor, form);
    decks.deck[library::Deck::Links] = {true, true, "playing", ""};
    std::vector<std::string> loaded;
    QStringList highlighted;
    library::Deck ending = library::Deck::Links;
    for (int i = 0; i < 5; ++i) {
        ASSERT_NE(autoPlay.step(), playlist::AutoPlay::Result::Nothing);
        const auto target = library::otherDeck(ending);
        loaded.push_back(decks.deck[target].file);
        highlighted << list()->currentItem()->text();
        decks.deck[ending].word = "ended";
        decks.deck[target].nearEnd = true;
        ending = target;
    }
    EXPECT_EQ(loaded, (std::vector<std::string>{a, b, c, a, b}));
    EXPECT_EQ(highlighted, (QStringList{"Abba - Waterloo", "Beatles - Help", "Cher - Believe",
                                        "Abba - Waterloo", "Beatles - Help"}));
}

TEST_F(PlaylistWindowTest, WiringConnectsBoxesGridDecksAndTimer) {
    QWidget window;
    auto *artist = new QLineEdit(&window);
    auto *grid = new QTableView(&window);
    QStandardItemModel model(2, 1);
    grid->setModel(&model);
    playlist::PlaylistWiring wiring(*cursor, form, {artist, nullptr, nullptr, nullptr, grid}, &cbAutoPlay,
                                    nullptr);
    std::vector<std::string> loads;
    wiring.decks.links.loadCurrentRow = [&] { loads.push_back("L " + cursor->field("DateiName")); };
    wiring.decks.rechts.loadCurrentRow = [&] { loads.push_back("R " + cursor->field("DateiName")); };
    window.show();

    artist->setFocus();
    QTest::keyClicks(artist, "bea");
    QTest::keyClick(artist, Qt::Key_Return);
    EXPECT_EQ(loads, (std::vector<std::string>{"L " + b, "R " + b}));
    form.Neu1Click();
    QTest::keyClick(grid, Qt::Key_Return);
    EXPECT_EQ(form.fileList(), std::vector<std::string>{b});
    EXPECT_EQ(lines(), QStringList{"Beatles - Help"});

    EXPECT_EQ(wiring.timer->objectName(), "TimerAutoPlay");
    EXPECT_FALSE(wiring.timer->isActive());
    QTest::mouseClick(button("btAutoPlay"), Qt::LeftButton);
    EXPECT_TRUE(wiring.timer->isActive());
    // Decks without functions count as having no player: a step does nothing.
    EXPECT_EQ(wiring.autoPlay.step(), playlist::AutoPlay::Result::Nothing);
    form.close();
    EXPECT_FALSE(wiring.timer->isActive());
}
