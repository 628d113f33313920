// The program's analysis service: outcomes stored on the window thread as they come, held while
// the user edits, the deck's song first, and "Abbruch".
#include "library/Datamod.h"
#include "scan/AnalysisService.h"
#include "tests/support/Fixtures.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

using namespace mixora;

namespace {

SongRecord row(const std::string &path) {
    SongRecord r;
    r[kFieldIndex] = std::int64_t{0};
    r[kFieldDateiname] = path;
    r[kFieldStartzeit] = std::int64_t{0};
    r[kFieldAnalyse] = false;
    return r;
}

// Tempo 100 for every file but those named "bad*", which fail; files named "hold*" wait until
// the test lets them go.
struct FakeAnalysis {
    std::mutex mutex;
    bool holding = false;
    std::vector<std::string> order;

    analysis::JobQueue::AnalyseFn fn() {
        return [this](const std::string &path, const std::atomic<bool> *cancel,
                      std::string *) -> std::optional<analysis::Result> {
            for (;;) {
                std::lock_guard lock(mutex);
                if (cancel->load())
                    return std::nullopt;
                if (!holding || path.find("/hold") == std::string::npos) {
                    order.push_back(path);
                    break;
                }
            }
            if (path.find("/bad") != std::string::npos)
                return std::nullopt;
            analysis::Result r;
            r.bpm = 100.0;
            r.audibleEndByte = 5000;
            return r;
        };
    }
    void hold(bool on) {
        std::lock_guard lock(mutex);
        holding = on;
    }
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(data.openOrCreate(dir.path()));
        for (const char *path : {"/m/a.mp3", "/m/b.mp3", "/m/hold.mp3"})
            table().appendRecord(row(path));
    }
    SongTable &table() { return data.Table1; }
    std::int64_t keyOf(const std::string &path) {
        table().setIndexName("iDateiname");
        table().findNearest(path);
        return *table().currentKey();
    }

    test::TempDir dir;
    TDataModule1 data;
    FakeAnalysis fake;
};

} // namespace

TEST_F(ServiceTest, TheLibraryIsAnalysedAndTheCursorShowsIt) {
    AnalysisService service(table(), fake.fn(), 2);
    service.setRefreshDelayMs(0);
    QSignalSpy finished(&service, &AnalysisService::libraryFinished);
    QSignalSpy failed(&service, &AnalysisService::storeFailed);
    EXPECT_EQ(service.analyseLibrary(), 3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 10000));
    EXPECT_EQ(service.libraryDone(), 3);
    EXPECT_EQ(failed.count(), 0) << (failed.isEmpty() ? "" : failed.first().first().toString().toStdString());
    EXPECT_TRUE(service.store().unanalysed().empty());
    // The grids and the cursor follow without anyone asking the table to refresh.
    QTest::qWait(20);
    EXPECT_EQ(table().fieldAsString("Analyse"), "True");
    EXPECT_EQ(table().fieldAsInteger("Beats"), 100);

    // Nothing left: done at once.
    EXPECT_EQ(service.analyseLibrary(), 0);
    EXPECT_EQ(finished.count(), 2);
}

TEST_F(ServiceTest, AnOutcomeWaitsWhileTheUserEditsAndKeepsTheirBeats) {
    AnalysisService service(table(), fake.fn(), 1);
    QSignalSpy done(&service, &AnalysisService::songFinished);
    const auto a = keyOf("/m/a.mp3");
    ASSERT_TRUE(table().gotoKey(a));
    table().edit();
    table().setFieldInteger("Beats", 50);
    EXPECT_TRUE(service.songLoaded(a));
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.held() == 1; }, 10000));
    EXPECT_EQ(table().state(), TableState::Edit) << "the arrival must not end the user's edit";
    table().post();
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.count() == 1; }, 10000));
    table().refresh();
    EXPECT_EQ(table().fieldAsString("Analyse"), "True");
    EXPECT_EQ(table().fieldAsInteger("Beats"), 50);
    EXPECT_FALSE(service.songLoaded(a)) << "an analysed song is not analysed again";
}

TEST_F(ServiceTest, AbbruchStopsTheLibraryButNotTheDecksSong) {
    fake.hold(true);
    AnalysisService service(table(), fake.fn(), 1);
    QSignalSpy finished(&service, &AnalysisService::libraryFinished);
    QSignalSpy done(&service, &AnalysisService::songFinished);
    const auto hold = keyOf("/m/hold.mp3");
    const auto b = keyOf("/m/b.mp3");
    service.songLoaded(hold); // the worker is stuck on the deck's song
    service.analyseLibrary();
    service.songLoaded(b); // jumps the library's queue
    service.cancelLibrary();
    EXPECT_FALSE(service.libraryBusy());
    fake.hold(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.count() == 2; }, 10000));
    QTest::qWait(50);
    EXPECT_EQ(done.count(), 2);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(fake.order, (std::vector<std::string>{"/m/hold.mp3", "/m/b.mp3"}));
}

TEST_F(ServiceTest, AFileThatFailedIsTriedAgainOnlyOnceItHasChanged) {
    const auto bad = dir.path() / "bad.mp3";
    test::writeFile(bad, std::vector<std::uint8_t>(100, 0x41));
    table().appendRecord(row(bad.string()));
    const auto key = *table().currentKey();
    AnalysisService service(table(), fake.fn(), 1);
    QSignalSpy finished(&service, &AnalysisService::libraryFinished);
    EXPECT_EQ(service.analyseLibrary(), 4);
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 10000));
    EXPECT_EQ(service.analyseLibrary(), 0); // the next scan
    EXPECT_FALSE(service.songLoaded(key));  // a deck's load
    test::writeFile(bad, std::vector<std::uint8_t>(200, 0x41));
    EXPECT_TRUE(service.songLoaded(key));
}
