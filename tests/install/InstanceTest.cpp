// One program per program folder: a later start hands its files to the running one, and the
// files reach the decks and the playlist.
#include "app/Deck.h"
#include "app/MainForm.h"
#include "app/MainFormDecks.h"
#include "app/Program.h"
#include "app/ProgramInstance.h"
#include "playlist/Playlist.h"
#include "tests/gui/GuiHarness.h"

#include <QApplication>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;
using mixora::app::ProgramInstance;
using mixora::test::TempDir;

namespace {

QString q(const fs::path &p) {
    return QString::fromStdString(p.string());
}

// A later start is another process; here it runs on a thread of its own, so this thread's
// event loop can answer it.
ProgramInstance::Start startElsewhere(const fs::path &dir, const QStringList &files) {
    std::atomic<bool> done = false;
    ProgramInstance::Start result = ProgramInstance::Start::NoAnswer;
    std::thread later([&] {
        ProgramInstance instance(q(dir));
        result = instance.start(files, 5000);
        done = true;
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    later.join();
    return result;
}

} // namespace

TEST(ProgramInstance, ALaterStartHandsItsFilesOverOnceTheFirstIsReady) {
    TempDir dir;
    ProgramInstance first(q(dir.path()));
    ASSERT_EQ(first.start({}), ProgramInstance::Start::Primary);
    QSignalSpy received(&first, &ProgramInstance::filesReceived);

    const QStringList files{"/music/a.mp3", "/music/ü b.mp3"};
    EXPECT_EQ(startElsewhere(dir.path(), files), ProgramInstance::Start::HandedOver);
    EXPECT_EQ(startElsewhere(dir.path(), {}), ProgramInstance::Start::HandedOver);
    QCoreApplication::processEvents();
    EXPECT_EQ(received.count(), 0) << "nothing may reach the window before its set-up is done";

    first.setReady();
    ASSERT_EQ(received.count(), 2);
    EXPECT_EQ(received[0][0].toStringList(), files);
    EXPECT_EQ(received[1][0].toStringList(), QStringList{});

    // Other folders are other programs.
    TempDir other;
    EXPECT_EQ(startElsewhere(other.path(), {}), ProgramInstance::Start::Primary);
}

TEST(ProgramInstance, ABusyProgramGetsTheFilesOnceWhenItIsFreeAgain) {
    TempDir dir;
    ProgramInstance first(q(dir.path()));
    ASSERT_EQ(first.start({}), ProgramInstance::Start::Primary);
    first.setReady();
    QSignalSpy received(&first, &ProgramInstance::filesReceived);

    // This thread answers nothing while the later start waits, as during a scan.
    ProgramInstance::Start result = ProgramInstance::Start::NoAnswer;
    std::thread later([&] {
        ProgramInstance instance(q(dir.path()));
        result = instance.start({"/music/a.mp3"}, 1000);
    });
    later.join();
    EXPECT_EQ(result, ProgramInstance::Start::Busy);

    for (int i = 0; i < 500 && received.count() == 0; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    // Every request is in the socket by now; a second copy would arrive with the first.
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_EQ(received.count(), 1);
    EXPECT_EQ(received[0][0].toStringList(), QStringList{"/music/a.mp3"});
}

TEST(ProgramInstance, WhatARunThatEndedOrCrashedLeftBehindDoesNotBlockTheNextStart) {
    TempDir dir;
    {
        ProgramInstance ended(q(dir.path()));
        ASSERT_EQ(ended.start({}), ProgramInstance::Start::Primary);
    }
    // A crashed run leaves its socket file: bound once, never removed.
    const QByteArray path = QFile::encodeName(ProgramInstance::serverName(q(dir.path())));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(static_cast<std::size_t>(path.size()), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.constData(), path.size());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ::close(fd);
    ASSERT_TRUE(QFile::exists(QFile::decodeName(path)));

    ProgramInstance next(q(dir.path()));
    ASSERT_EQ(next.start({}), ProgramInstance::Start::Primary);
    next.setReady();
    QSignalSpy received(&next, &ProgramInstance::filesReceived);
    EXPECT_EQ(startElsewhere(dir.path(), {"/x.mp3"}), ProgramInstance::Start::HandedOver);
    EXPECT_EQ(received.count(), 1);
}

TEST(OpenFiles, SongsGoToTheFreeDecksThenThePlaylistAndListsOpenAsThePlaylist) {
    mixora::test::GuiHarness h;
    mixora::test::writeSettings(h.ini(), "Testkarte 1", h.guidOf("Testkarte 1"));
    mixora::app::Program program;
    program.FormMixora().show();
    EXPECT_FALSE(QApplication::windowIcon().isNull());
    const TempDir music;
    for (const char *name : {"a.mp3", "b.mp3", "c.mp3", "d.mp3"})
        mixora::test::writeMp3(music / name, {.seconds = 0.5});
    auto &decks = program.Decks();
    auto &playlist = program.FormPlayList();

    program.openFiles({q(music / "a.mp3"), q(music / "missing.mp3"), q(music / "b.mp3"), q(music / "c.mp3")});
    EXPECT_EQ(decks.Links.loadedFile(), q(music / "a.mp3"));
    EXPECT_EQ(decks.Rechts.loadedFile(), q(music / "b.mp3"));
    EXPECT_TRUE(playlist.isShown());
    EXPECT_EQ(playlist.fileList(), (std::vector<std::string>{(music / "c.mp3").string()}));
    ASSERT_EQ(h.textsWithCaption("Fehler").size(), 1u);
    EXPECT_TRUE(h.textsWithCaption("Fehler")[0].contains("missing.mp3"));

    // A playing deck keeps its song.
    decks.Links.play();
    ASSERT_EQ(decks.Links.stateWord(), mixora::app::Deck::kPlaying);
    program.openFiles({q(music / "d.mp3")});
    EXPECT_EQ(decks.Links.loadedFile(), q(music / "a.mp3"));
    EXPECT_EQ(decks.Rechts.loadedFile(), q(music / "d.mp3"));

    std::ofstream(music / "set.mxp") << (music / "d.mp3").string() << "\r\n"
                                     << (music / "a.mp3").string() << "\r\n";
    program.openFiles({q(music / "set.mxp")});
    EXPECT_EQ(playlist.fileList(),
              (std::vector<std::string>{(music / "d.mp3").string(), (music / "a.mp3").string()}));

    // An ending the playlist cannot read is said, not silently dropped.
    std::ofstream(music / "SET.M3U8") << "a.mp3\n";
    program.openFiles({q(music / "SET.M3U8")});
    EXPECT_EQ(h.textsWithCaption("Warnung").size(), 1u);
    EXPECT_EQ(playlist.count(), 2);
}
