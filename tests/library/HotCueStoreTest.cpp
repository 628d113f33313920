// The DJ's own marks of a song in data.db, hot cues and the corrected beat grid: added to a file
// that predates them, gone with their row, kept through everything else a row goes through.
#include "analysis/Store.h"
#include "analysis/UserGrid.h"
#include "library/HotCues.h"
#include "scan/Scanner.h"
#include "tests/scan/ScanTestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>

using namespace mixora;
namespace t = mixora::test;

namespace {

std::int64_t beatsOf(SongTable &table, std::int64_t key) {
    const auto row = table.readRecord(key);
    const auto *beats = row ? std::get_if<std::int64_t>(&(*row)[kFieldBeats]) : nullptr;
    return beats ? *beats : -1;
}

} // namespace

TEST(HotCueStore, AnExistingDataDbGainsTheTableAndKeepsEveryRow) {
    t::TempDir dir;
    std::int64_t first = 0;
    {
        TDataModule1 old; // a library as every earlier version leaves it: the song table alone
        old.openOrCreate(dir.path());
        for (int i = 0; i < 3; ++i) {
            SongRecord r;
            r[kFieldDateiname] = "/m/" + std::to_string(i) + ".mp3";
            r[kFieldBeats] = std::int64_t{120 + i};
            old.Table1.appendRecord(r);
            if (i == 0)
                first = *old.Table1.currentKey();
        }
    }
    TDataModule1 data;
    data.openOrCreate(dir.path());
    HotCueStore cues(data.Table1);
    EXPECT_TRUE(cues.load(first).empty()); // reading before attaching finds nothing, breaks nothing
    cues.attach();
    cues.attach();
    analysis::UserGrid(data.Table1).attach();
    EXPECT_EQ(data.Table1.recordCount(), 3);
    EXPECT_EQ(beatsOf(data.Table1, first), 120);

    // Positions come back to the fraction, far into a long mix too; the pads in order.
    const HotCue late{8, std::ldexp(1.0, 40) + 0.25, std::nullopt, 0x123456};
    const HotCue looped{3, 88200.75, 0.125 * 22050.0, defaultHotCueColour(3)};
    ASSERT_TRUE(cues.save(first, late));
    ASSERT_TRUE(cues.save(first, looped));
    EXPECT_EQ(cues.load(first), (std::vector<HotCue>{looped, late}));
    cues.remove(first, 8);
    EXPECT_EQ(cues.load(first), std::vector<HotCue>{looped});

    EXPECT_FALSE(cues.save(first + 100, late)); // no such row: nothing to keep a cue for
    EXPECT_THROW(cues.save(first, HotCue{9, 1.0, std::nullopt, 0}), std::invalid_argument);
}

TEST(HotCueStore, TheDjsMarksLiveAsLongAsTheirRowThroughRescanAndRename) {
    t::Library lib;
    t::writeSong(lib.music("a.mp3"));
    t::writeSong(lib.music("b.mp3"));
    scan::SilentProgress progress;
    scan::Scanner scanner(lib.table(), progress);
    scanner.start({lib.root()});
    SongTable &table = lib.table();
    ASSERT_EQ(table.recordCount(), 2);
    table.setIndexName("");
    const auto keys = table.keysInOrder();
    const std::int64_t a = keys[0], b = keys[1];
    const std::string aPath = lib.music("a.mp3").string();

    analysis::Store store(table);
    store.attach();
    HotCueStore cues(table);
    cues.attach();
    analysis::UserGrid grids(table);
    analysis::Result analysed;
    analysed.bpm = 128.2;
    ASSERT_TRUE(store.save({a, aPath}, analysed));
    const HotCue cue{1, 1000.0, std::nullopt, defaultHotCueColour(1)};
    const engine::BeatGrid grid{127.6, 0.125}; // its whole tempo is the analysis' figure
    for (const std::int64_t key : {a, b})
        ASSERT_TRUE(cues.save(key, cue));
    ASSERT_TRUE(grids.save(a, grid));
    ASSERT_TRUE(grids.save(b, grid));

    scanner.start({lib.root()}); // the same files again: the same rows
    EXPECT_EQ(table.recordCount(), 2);
    EXPECT_EQ(cues.load(a), std::vector<HotCue>{cue});
    EXPECT_EQ(grids.load(a)->bpm, grid.bpm);

    // The DJ moved the file: the analysis is of the old name, the DJ's marks are the row's.
    ASSERT_TRUE(table.gotoKey(a));
    table.edit();
    table.setFieldString("Dateiname", lib.music("moved/a.mp3").string());
    table.post();
    EXPECT_FALSE(store.load(a));
    EXPECT_EQ(cues.load(a), std::vector<HotCue>{cue});
    EXPECT_TRUE(grids.load(a));
    EXPECT_EQ(beatsOf(table, a), 128);

    // Deleted by another program (as the sqlite3 shell would): only that row's marks go.
    sqlite3 *shell = nullptr;
    ASSERT_EQ(sqlite3_open(table.filePath().c_str(), &shell), SQLITE_OK);
    registerNoCaseCollation(shell);
    sqlite3_busy_timeout(shell, 2000);
    const std::string drop = "DELETE FROM Songs WHERE \"Index\" = " + std::to_string(b);
    EXPECT_EQ(sqlite3_exec(shell, drop.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(shell);
    EXPECT_TRUE(cues.load(b).empty());
    EXPECT_FALSE(grids.load(b));
    EXPECT_EQ(cues.load(a), std::vector<HotCue>{cue});
    EXPECT_TRUE(grids.load(a));
}

TEST(UserGrid, TheDjsGridOutlivesEveryLaterAnalysisAndBeatsFollowsIt) {
    t::Library lib;
    SongRecord r;
    r[kFieldDateiname] = std::string("/m/a.mp3");
    lib.table().appendRecord(r);
    const std::int64_t key = *lib.table().currentKey();
    analysis::Store store(lib.table());
    store.attach();
    analysis::UserGrid grids(lib.table());
    analysis::Result analysed;
    analysed.bpm = 128.0;
    analysed.firstBeatSeconds = 0.3;
    ASSERT_TRUE(store.save({key, "/m/a.mp3"}, analysed));
    ASSERT_EQ(beatsOf(lib.table(), key), 128);

    const engine::BeatGrid halved{64.0, 0.3};
    ASSERT_TRUE(grids.save(key, halved));
    EXPECT_EQ(beatsOf(lib.table(), key), 64);
    analysed.bpm = 131.0;
    ASSERT_TRUE(store.save({key, "/m/a.mp3"}, analysed));
    EXPECT_EQ(store.load(key)->bpm, 131.0); // the analysis keeps its own figures
    EXPECT_EQ(grids.load(key)->bpm, halved.bpm);
    EXPECT_EQ(beatsOf(lib.table(), key), 64);
    // Even a "Beats" emptied by hand is not the analysis' to fill while the DJ's grid stands.
    ASSERT_TRUE(lib.table().gotoKey(key));
    lib.table().refresh();
    lib.table().edit();
    lib.table().setFieldNull("Beats");
    lib.table().post();
    ASSERT_EQ(beatsOf(lib.table(), key), -1);
    ASSERT_TRUE(store.save({key, "/m/a.mp3"}, analysed));
    EXPECT_EQ(beatsOf(lib.table(), key), 64);

    EXPECT_THROW(grids.save(key, {29.0, 0.3}), std::invalid_argument);
    EXPECT_EQ(grids.load(key)->bpm, halved.bpm);
}
