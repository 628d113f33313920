// Import of files that carry ID3v2.3 tags against the bare file-system work it cannot avoid:
//  - 20,000 files in 2,000 folders (title, artist, year, genre; a 30 KB picture on every
//    tenth) vs. a bare C walk that opens each file, reads its first 10 bytes, the ID3v2 tag
//    they announce and the last 128 bytes (same tree, same run, warm cache);
//  - the import's memory (resident set) over 100,000 files, sampled as it goes.
// "speed_vs_bare" is bare wall time / our wall time; "files_per_s" our rate.
// Trees are generated below /tmp and removed at the end.
#include "bench/BareWalk.h"
#include "bench/Timing.h"
#include "library/Datamod.h"
#include "scan/Scanner.h"
#include "tests/support/Fixtures.h"
#include "tests/tags/TagBuilders.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace mixora;
using mixora::bench::Timing;
using namespace mixora::test::tagbytes;

namespace {

struct Tree {
    test::TempDir dir;
    std::string root;
    long files = 0;
    Tree(int folders, int perFolder, bool audio) {
        test::Mp3Options options;
        options.seconds = 0.05;
        options.writeInfoTag = false;
        const Bytes frames = audio ? test::makeMp3(options) : Bytes(64, 0x55);
        const Bytes picture =
            frame(3, "APIC", Bytes{0} + bytes("image/jpeg") + Bytes{0, 3, 0} + Bytes(30000, 0x77));
        for (int f = 0; f < folders; ++f) {
            const fs::path folder =
                dir.path() / "music" / ("genre" + std::to_string(f % 20)) / ("album" + std::to_string(f));
            fs::create_directories(folder);
            for (int i = 0; i < perFolder; ++i) {
                std::vector<Bytes> tagFrames = {text(3, "TIT2", "Title number " + std::to_string(i)),
                                                text(3, "TPE1", "Artist " + std::to_string(f)),
                                                text(3, "TYER", "2001"), text(3, "TCON", "(35)")};
                if ((f * perFolder + i) % 10 == 0)
                    tagFrames.push_back(picture);
                test::writeFile(folder / ("track" + std::to_string(i) + ".mp3"),
                                tag(3, tagFrames, 256) + frames);
                ++files;
            }
        }
        root = (dir.path() / "music").string() + "/";
    }
};

// What no import can avoid: list the folders, open every file, read its first 10 bytes, the
// ID3v2 tag they announce and the last 128 bytes.
long bareWalk(const std::string &path, std::vector<unsigned char> &buffer) {
    return bench::bareWalk(path, [&buffer](int fd) {
        unsigned char head[10];
        if (::read(fd, head, 10) == 10 && head[0] == 'I' && head[1] == 'D' && head[2] == '3') {
            const std::size_t size = (std::size_t{head[6]} << 21) | (std::size_t{head[7]} << 14) |
                                     (std::size_t{head[8]} << 7) | head[9];
            if (buffer.size() < size)
                buffer.resize(size);
            if (::read(fd, buffer.data(), size) < 0)
                return false;
        }
        const off_t end = ::lseek(fd, 0, SEEK_END);
        return ::pread(fd, buffer.data(), 128, end - 128) == 128;
    });
}

void BM_Id3v2ImportVsBareWalk(benchmark::State &state) {
    static Tree tree(2000, 10, true);
    Timing ours, bare;
    std::int64_t added = 0;
    long walked = 0;
    std::vector<unsigned char> buffer(1 << 16);
    bareWalk(tree.root, buffer); // warm the cache
    for (auto _ : state) {
        bare.add([&] { walked = bareWalk(tree.root, buffer); });
        test::TempDir program;
        TDataModule1 data;
        data.openOrCreate(program.path());
        scan::SilentProgress progress;
        scan::Scanner scanner(data.Table1, progress);
        scanner.setParallelWalk(state.range(0) != 0);
        ours.add([&] { added = scanner.start({tree.root}).added; });
    }
    if (added != tree.files || walked != tree.files)
        state.SkipWithError("the import did not add every file");
    const double n = static_cast<double>(state.iterations());
    state.counters["files"] = static_cast<double>(added);
    state.counters["files_per_s"] = static_cast<double>(added) * n / ours.wall;
    state.counters["bare_files_per_s"] = static_cast<double>(walked) * n / bare.wall;
    state.counters["speed_vs_bare"] = bare.wall / ours.wall;
    state.counters["cpu_vs_bare"] = bare.cpu / ours.cpu;
}
BENCHMARK(BM_Id3v2ImportVsBareWalk)
    ->ArgName("parallel")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

long residentKiB() {
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// Samples the resident set every few hundred folders.
struct MemoryProgress : scan::SilentProgress {
    std::vector<long> samples;
    int steps = 0;
    void setPosition(int position) override {
        SilentProgress::setPosition(position);
        if (++steps % 500 == 0)
            samples.push_back(residentKiB());
    }
};

void BM_ImportMemoryOver100kFiles(benchmark::State &state) {
    static Tree tree(5000, 20, false);
    for (auto _ : state) {
        test::TempDir program;
        TDataModule1 data;
        data.openOrCreate(program.path());
        MemoryProgress progress;
        scan::Scanner scanner(data.Table1, progress);
        const auto added = scanner.start({tree.root}).added;
        if (added != tree.files || progress.samples.size() < 4) {
            state.SkipWithError("the import did not add every file");
            return;
        }
        // After the first fifth the working set is built; what it gains after that grows with
        // the number of files.
        const long early = progress.samples[progress.samples.size() / 5];
        state.counters["files"] = static_cast<double>(added);
        state.counters["rss_at_20pct_MiB"] = static_cast<double>(early) / 1024.0;
        state.counters["rss_at_end_MiB"] = static_cast<double>(progress.samples.back()) / 1024.0;
        state.counters["growth_after_20pct_MiB"] =
            static_cast<double>(progress.samples.back() - early) / 1024.0;
    }
}
BENCHMARK(BM_ImportMemoryOver100kFiles)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
