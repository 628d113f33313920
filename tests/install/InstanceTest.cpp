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

#include <QDataStream>
#include <atomic>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
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

namespace {

// Sends bytes over a plain socket and tells whether the program hung up without an answer
// within the time given (its idle limit for a silent client is five seconds).
bool hungUpWithoutAnswer(const QByteArray &path, const QByteArray &bytes, int withinMs) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.constData(),
                std::min<std::size_t>(path.size(), sizeof addr.sun_path - 1));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::write(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())) != bytes.size()) {
        ::close(fd);
        return false;
    }
    bool hungUp = false;
    for (int waited = 0; waited < withinMs && !hungUp; waited += 20) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) > 0) {
            char c = 0;
            const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
            if (n == 1 && c == 'k')
                break; // answered
            hungUp = n <= 0;
        }
    }
    ::close(fd);
    return hungUp;
}

struct EnvironmentVariable {
    const char *name;
    std::optional<std::string> saved;
    EnvironmentVariable(const char *n, const char *value) : name(n) {
        if (const char *old = std::getenv(n))
            saved = old;
        if (value)
            ::setenv(n, value, 1);
        else
            ::unsetenv(n);
    }
    ~EnvironmentVariable() {
        if (saved)
            ::setenv(name, saved->c_str(), 1);
        else
            ::unsetenv(name);
    }
};

} // namespace

TEST(ProgramInstance, WithoutARuntimeFolderOnlyTheUsersOwnPrivateFolderAndProcessesAreUsed) {
    TempDir tmp;
    TempDir dir;
    EnvironmentVariable runtime("XDG_RUNTIME_DIR", nullptr);
    EnvironmentVariable tmpdir("TMPDIR", tmp.path().c_str());
    const QString name = ProgramInstance::serverName(q(dir.path()));
    const fs::path folder = tmp.path() / ("dj-mixora-" + std::to_string(::getuid()));
    ASSERT_EQ(fs::path(name.toStdString()).parent_path(), folder);
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::getuid());

    ProgramInstance first(q(dir.path()));
    ASSERT_EQ(first.start({}), ProgramInstance::Start::Primary);
    first.setReady();
    QSignalSpy received(&first, &ProgramInstance::filesReceived);
    // Not our magic: turned away at once, whatever is claimed to follow.
    const QByteArray path = QFile::encodeName(name);
    EXPECT_TRUE(hungUpWithoutAnswer(path, QByteArray("XXXX\x7f\xff\xff\xff", 8), 2000));

    if (::getuid() != 0)
        GTEST_SKIP() << "another user's process and folder need root to be made";
    // A process of another user that reaches the socket (its folder opened up) is not heard.
    ::chmod(folder.c_str(), 0777);
    ::chmod(path.constData(), 0777);
    QByteArray request;
    {
        QDataStream out(&request, QIODevice::WriteOnly);
        out << quint32{0x4d584f31} << QStringList{"/x.mp3"};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            ::_exit(2);
        if (::write(fd, request.constData(), static_cast<std::size_t>(request.size())) != request.size())
            ::_exit(2);
        char c = 0;
        ::_exit(::read(fd, &c, 1) == 1 && c == 'k' ? 1 : 0);
    }
    int status = -1;
    while (::waitpid(child, &status, WNOHANG) == 0)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: answered, 2: could not reach the socket";
    QCoreApplication::processEvents();
    EXPECT_EQ(received.count(), 0);

    // A folder of that name that another user made first is never used.
    TempDir squatted;
    EnvironmentVariable otherTmp("TMPDIR", squatted.path().c_str());
    const fs::path trap = squatted.path() / ("dj-mixora-" + std::to_string(::getuid()));
    fs::create_directories(trap);
    ASSERT_EQ(::chown(trap.c_str(), 65534, 65534), 0);
    ::chmod(trap.c_str(), 0777);
    EXPECT_TRUE(ProgramInstance::serverName(q(dir.path())).isEmpty());
    ProgramInstance unguarded(q(dir.path()));
    EXPECT_EQ(unguarded.start({}), ProgramInstance::Start::Primary);
    EXPECT_TRUE(fs::is_empty(trap));
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
