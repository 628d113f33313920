// What the analysis adds to data.db: 10,000 songs' results (a full 4 KB overview each) stored one
// by one as the window thread stores them, the file's growth and the time per song.
#include "analysis/Store.h"
#include "library/Datamod.h"
#include "tests/support/Fixtures.h"

#include <sqlite3.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>

namespace {

using namespace mixora;
namespace fs = std::filesystem;

constexpr int kSongs = 10000;

std::uintmax_t databaseBytes(const fs::path &programDir) {
    std::uintmax_t bytes = 0;
    for (const char *name : {"data.db", "data.db-wal"}) {
        std::error_code ec;
        const auto size = fs::file_size(TDataModule1::dataFolder(programDir) / name, ec);
        if (!ec)
            bytes += size;
    }
    return bytes;
}

void BM_StoreTenThousandSongs(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        test::TempDir dir;
        TDataModule1 data;
        data.openOrCreate(dir.path());
        data.Table1.startTransaction();
        for (int i = 0; i < kSongs; ++i) {
            SongRecord row{};
            row[kFieldDateiname] = "/music/song" + std::to_string(i) + ".mp3";
            row[kFieldAnalyse] = false;
            data.Table1.appendRecord(row);
        }
        data.Table1.commit();
        sqlite3_wal_checkpoint_v2(data.Table1.handle(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                  nullptr);
        const auto before = databaseBytes(dir.path());
        analysis::Store store(data.Table1);
        store.attach();
        std::vector<analysis::SongRef> songs = store.unanalysed();
        analysis::Result result;
        result.bpm = 127.93;
        result.firstBeatSeconds = 0.41;
        result.loudnessLufs = -8.7;
        result.audibleEndByte = 7340032;
        result.overview.resize(2 * analysis::kOverviewColumns);
        for (std::size_t i = 0; i < result.overview.size(); ++i)
            result.overview[i] = static_cast<std::uint8_t>((i * 37) ^ (i >> 3)); // little to compress
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        for (const auto &song : songs)
            store.save(song, result);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.PauseTiming();
        sqlite3_wal_checkpoint_v2(data.Table1.handle(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                  nullptr);
        state.counters["added_MB"] = static_cast<double>(databaseBytes(dir.path()) - before) / 1e6;
        state.counters["us_per_song"] = seconds * 1e6 / kSongs;
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StoreTenThousandSongs)->Unit(benchmark::kSecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
