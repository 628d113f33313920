// The walk, the import and the database check on temporary folders, without windows.
#include "scan/Scanner.h"
#include "tests/scan/ScanTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstring>
#include <functional>

namespace fs = std::filesystem;
using namespace mixora;
using namespace mixora::scan;
using mixora::test::Library;
using mixora::test::tagOf;
using mixora::test::writeSong;
using ::testing::ElementsAre;

namespace {

struct Recorder : WalkHandler {
    int steps = 0;
    std::vector<std::string> files;
    void step() override { ++steps; }
    void file(int, const char *, const std::string &path) override { files.push_back(path); }
};

// Remembers every caption and the highest position; optionally kills the process at a step.
struct RecordingProgress : SilentProgress {
    std::vector<std::string> captions;
    std::vector<int> maxima;
    int wraps = 0;
    int killAtStep = -1;
    int steps = 0;
    void setCaption(const std::string &c) override {
        captions.push_back(c);
        SilentProgress::setCaption(c);
    }
    void setMaximum(int m) override {
        maxima.push_back(m);
        SilentProgress::setMaximum(m);
    }
    void setPosition(int p) override {
        if (p == 0 && position() > 0)
            ++wraps;
        if (++steps == killAtStep)
            ::raise(SIGKILL);
        SilentProgress::setPosition(p);
    }
};

std::string field(SongTable &t, const std::string &path, int f) {
    t.setIndexName("iDateiname");
    t.findNearest(path);
    EXPECT_EQ(t.fieldAsString("DateiName"), path);
    return fieldValueText(t.currentRecord()[static_cast<std::size_t>(f)]);
}

// A song below folders whose path is longer than the system takes in one call: built and
// removed one folder at a time, relative to the one above.
class DeepSong {
public:
    explicit DeepSong(const fs::path &base) : path_(base.string()) {
        fs::create_directories(base);
        int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        folders_.push_back(fd);
        while (fd >= 0 && path_.size() <= PATH_MAX) {
            ::mkdirat(fd, kFolder.c_str(), 0755);
            fd = ::openat(fd, kFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            folders_.push_back(fd);
            path_ += "/" + kFolder;
        }
        path_ += "/song.mp3";
        const int file = ::openat(fd, "song.mp3", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const std::string audio(400, 'U');
        written_ =
            file >= 0 && ::write(file, audio.data(), audio.size()) == static_cast<ssize_t>(audio.size());
        if (file >= 0)
            ::close(file);
    }
    ~DeepSong() {
        removeSong();
        for (std::size_t i = folders_.size(); i-- > 0;) {
            if (i > 0)
                ::unlinkat(folders_[i - 1], kFolder.c_str(), AT_REMOVEDIR);
            if (folders_[i] >= 0)
                ::close(folders_[i]);
        }
    }
    DeepSong(const DeepSong &) = delete;
    DeepSong &operator=(const DeepSong &) = delete;

    bool written() const { return written_; }
    const std::string &path() const { return path_; }
    void removeSong() { ::unlinkat(folders_.back(), "song.mp3", 0); }

private:
    const std::string kFolder = std::string(250, 'd');
    std::vector<int> folders_; // the base, then each folder below it
    std::string path_;
    bool written_ = false;
};

} // namespace

TEST(ScanWalk, RootFilesFirstThenFoldersAfterTheirSubfoldersHiddenFoldersSkipped) {
    test::TempDir dir;
    const fs::path r = dir.path();
    writeSong(r / "sub1" / "deep" / "y.mp3");
    writeSong(r / "sub1" / "x.mp3");
    writeSong(r / "sub1" / "notes.txt");
    writeSong(r / "sub2" / "z.MP3");
    writeSong(r / "sub2" / ".secret.mp3"); // hidden file: imported
    writeSong(r / ".hidden" / "h.mp3");    // hidden folder: never entered
    writeSong(r / "zz.Mp3");
    writeSong(r / "a.mp3");
    fs::create_directories(r / "empty");

    Recorder rec;
    Walker walker(rec);
    const std::string root = r.string() + "/";
    walker.walkRoot(root);
    EXPECT_THAT(rec.files, ElementsAre(root + "a.mp3", root + "zz.Mp3", root + "sub1/deep/y.mp3",
                                       root + "sub1/x.mp3", root + "sub2/.secret.mp3", root + "sub2/z.MP3"));
    // The root, then each visible entry below it: a.mp3 empty sub1 deep y.mp3 notes.txt x.mp3 sub2 z.MP3
    // zz.Mp3.
    EXPECT_EQ(rec.steps, 11);
}

TEST(ScanWalk, NeverFollowsLinksAndSurvivesLoopsPipesAndMissingRoots) {
    test::TempDir dir;
    const fs::path r = dir.path();
    writeSong(r / "a.mp3");
    writeSong(r / "sub" / "b.mp3");
    fs::create_directory_symlink(r, r / "sub" / "loop");
    fs::create_directory_symlink(r / "sub", r / "linkdir");
    fs::create_symlink(r / "a.mp3", r / "link.mp3");
    ASSERT_EQ(::mkfifo((r / "pipe.mp3").c_str(), 0644), 0); // opening it would block

    Recorder rec;
    Walker walker(rec);
    const std::string root = r.string() + "/";
    walker.walkRoot(root);
    EXPECT_THAT(rec.files, ElementsAre(root + "a.mp3", root + "sub/b.mp3"));

    Recorder none;
    Walker(none).walkRoot(root + "missing/");
    EXPECT_TRUE(none.files.empty());
    EXPECT_EQ(none.steps, 1); // a root that cannot be searched still costs its step
}

TEST(ScanImport, TagFieldsAreTakenAtTheirWidthsUnchanged) {
    Library lib;
    // Artist fills all 30 bytes: nothing of the album may follow it.
    auto full =
        test::makeId3v1("  Spaced Title  ", std::string(30, 'A'), "ALBUMALBUM", "1999", "Progressive House");
    full[33 + 5] = 0xE4; // Windows-1252 "ä"
    writeSong(lib.music("tagged.mp3"), full);
    auto lower = tagOf("T", "A", "2000", "Genre");
    lower[0] = 't', lower[1] = 'a', lower[2] = 'g';
    writeSong(lib.music("lower.mp3"), lower);
    writeSong(lib.music("short.mp3"), {}, 100); // fewer than 128 bytes
    writeSong(lib.music("plain.mp3"));

    SilentProgress progress;
    Scanner scanner(lib.table(), progress);
    scanner.scanRoot(lib.root());
    EXPECT_EQ(scanner.counts().added, 4);

    auto &t = lib.table();
    const std::string tagged = lib.music("tagged.mp3").string();
    EXPECT_EQ(field(t, tagged, kFieldInterpret), "AAAAA\xC3\xA4" + std::string(24, 'A'));
    EXPECT_EQ(field(t, tagged, kFieldTitel), "  Spaced Title  ");
    EXPECT_EQ(field(t, tagged, kFieldGenre), "Progressiv");
    EXPECT_EQ(field(t, tagged, kFieldJahr), "1999");
    EXPECT_EQ(field(t, tagged, kFieldStartzeit), "0");
    EXPECT_EQ(field(t, tagged, kFieldAnalyse), fieldValueText(FieldValue{false}));
    t.findNearest(tagged);
    EXPECT_TRUE(t.fieldIsNull("Beats"));
    EXPECT_TRUE(t.fieldIsNull("Equalizer"));
    EXPECT_TRUE(t.fieldIsNull("EndZeit"));
    for (const char *name : {"lower.mp3", "short.mp3", "plain.mp3"}) {
        const std::string path = lib.music(name).string();
        for (int f : {kFieldInterpret, kFieldTitel, kFieldGenre, kFieldJahr})
            EXPECT_EQ(field(t, path, f), "") << name << " field " << f;
    }
}

TEST(ScanImport, KnownPathsAreSkippedAndTheFollowingFilesImported) {
    Library lib;
    writeSong(lib.music("b.mp3"));
    writeSong(lib.music("c.mp3"));
    writeSong(lib.music("d.mp3"));
    SilentProgress progress;
    Scanner scanner(lib.table(), progress);
    ASSERT_TRUE(scanner.ImportFile(lib.music("c.mp3").string()));
    SongRecord old = lib.table().currentRecord();
    EXPECT_FALSE(scanner.ImportFile(lib.music("c.mp3").string()));
    EXPECT_EQ(scanner.counts().refused, 1);
    EXPECT_EQ(lib.table().currentRecord(), old);
    lib.table().edit();
    lib.table().setFieldInteger("Startzeit", 4242);
    lib.table().post();

    // A file whose name differs only in case is another file, with a row of its own.
    writeSong(lib.music("C.MP3"), tagOf("Other title", "Other artist", "2001", "Other"));
    scanner.scanRoot(lib.root());
    EXPECT_EQ(lib.table().recordCount(), 4);
    EXPECT_EQ(scanner.counts().refused, 2);
    const auto paths = lib.pathsInImportOrder();
    ASSERT_EQ(paths.size(), 4u);
    EXPECT_EQ(paths[0], lib.music("c.mp3").string());
    EXPECT_THAT(paths,
                ::testing::UnorderedElementsAre(lib.music("c.mp3").string(), lib.music("b.mp3").string(),
                                                lib.music("C.MP3").string(), lib.music("d.mp3").string()));
    // The row that was there keeps its values: all of them, the stored start time included.
    old[kFieldStartzeit] = std::int64_t{4242};
    EXPECT_EQ(lib.table().readRecord(std::get<std::int64_t>(old[kFieldIndex])), old);
}

TEST(ScanImport, AFullDiskStopsTheScanWithItsCauseAndKeepsTheRowsAppended) {
    Library lib;
    for (int i = 0; i < 300; ++i)
        writeSong(lib.music("song number " + std::to_string(1000 + i) + ".mp3"));
    // The file may grow by two pages: a few rows fit, then the disk is "full".
    sqlite3 *db = lib.table().handle();
    sqlite3_stmt *count = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA page_count", -1, &count, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    const std::string limit = "PRAGMA max_page_count = " + std::to_string(sqlite3_column_int(count, 0) + 2);
    sqlite3_finalize(count);
    ASSERT_EQ(sqlite3_exec(db, limit.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);

    SilentProgress progress;
    Scanner scanner(lib.table(), progress);
    scanner.setBatchRows(10);
    try {
        scanner.start({lib.root()});
        ADD_FAILURE() << "the scan went on past a full disk";
    } catch (const DatabaseError &e) {
        EXPECT_THAT(e.what(), ::testing::HasSubstr("Der Datenträger ist voll"));
    }
    EXPECT_EQ(scanner.counts().refused, 0); // no file passed for one already known
    EXPECT_GT(scanner.counts().added, 0);
    EXPECT_FALSE(lib.table().inTransaction());
    lib.table().close();
    lib.table().open();
    EXPECT_EQ(lib.table().recordCount(), scanner.counts().added);
}

TEST(ScanImport, OddNamesAreStoredSoTheCheckFindsThemAgainAndFoldersAreNoSongs) {
    Library lib;
    // Longer than 255 characters: kept whole.
    fs::path deep = lib.music();
    for (int i = 0; i < 8; ++i)
        deep /= std::string(40, static_cast<char>('a' + i));
    writeSong(deep / "long.mp3");
    const std::string badName = std::string("bad\xFF\xFE name.mp3"); // not UTF-8
    writeSong(lib.music(badName));
    fs::create_directories(lib.music("folder.mp3") / "inside");
    writeSong(lib.music("folder.mp3") / "inside" / "in.mp3");

    SilentProgress progress;
    Scanner scanner(lib.table(), progress);
    scanner.scanRoot(lib.root());
    EXPECT_FALSE(scanner.ImportFile(lib.music("folder.mp3").string()));
    const auto paths = lib.pathsInImportOrder();
    const std::string longPath = (deep / "long.mp3").string();
    ASSERT_GT(longPath.size(), 330u);
    EXPECT_THAT(paths, ::testing::UnorderedElementsAre(lib.music(badName).string(), longPath,
                                                       lib.music("folder.mp3/inside/in.mp3").string()));

    // A row naming a folder (from an older version) is removed by the check; the others stay.
    SongRecord row{};
    row[kFieldDateiname] = lib.music("folder.mp3").string();
    lib.table().appendRecord(row);
    EXPECT_EQ(scanner.CheckDatabase(), 1);
    EXPECT_THAT(lib.pathsInImportOrder(), ::testing::UnorderedElementsAreArray(paths));
}

TEST(ScanCheck, KeepsTheRowOfAPathBeyondTheSystemLimitUntilItsFileIsGone) {
    Library lib;
    DeepSong song(lib.music("deep"));
    ASSERT_TRUE(song.written());
    ASSERT_GT(song.path().size(), static_cast<std::size_t>(PATH_MAX));
    SilentProgress progress;
    Scanner scanner(lib.table(), progress);
    scanner.scanRoot(lib.root());
    ASSERT_THAT(lib.pathsInImportOrder(), ElementsAre(song.path()));
    lib.table().edit();
    lib.table().setFieldInteger("Startzeit", 4242);
    lib.table().post();

    // The next start finds the row's file and keeps the row with its values.
    const ScanCounts counts = scanner.start({lib.root()});
    EXPECT_EQ(counts.removed, 0);
    EXPECT_EQ(counts.added, 0);
    EXPECT_EQ(field(lib.table(), song.path(), kFieldStartzeit), "4242");

    song.removeSong();
    EXPECT_EQ(scanner.CheckDatabase(), 1);
    EXPECT_TRUE(lib.table().isEmpty());
}

TEST(ScanCheck, DeletesRowsWhoseFileIsGoneAndTheScanAddsMovedFilesAfresh) {
    Library lib;
    writeSong(lib.music("keep.mp3"));
    writeSong(lib.music("move.mp3"));
    writeSong(lib.music("gone.mp3"));
    RecordingProgress progress;
    Scanner scanner(lib.table(), progress);
    scanner.scanRoot(lib.root());
    SongRecord row{};
    row[kFieldDateiname] = std::string{}; // an empty path names no file
    lib.table().appendRecord(row);
    row[kFieldDateiname] = std::string("/no/such/drive/song.mp3");
    lib.table().appendRecord(row);
    lib.table().setIndexName("iDateiname");
    lib.table().findNearest(lib.music("move.mp3").string());
    lib.table().edit();
    lib.table().setFieldInteger("Startzeit", 777);
    lib.table().post();

    fs::rename(lib.music("move.mp3"), lib.music("moved.mp3"));
    fs::remove(lib.music("gone.mp3"));

    progress.captions.clear();
    progress.maxima.clear();
    const ScanCounts counts = scanner.start({lib.root()});
    EXPECT_EQ(counts.removed, 4);
    EXPECT_EQ(counts.added, 1);
    EXPECT_THAT(progress.captions, ElementsAre(kCheckCaption, kScanCaption));
    EXPECT_THAT(progress.maxima, ElementsAre(5, kScanProgressMaximum));
    EXPECT_FALSE(progress.shown());
    EXPECT_THAT(lib.pathsInImportOrder(),
                ElementsAre(lib.music("keep.mp3").string(), lib.music("moved.mp3").string()));
    EXPECT_EQ(field(lib.table(), lib.music("moved.mp3").string(), kFieldStartzeit), "0");
}

TEST(ScanCheck, StepsOncePerRowAndEmptiesATableWithoutFiles) {
    Library lib;
    writeSong(lib.music("one.mp3"));
    RecordingProgress progress;
    Scanner scanner(lib.table(), progress);
    scanner.scanRoot(lib.root());
    progress.steps = 0;
    EXPECT_EQ(scanner.CheckDatabase(), 0);
    EXPECT_EQ(progress.maximum(), 1);
    EXPECT_EQ(progress.position(), 1);
    EXPECT_EQ(progress.steps, 2); // reset to 0, one step

    fs::remove_all(lib.music());
    EXPECT_EQ(scanner.CheckDatabase(), 1);
    EXPECT_TRUE(lib.table().isEmpty());

    // An empty table is not checked at all.
    progress.captions.clear();
    scanner.start({});
    EXPECT_THAT(progress.captions, ElementsAre(kScanCaption));
}

TEST(ScanProgress, BarWrapsToEmptyWhenItReachesItsMaximum) {
    Library lib;
    // 1 root step + 10000 entries = 10001 steps: one wrap, then one step further.
    fs::create_directories(lib.music());
    for (int i = 0; i < 10000; ++i)
        writeSong(lib.music("f" + std::to_string(i) + ".txt"), {}, 0);
    RecordingProgress progress;
    Scanner scanner(lib.table(), progress);
    scanner.start({lib.root()});
    EXPECT_EQ(progress.wraps, 1);
    EXPECT_EQ(progress.position(), 1);
}

TEST(ScanRobustness, AKillDuringTheScanLeavesAValidDatabaseWithEveryCommittedRow) {
    test::TempDir dir;
    for (int i = 0; i < 40; ++i)
        writeSong(dir.path() / "music" / ("d" + std::to_string(100 + i)) / "s.mp3");
    const std::string root = (dir.path() / "music").string() + "/";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TDataModule1 data;
        data.openOrCreate(dir.path());
        RecordingProgress progress;
        // Reset and root, then two steps per folder (its file entry, its own import) before its
        // row: killed just before the 35th row, inside the fourth batch of ten.
        progress.killAtStep = 2 + 2 * 35;
        Scanner scanner(data.Table1, progress);
        scanner.setBatchRows(10);
        scanner.start({root});
        ::_exit(0); // not reached
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    TDataModule1 data;
    data.openOrCreate(dir.path());
    char *error = nullptr;
    std::string result;
    sqlite3_exec(
        data.Table1.handle(), "PRAGMA integrity_check",
        [](void *out, int, char **values, char **) {
            *static_cast<std::string *>(out) = values[0];
            return 0;
        },
        &result, &error);
    EXPECT_EQ(result, "ok");
    EXPECT_EQ(data.Table1.recordCount(), 30); // three full batches committed
}

TEST(ScanCheck, ReadsOnlyTheSongTableWhenTheFileHoldsAnotherLikeIt) {
    Library lib;
    writeSong(lib.music("keep.mp3"));
    writeSong(lib.music("gone.mp3"));
    RecordingProgress progress;
    Scanner scanner(lib.table(), progress);
    scanner.scanRoot(lib.root());
    // A second table with the same columns must not stand in for the songs.
    ASSERT_EQ(sqlite3_exec(lib.table().handle(), "CREATE TABLE Other (\"Index\" INTEGER, \"Dateiname\" TEXT)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    fs::remove(lib.music("gone.mp3"));
    progress.steps = 0;
    EXPECT_EQ(scanner.CheckDatabase(), 1);
    EXPECT_EQ(progress.steps, 3);
    EXPECT_THAT(lib.pathsInImportOrder(), ElementsAre(lib.music("keep.mp3").string()));
}

namespace {

// A mountinfo file that lists "/" and the given mount points.
std::string writeMountTable(const fs::path &file, const std::vector<std::string> &points) {
    std::string text = "1 0 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n";
    int id = 2;
    for (const std::string &point : points) {
        text += std::to_string(id) + " 1 0:" + std::to_string(40 + id) + " / " + point +
                " rw,relatime - tmpfs tmpfs rw\n";
        ++id;
    }
    mixora::test::writeFile(file, std::vector<std::uint8_t>(text.begin(), text.end()));
    return file.string();
}

// Scans a folder that is a drive of its own, then a second time while the drive is away, then
// once more with it back: the rows of the away drive, cue points included, survive.
void checkAwayDriveKeepsItsRows(Library &lib, const fs::path &drive, const std::function<void(bool)> &mount,
                                Scanner &scanner) {
    mount(true);
    writeSong(drive / "a.mp3");
    writeSong(drive / "sub" / "b.mp3");
    writeSong(lib.music("home.mp3"));
    writeSong(lib.music("deleted.mp3"));
    ScanCounts counts = scanner.start({lib.root(), drive.string() + "/"});
    ASSERT_EQ(counts.added, 4);
    lib.table().setIndexName("iDateiname");
    lib.table().findNearest((drive / "a.mp3").string());
    lib.table().edit();
    lib.table().setFieldInteger("Startzeit", 4242);
    lib.table().post();
    const auto before = lib.pathsInImportOrder();

    mount(false); // the stick is unplugged: its files are gone from view
    ASSERT_FALSE(fs::exists(drive / "a.mp3"));
    fs::remove(lib.music("deleted.mp3"));
    counts = scanner.start({lib.root()});
    EXPECT_EQ(counts.removed, 1); // deleted.mp3, on a file system that is there
    EXPECT_EQ(counts.missing, 2);
    EXPECT_EQ(counts.added, 0);
    auto kept = before;
    std::erase(kept, lib.music("deleted.mp3").string());
    EXPECT_EQ(lib.pathsInImportOrder(), kept);

    mount(true);
    writeSong(drive / "a.mp3");
    writeSong(drive / "sub" / "b.mp3");
    counts = scanner.start({lib.root(), drive.string() + "/"});
    EXPECT_EQ(counts.removed, 0);
    EXPECT_EQ(counts.missing, 0);
    EXPECT_EQ(counts.added, 0); // found as they were, not imported as new songs
    EXPECT_EQ(field(lib.table(), (drive / "a.mp3").string(), kFieldStartzeit), "4242");
}

} // namespace

TEST(ScanCheck, RowsOfADriveMissingFromTheMountTableStayUntilItIsBack) {
    Library lib;
    const fs::path drive = lib.dir.path() / "stick";
    const fs::path table = lib.dir.path() / "mountinfo";
    SilentProgress progress;
    Scanner scanner(lib.table(), progress);
    scanner.setMountTable(table.string());
    checkAwayDriveKeepsItsRows(
        lib, drive,
        [&](bool mounted) {
            writeMountTable(table,
                            mounted ? std::vector<std::string>{drive.string()} : std::vector<std::string>{});
            if (!mounted)
                fs::remove_all(drive);
        },
        scanner);
}

TEST(ScanCheck, RowsOfAnUnmountedTmpfsStayUntilItIsMountedAgain) {
    Library lib;
    const fs::path drive = lib.dir.path() / "stick";
    fs::create_directories(drive);
    if (::mount("tmpfs", drive.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "mounting a tmpfs is not permitted here: " << std::strerror(errno);
    ::umount(drive.c_str());
    bool mounted = false;
    struct Unmount {
        const fs::path &drive;
        bool &mounted;
        ~Unmount() {
            if (mounted)
                ::umount(drive.c_str());
        }
    } unmount{drive, mounted};
    SilentProgress progress;
    Scanner scanner(lib.table(), progress);
    checkAwayDriveKeepsItsRows(
        lib, drive,
        [&](bool on) {
            if (on && !mounted) {
                ASSERT_EQ(::mount("tmpfs", drive.c_str(), "tmpfs", 0, "size=1m"), 0);
            } else if (!on && mounted) {
                ASSERT_EQ(::umount(drive.c_str()), 0);
            }
            mounted = on;
        },
        scanner);
}
