// Analyses run side by side on a pool: they share no state.
#include "analysis/Analysis.h"
#include "tests/support/Fixtures.h"
#include "tests/support/SongSuite.h"

#include <gtest/gtest.h>

#include <thread>

namespace mixora::analysis {
namespace {

TEST(AnalysisThreads, ConcurrentAnalysesOfOneFileAgree) {
    test::TempDir dir;
    test::SongRecipe recipe;
    recipe.bpm = 128.0;
    recipe.seconds = 12;
    const auto file = dir / "song.mp3";
    test::writeFile(file, test::encodeSong(recipe).mp3);

    std::optional<Result> results[3];
    std::vector<std::thread> threads;
    for (auto &r : results)
        threads.emplace_back([&r, &file] { r = analyseFile(file.string(), Options{}); });
    for (auto &t : threads)
        t.join();
    for (const auto &r : results) {
        ASSERT_TRUE(r && r->bpm && r->loudnessLufs);
        EXPECT_EQ(*r->bpm, *results[0]->bpm);
        EXPECT_EQ(*r->loudnessLufs, *results[0]->loudnessLufs);
        EXPECT_EQ(r->audibleEndByte, results[0]->audibleEndByte);
        EXPECT_EQ(r->overview, results[0]->overview);
    }
    EXPECT_NEAR(*results[0]->bpm, recipe.bpm, 0.05);
}

} // namespace
} // namespace mixora::analysis
