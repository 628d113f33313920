// Auto-play through the real main window: the playlist window's "Autoplay" switches it on,
// its timer hands the music from deck to deck, saving and closing the playlist switch it off.
#include "tests/autoplay/WindowHarness.h"

#include <QCheckBox>
#include <QPushButton>

#include <chrono>
#include <cstdio>
#include <thread>

namespace mixora::test {
namespace {

using app::Deck;

class AutoPlayWindow : public WindowHarness {
protected:
    // Enter in the artist box takes the found song into the shown playlist.
    void takeIntoPlaylist(const QString &artist) {
        QLineEdit *box = form().ui.EditArtist;
        focus(box);
        box->setText(artist);
        QTest::keyClick(box, Qt::Key_Return);
    }

    QPushButton *playlistButton(const char *name) {
        return playlist().findChild<QPushButton *>(QString::fromLatin1(name));
    }

    // Starts a deck on a library song the way a user does: search, load button, play panel.
    void startOn(Deck &deck, const QString &artist) {
        form().ui.EditArtist->setText(artist);
        press(deck.widgets().load);
        press(deck.widgets().play);
        ASSERT_EQ(deck.stateWord(), Deck::kPlaying);
    }

    // The song on `from` enters its last seconds; the next timer step must start `to` with
    // `file` while `from` keeps playing. Afterwards `from` is paused, as a finished song is.
    void handOver(Deck &from, Deck &to, const std::string &file, int line) {
        SCOPED_TRACE(file);
        from.player()->inside().nearEnd = 1;
        QTRY_COMPARE_WITH_TIMEOUT(to.loadedFile(), QString::fromStdString(file), 5000);
        EXPECT_EQ(to.stateWord(), Deck::kPlaying);
        EXPECT_EQ(from.stateWord(), Deck::kPlaying);
        EXPECT_EQ(from.player()->inside().nearEnd.load(), 0);
        EXPECT_EQ(playlist().listBox()->currentRow(), line);
        EXPECT_TRUE(playlist().listBox()->item(line)->isSelected());
        press(from.widgets().play);
        EXPECT_EQ(from.stateWord(), Deck::kPaused);
    }

    // Gives the timer time for two steps in which nothing may happen.
    static void idleSteps() { QTest::qWait(2200); }
};

TEST_F(AutoPlayWindow, PlaylistEntriesAlternateDecksAndWrapAround) {
    start();
    addSong("Opener", "Intro");
    const std::string a = addSong("Abba", "A"), b = addSong("Blur", "B"), c = addSong("Cher", "C");
    form().ui.Neu1->trigger();
    for (const char *artist : {"Abba", "Blur", "Cher"})
        takeIntoPlaylist(QString::fromLatin1(artist));
    ASSERT_EQ(playlist().fileList(), (std::vector<std::string>{a, b, c}));
    // The library order is not what auto-play goes by: leave the cursor on the opener.
    startOn(links(), "Opener");

    ASSERT_NE(timerAutoPlay(), nullptr);
    EXPECT_FALSE(timerAutoPlay()->isActive());
    press(playlistButton("btAutoPlay"));
    EXPECT_TRUE(form().ui.cbAutoPlay->isChecked());
    EXPECT_TRUE(timerAutoPlay()->isActive());

    handOver(links(), rechts(), a, 0);
    handOver(rechts(), links(), b, 1);
    handOver(links(), rechts(), c, 2);
    handOver(rechts(), links(), a, 0);
    handOver(links(), rechts(), b, 1);
    EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
}

TEST_F(AutoPlayWindow, NothingHappensWhileBothPlayOrWhenSwitchedOff) {
    start();
    const std::string a = addSong("Abba", "A"), b = addSong("Blur", "B");
    form().ui.Neu1->trigger();
    takeIntoPlaylist("Blur");
    startOn(links(), "Abba");
    startOn(rechts(), "Abba");
    press(playlistButton("btAutoPlay"));

    // Both decks playing: the raised flag waits, nothing is loaded.
    links().player()->inside().nearEnd = 1;
    idleSteps();
    EXPECT_EQ(rechts().loadedFile().toStdString(), a);
    EXPECT_EQ(links().player()->inside().nearEnd.load(), 1);

    // Unchecked by the user: the timer stops and a free deck stays free.
    QTest::mouseClick(form().ui.cbAutoPlay, Qt::LeftButton);
    EXPECT_FALSE(form().ui.cbAutoPlay->isChecked());
    EXPECT_FALSE(timerAutoPlay()->isActive());
    press(rechts().widgets().play);
    ASSERT_EQ(rechts().stateWord(), Deck::kPaused);
    idleSteps();
    EXPECT_EQ(rechts().loadedFile().toStdString(), a);

    // Checked again: the waiting hand-over happens.
    QTest::mouseClick(form().ui.cbAutoPlay, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(rechts().loadedFile(), QString::fromStdString(b), 5000);
    EXPECT_EQ(rechts().stateWord(), Deck::kPlaying);
}

TEST_F(AutoPlayWindow, SavingAndClosingThePlaylistSwitchItOff) {
    start();
    const std::string a = addSong("Abba", "A");
    form().ui.Neu1->trigger();
    takeIntoPlaylist("Abba");
    press(playlistButton("btAutoPlay"));
    ASSERT_TRUE(timerAutoPlay()->isActive());

    fileAnswer = QString::fromStdString((dir / "Playlist" / "abend.mxp").string());
    press(playlistButton("btSave"));
    EXPECT_TRUE(std::filesystem::exists(dir / "Playlist" / "abend.mxp"));
    EXPECT_FALSE(form().ui.cbAutoPlay->isChecked());
    EXPECT_FALSE(timerAutoPlay()->isActive());

    press(playlistButton("btAutoPlay"));
    ASSERT_TRUE(timerAutoPlay()->isActive());
    playlist().close();
    EXPECT_FALSE(playlist().isShown());
    EXPECT_FALSE(form().ui.cbAutoPlay->isChecked());
    EXPECT_FALSE(timerAutoPlay()->isActive());

    // The saved list comes back through the main window's menu, with its display line.
    form().ui.Laden1->trigger();
    EXPECT_TRUE(playlist().isShown());
    ASSERT_EQ(playlist().fileList(), std::vector<std::string>{a});
    EXPECT_EQ(playlist().listBox()->item(0)->text(), "Abba - A");
    EXPECT_FALSE(form().ui.cbAutoPlay->isChecked());
}

TEST_F(AutoPlayWindow, WithoutPlaylistTheLibrarysCurrentSongFollows) {
    start();
    const std::string a = addSong("Abba", "A"), c = addSong("Cher", "C");
    startOn(links(), "Abba");
    form().ui.EditArtist->setText("Cher");
    QTest::mouseClick(form().ui.cbAutoPlay, Qt::LeftButton);
    ASSERT_TRUE(timerAutoPlay()->isActive());

    links().player()->inside().nearEnd = 1;
    QTRY_COMPARE_WITH_TIMEOUT(rechts().loadedFile(), QString::fromStdString(c), 5000);
    EXPECT_EQ(rechts().stateWord(), Deck::kPlaying);
    EXPECT_EQ(links().loadedFile().toStdString(), a);
    // Loaded from its row, so its cue point belongs to the library song.
    EXPECT_TRUE(rechts().loadedKey().has_value());
}

TEST_F(AutoPlayWindow, EntryOutsideTheLibraryIsPlayedAsItsOwnFileAndAMissingOneSkipped) {
    start();
    addSong("Abba", "A");
    const auto loose = dir / "lose.mp3";
    writeMp3(loose, {});
    form().ui.Neu1->trigger();
    // A file deleted since it was put on the list is passed over, not played as silence.
    playlist().append((dir / "weg.mp3").string(), "weg.mp3");
    playlist().append(loose.string(), "lose.mp3");
    startOn(links(), "Abba");
    press(playlistButton("btAutoPlay"));
    links().player()->inside().nearEnd = 1;
    QTRY_COMPARE_WITH_TIMEOUT(rechts().loadedFile(), QString::fromStdString(loose.string()), 5000);
    EXPECT_EQ(rechts().stateWord(), Deck::kPlaying);
    EXPECT_FALSE(rechts().loadedKey().has_value());
    EXPECT_EQ(playlist().listBox()->currentRow(), 1);
    EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
}

// A three-song playlist played by itself on a null device, in real time. The opener is started
// by hand; every later start is auto-play's. Prints when each deck started.
TEST_F(AutoPlayWindow, NullDeviceRunOfAThreeSongPlaylist) {
    start(sound::Backend::Null);
    // Longer than the two 7-second overlaps at either end of a song.
    constexpr double kSeconds = 15;
    addSong("Opener", "Intro", {}, {}, 10);
    const std::string a = addSong("Abba", "A", {}, {}, kSeconds);
    const std::string b = addSong("Blur", "B", {}, {}, kSeconds);
    const std::string c = addSong("Cher", "C", {}, {}, kSeconds);
    form().ui.Neu1->trigger();
    for (const char *artist : {"Abba", "Blur", "Cher"})
        takeIntoPlaylist(QString::fromLatin1(artist));
    press(playlistButton("btAutoPlay"));

    struct Start {
        const char *deck;
        std::string file;
        double at;
        bool otherPlaying;
        QString otherTime; // where the song on the other deck stood
    };
    std::vector<Start> starts;
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    startOn(links(), "Opener");
    starts.push_back({"Links", links().loadedFile().toStdString(), 0, false, {}});

    Deck *decks[] = {&links(), &rechts()};
    QString lastWord[] = {links().stateWord(), rechts().stateWord()};
    const auto deadline = begin + std::chrono::seconds(90);
    while (starts.size() < 5 && Clock::now() < deadline) {
        QApplication::processEvents();
        for (int i = 0; i < 2; ++i) {
            const QString word = decks[i]->stateWord();
            if (word == Deck::kPlaying && lastWord[i] != Deck::kPlaying)
                starts.push_back({i == 0 ? "Links" : "Rechts", decks[i]->loadedFile().toStdString(),
                                  std::chrono::duration<double>(Clock::now() - begin).count(),
                                  decks[1 - i]->stateWord() == Deck::kPlaying,
                                  decks[1 - i]->widgets().timeLabel->text()});
            lastWord[i] = word;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    for (const Start &s : starts)
        std::printf("[ auto-play ] %6.2f s  %-6s %-22s%s%s\n", s.at, s.deck,
                    std::filesystem::path(s.file).filename().c_str(),
                    s.otherPlaying ? "  other deck still playing at " : "",
                    s.otherPlaying ? qPrintable(s.otherTime) : "");
    ASSERT_EQ(starts.size(), 5u);
    const std::vector<std::string> files{starts[1].file, starts[2].file, starts[3].file, starts[4].file};
    EXPECT_EQ(files, (std::vector<std::string>{a, b, c, a}));
    for (std::size_t i = 1; i < starts.size(); ++i) {
        EXPECT_STRNE(starts[i].deck, starts[i - 1].deck) << "start " << i;
        EXPECT_GT(starts[i].at, starts[i - 1].at);
    }
    EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
}

} // namespace
} // namespace mixora::test
