// Scan and check speed against the bare file-system work they cannot avoid:
//  - import of a tree of 20,000 small MP3 files in 2,000 folders vs. a bare walk that opens
//    each file and reads its last 128 bytes (same tree, same run);
//  - the database check of 100,000 rows vs. a bare loop of file-existence tests.
// "speed_vs_bare" is bare wall time / our wall time (1.0 = as fast as the bare loop),
// "cpu_vs_bare" the same for processor time.
// Trees are generated below /tmp and removed at the end.
#include "bench/BareWalk.h"
#include "bench/Timing.h"
#include "library/Datamod.h"
#include "scan/Scanner.h"
#include "tests/support/Fixtures.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace mixora;
using mixora::bench::Timing;

namespace {

constexpr int kFolders = 2000;
constexpr int kFilesPerFolder = 10;
constexpr int kCheckRows = 100000;

// A tree of small MP3 files: a few real frames and an ID3v1 tag each.
struct Tree {
    test::TempDir dir;
    std::string root;
    Tree() {
        test::Mp3Options options;
        options.seconds = 0.05;
        options.writeInfoTag = false;
        std::vector<std::uint8_t> frames = test::makeMp3(options);
        for (int f = 0; f < kFolders; ++f) {
            const fs::path folder =
                dir.path() / "music" / ("genre" + std::to_string(f % 20)) / ("album" + std::to_string(f));
            fs::create_directories(folder);
            for (int i = 0; i < kFilesPerFolder; ++i) {
                auto bytes = frames;
                const auto tag = test::makeId3v1("Title " + std::to_string(i), "Artist " + std::to_string(f),
                                                 "Album", "2001", "House");
                bytes.insert(bytes.end(), tag.begin(), tag.end());
                test::writeFile(folder / ("track" + std::to_string(i) + ".mp3"), bytes);
            }
        }
        root = (dir.path() / "music").string() + "/";
    }
};

Tree &tree() {
    static Tree t;
    return t;
}

// What no import can avoid: list the folders, open every file, read its last 128 bytes.
long bareWalk(const std::string &path) {
    return bench::bareWalk(path, [](int fd) {
        unsigned char buf[128];
        const off_t size = ::lseek(fd, 0, SEEK_END);
        return ::pread(fd, buf, 128, size - 128) == 128;
    });
}

void BM_ImportVsBareWalk(benchmark::State &state) {
    tree();
    Timing ours, bare;
    std::int64_t added = 0;
    long files = 0;
    for (auto _ : state) {
        bare.add([&] { files = bareWalk(tree().root); });
        test::TempDir program;
        TDataModule1 data;
        data.openOrCreate(program.path());
        scan::SilentProgress progress;
        ours.add([&] {
            scan::Scanner scanner(data.Table1, progress);
            scanner.setParallelWalk(state.range(0) != 0);
            added = scanner.start({tree().root}).added;
        });
    }
    if (added != kFolders * kFilesPerFolder || files != added)
        state.SkipWithError("the import did not add every file");
    const double n = static_cast<double>(state.iterations());
    state.counters["files"] = static_cast<double>(added);
    state.counters["import_s"] = ours.wall / n;
    state.counters["bare_walk_s"] = bare.wall / n;
    state.counters["speed_vs_bare"] = bare.wall / ours.wall;
    state.counters["cpu_vs_bare"] = bare.cpu / ours.cpu;
}
BENCHMARK(BM_ImportVsBareWalk)
    ->ArgName("parallel")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// 100,000 empty files and a table naming each of them: the check deletes nothing, so every
// run does the same work.
struct CheckSetup {
    test::TempDir dir;
    std::vector<std::string> paths;
    TDataModule1 data;
    CheckSetup() {
        paths.reserve(kCheckRows);
        for (int f = 0; f < kCheckRows / 50; ++f) {
            const fs::path folder = dir.path() / "files" / ("d" + std::to_string(f));
            fs::create_directories(folder);
            for (int i = 0; i < 50; ++i) {
                const std::string p = (folder / ("song" + std::to_string(i) + ".mp3")).string();
                const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT, 0644);
                ::close(fd);
                paths.push_back(p);
            }
        }
        data.openOrCreate(dir.path());
        data.Table1.startTransaction();
        SongRecord row{};
        for (const auto &p : paths) {
            row[kFieldDateiname] = p;
            data.Table1.appendRecord(row);
        }
        data.Table1.commit();
        data.Table1.setIndexName("iDateiname");
    }
};

void BM_CheckVsBareExistenceTests(benchmark::State &state) {
    static CheckSetup setup;
    Timing ours, bare;
    std::int64_t removed = 0;
    long existing = 0;
    for (auto _ : state) {
        bare.add([&] {
            existing = 0;
            for (const auto &p : setup.paths) {
                struct stat st {};
                if (::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                    ++existing;
            }
        });
        scan::SilentProgress progress;
        scan::Scanner scanner(setup.data.Table1, progress);
        ours.add([&] { removed = scanner.CheckDatabase(); });
    }
    if (removed != 0 || existing != kCheckRows)
        state.SkipWithError("the check removed rows of existing files");
    const double n = static_cast<double>(state.iterations());
    state.counters["rows"] = static_cast<double>(setup.data.Table1.recordCount());
    state.counters["check_s"] = ours.wall / n;
    state.counters["bare_stat_s"] = bare.wall / n;
    state.counters["speed_vs_bare"] = bare.wall / ours.wall;
    state.counters["cpu_vs_bare"] = bare.cpu / ours.cpu;
}
BENCHMARK(BM_CheckVsBareExistenceTests)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
