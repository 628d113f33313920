// The result store: added to an existing library, the song row's own columns, the user's
// "Beats" correction, and results that follow their row.
#include "analysis/Store.h"
#include "library/Datamod.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace mixora;
using analysis::Result;
using analysis::Store;

namespace {

SongRecord song(const std::string &path) {
    SongRecord r;
    r[kFieldIndex] = std::int64_t{0};
    r[kFieldInterpret] = std::string("Artist");
    r[kFieldTitel] = std::string("Title");
    r[kFieldDateiname] = path;
    r[kFieldStartzeit] = std::int64_t{0};
    r[kFieldAnalyse] = false;
    return r;
}

Result result(double bpm) {
    Result r;
    r.bpm = bpm;
    r.firstBeatSeconds = 0.25;
    r.loudnessLufs = -9.5;
    r.audibleStartSeconds = 0.1;
    r.audibleEndSeconds = 95.5;
    r.audibleStartByte = 1671;
    r.audibleEndByte = 1528000;
    r.durationSeconds = 96.0;
    r.overview.resize(2 * analysis::kOverviewColumns);
    for (std::size_t i = 0; i < r.overview.size(); ++i)
        r.overview[i] = static_cast<std::uint8_t>(i * 7);
    return r;
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(data.openOrCreate(dir.path()));
        for (const char *name : {"/m/a.mp3", "/m/b.mp3", "/m/c.mp3"})
            table().appendRecord(song(name));
        store.attach();
    }
    SongTable &table() { return data.Table1; }
    analysis::SongRef songOf(const std::string &path) {
        table().setIndexName("iDateiname");
        table().findNearest(path);
        return {*table().currentKey(), path};
    }
    void setBeats(const analysis::SongRef &song, std::int64_t beats) {
        ASSERT_TRUE(table().gotoKey(song.index));
        table().edit();
        table().setFieldInteger("Beats", beats);
        table().post();
    }
    std::int64_t count(const std::string &sql) {
        sqlite3_stmt *stmt = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(table().handle(), sql.c_str(), -1, &stmt, nullptr), SQLITE_OK);
        std::int64_t n = -1;
        if (sqlite3_step(stmt) == SQLITE_ROW)
            n = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
        return n;
    }

    test::TempDir dir;
    TDataModule1 data;
    Store store{data.Table1};
};

} // namespace

TEST_F(StoreTest, SavedResultsFillTheSongRowAndSurviveReopening) {
    const auto a = songOf("/m/a.mp3");
    ASSERT_TRUE(store.save(a, result(127.6)));
    table().refresh();
    ASSERT_TRUE(table().gotoKey(a.index));
    EXPECT_EQ(table().fieldAsInteger("Beats"), 128);
    EXPECT_EQ(table().fieldAsString("Analyse"), "True");
    EXPECT_EQ(table().fieldAsInteger("EndZeit"), 1528000);

    // Reopened the way an older program opens it: the song table is untouched and the results stay.
    table().close();
    SongTable again;
    again.setDatabaseName(TDataModule1::dataFolder(dir.path()));
    again.open();
    EXPECT_EQ(again.recordCount(), 3);
    Store reopened(again);
    reopened.attach(); // a second attach changes nothing
    const auto stored = reopened.load(a.index);
    ASSERT_TRUE(stored);
    EXPECT_DOUBLE_EQ(*stored->bpm, 127.6);
    EXPECT_DOUBLE_EQ(*stored->loudnessLufs, -9.5);
    EXPECT_EQ(stored->audibleStartByte, 1671);
    EXPECT_DOUBLE_EQ(stored->audibleEndSeconds, 95.5);
    EXPECT_EQ(stored->overview, result(127.6).overview);
    EXPECT_FALSE(reopened.load(a.index + 1));

    std::vector<std::string> left;
    for (const auto &ref : reopened.unanalysed())
        left.push_back(ref.path);
    EXPECT_EQ(left, (std::vector<std::string>{"/m/b.mp3", "/m/c.mp3"}));
}

TEST_F(StoreTest, TheUsersBeatsWinOverTheAnalysis) {
    const auto a = songOf("/m/a.mp3");
    const auto b = songOf("/m/b.mp3");
    setBeats(b, 96); // typed in before any analysis

    store.save(a, result(128.2));
    store.save(b, result(128.2));
    store.save(a, result(131.0)); // our own figure is ours to replace
    setBeats(a, 65);              // the user halves it
    store.save(a, result(130.4));
    store.save(b, result(127.0));
    table().refresh();
    ASSERT_TRUE(table().gotoKey(a.index));
    EXPECT_EQ(table().fieldAsInteger("Beats"), 65);
    ASSERT_TRUE(table().gotoKey(b.index));
    EXPECT_EQ(table().fieldAsInteger("Beats"), 96);

    // A song found to have no steady beat takes back what we wrote, never what the user wrote.
    const auto c = songOf("/m/c.mp3");
    store.save(c, result(100.0));
    Result noTempo = result(0);
    noTempo.bpm.reset();
    store.save(c, noTempo);
    store.save(b, noTempo);
    table().refresh();
    ASSERT_TRUE(table().gotoKey(c.index));
    EXPECT_TRUE(table().fieldIsNull("Beats"));
    EXPECT_EQ(table().fieldAsString("Analyse"), "True");
    ASSERT_TRUE(table().gotoKey(b.index));
    EXPECT_EQ(table().fieldAsInteger("Beats"), 96);
}

TEST_F(StoreTest, ResultsFollowTheirRow) {
    const auto a = songOf("/m/a.mp3");
    const auto b = songOf("/m/b.mp3");
    const auto c = songOf("/m/c.mp3");
    for (const auto &song : {a, b, c})
        store.save(song, result(120.0));

    ASSERT_TRUE(table().gotoKey(a.index));
    table().deleteRecord();
    EXPECT_FALSE(store.load(a.index));
    EXPECT_FALSE(store.save(a, result(120.0))) << "a row deleted while its song was analysed";
    EXPECT_EQ(count("SELECT count(*) FROM Analysis"), 2);

    // An older program deleting rows, knowing nothing of the results, keeps them in step too.
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "Data/data.db").c_str(), &other), SQLITE_OK);
    registerNoCaseCollation(other);
    EXPECT_EQ(sqlite3_exec(other, ("DELETE FROM Songs WHERE \"Index\" = " + std::to_string(b.index)).c_str(),
                           nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(other);
    sqlite3_close(other);
    EXPECT_FALSE(store.load(b.index));

    // Pointed at another file, the row's results describe nothing any more.
    table().refresh();
    ASSERT_TRUE(table().gotoKey(c.index));
    table().edit();
    table().setFieldString("Dateiname", "/m/other.mp3");
    table().post();
    EXPECT_FALSE(store.load(c.index));
    EXPECT_FALSE(store.save(c, result(120.0))) << "results of the file the row named before";
    EXPECT_EQ(table().fieldAsString("Analyse"), "False");
    EXPECT_TRUE(table().fieldIsNull("Beats"));
    EXPECT_TRUE(table().fieldIsNull("EndZeit"));
    ASSERT_EQ(store.unanalysed().size(), 1u);
    EXPECT_EQ(store.unanalysed()[0].path, "/m/other.mp3");
}

TEST_F(StoreTest, ASaveInsideAnOpenImportBatchCommitsWithIt) {
    const auto a = songOf("/m/a.mp3");
    table().startTransaction();
    table().appendRecord(song("/m/d.mp3"));
    ASSERT_TRUE(store.save(a, result(90.0)));
    EXPECT_TRUE(table().inTransaction());
    table().commit();
    EXPECT_EQ(count("SELECT count(*) FROM Analysis"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM Songs"), 4);
}
