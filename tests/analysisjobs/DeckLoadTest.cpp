// A deck that loads a library song not analysed yet has it analysed at once, in the background.
#include "scan/AnalysisService.h"
#include "tests/deck/DeckHarness.h"

#include <QSignalSpy>

#include <atomic>

using namespace mixora;

namespace {

class DeckLoadAnalysis : public test::DeckHarness {
protected:
    void SetUp() override {
        DeckHarness::SetUp();
        service = std::make_unique<AnalysisService>(
            data.Table1,
            [this](const std::string &path, const std::atomic<bool> *, std::string *) {
                analysedPaths.push_back(path); // one worker: no race
                analysis::Result r;
                r.bpm = 126.0;
                return std::optional<analysis::Result>(r);
            },
            1);
        window->Analysis = service.get();
    }
    void TearDown() override {
        window->Analysis = nullptr;
        service.reset();
        DeckHarness::TearDown();
    }

    std::unique_ptr<AnalysisService> service;
    std::vector<std::string> analysedPaths;
};

} // namespace

TEST_F(DeckLoadAnalysis, LoadingAnUnanalysedSongAnalysesItOnce) {
    const auto key = addSong("a.mp3", "Artist", "Title");
    select(key);
    QSignalSpy finished(service.get(), &AnalysisService::songFinished);
    links->load();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 10000));
    EXPECT_EQ(finished.first().at(0).toLongLong(), key);
    EXPECT_TRUE(finished.first().at(1).toBool());
    EXPECT_TRUE(service->store().unanalysed().empty());

    // Loaded again, on the other deck: analysed already, nothing more to do.
    select(key);
    rechts->load();
    QTest::qWait(30);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(analysedPaths.size(), 1u);
}
