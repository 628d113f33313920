// What the DJ's marks cost in data.db: the file's size (page_count · page_size) before and after
// every song of a library gets eight hot cues (half with a saved loop) and its own beat grid,
// per song. Prints the figures; asserts nothing.
#include "analysis/UserGrid.h"
#include "library/Datamod.h"
#include "library/HotCues.h"
#include "tests/support/Fixtures.h"

#include <sqlite3.h>

#include <cstdio>
#include <random>
#include <string>

using namespace mixora;

namespace {

long long fileBytes(sqlite3 *db) {
    sqlite3_exec(db, "VACUUM", nullptr, nullptr, nullptr); // free pages are no cost of the data
    long long pages = 0, size = 0;
    sqlite3_stmt *q = nullptr;
    sqlite3_prepare_v2(db, "SELECT page_count, page_size FROM pragma_page_count, pragma_page_size", -1, &q,
                       nullptr);
    if (sqlite3_step(q) == SQLITE_ROW) {
        pages = sqlite3_column_int64(q, 0);
        size = sqlite3_column_int64(q, 1);
    }
    sqlite3_finalize(q);
    return pages * size;
}

} // namespace

int main(int argc, char **argv) {
    const int songs = argc > 1 ? std::stoi(argv[1]) : 1000;
    test::TempDir dir;
    TDataModule1 data;
    data.openOrCreate(dir.path());
    SongTable &table = data.Table1;
    HotCueStore cues(table);
    cues.attach();
    analysis::UserGrid grids(table);
    grids.attach();
    table.startTransaction();
    std::vector<std::int64_t> keys;
    for (int i = 0; i < songs; ++i) {
        SongRecord r;
        r[kFieldInterpret] = "Artist " + std::to_string(i);
        r[kFieldTitel] = "Title " + std::to_string(i);
        r[kFieldDateiname] = "/music/" + std::to_string(i % 50) + "/" + std::to_string(i) + ".mp3";
        table.appendRecord(r);
        keys.push_back(*table.currentKey());
    }
    table.commit();
    sqlite3 *db = table.handle();
    const long long before = fileBytes(db);

    std::mt19937 rng(7);
    std::uniform_real_distribution<double> where(0.0, 6.0 * 60 * 44100); // within six minutes
    table.startTransaction();
    for (const std::int64_t key : keys) {
        for (int pad = 1; pad <= kHotCuePads; ++pad) {
            HotCue cue{pad, where(rng), std::nullopt, defaultHotCueColour(pad)};
            if (pad % 2 == 0)
                cue.loopSamples = 4 * 60.0 / 127.3 * 44100; // four beats at a tempo of no whole samples
            cues.save(key, cue);
        }
    }
    table.commit();
    const long long withCues = fileBytes(db);
    table.startTransaction();
    for (const std::int64_t key : keys)
        grids.save(key,
                   {127.3 + static_cast<double>(key % 7) / 10.0, 0.0123 * static_cast<double>(key % 40)});
    table.commit();
    const long long withGrids = fileBytes(db);

    std::printf("songs: %d\n", songs);
    std::printf("data.db without marks: %lld bytes\n", before);
    std::printf("8 hot cues per song (4 with a loop): %lld bytes in all, %.1f bytes per song\n",
                withCues - before, static_cast<double>(withCues - before) / songs);
    std::printf("the DJ's beat grid per song: %lld bytes in all, %.1f bytes per song\n", withGrids - withCues,
                static_cast<double>(withGrids - withCues) / songs);
    return 0;
}
