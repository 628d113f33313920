// The tempo and beat-grid accuracy on a generated suite of songs with known beats.
#include "tests/support/SongSuite.h"
#include "analysis/Analysis.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

namespace mixora::analysis {
namespace {

TEST(SongSuite, TempoAndFirstBeatMeetTheAccuracyRates) {
    test::TempDir dir;
    int steady = 0, withinTolerance = 0, sameFamily = 0, exactFactor = 0, firstBeatOk = 0;
    double worstBpmError = 0.0, worstBeatErrorMs = 0.0;
    for (const test::SongRecipe &recipe : test::songSuite()) {
        const test::EncodedSong song = test::encodeSong(recipe);
        const auto file = dir / (recipe.name + ".mp3");
        test::writeFile(file, song.mp3);
        std::string error;
        const auto result = analyseFile(file.string(), Options{}, nullptr, &error);
        ASSERT_TRUE(result) << recipe.name << ": " << error;
        if (!recipe.steadyBeat) {
            EXPECT_FALSE(result->bpm) << recipe.name << " got a tempo of " << *result->bpm;
            continue;
        }
        ++steady;
        if (!result->bpm) {
            std::printf("%-8s %7.2f BPM: no tempo\n", recipe.name.c_str(), recipe.bpm);
            continue;
        }
        const double bpm = *result->bpm;
        const double error1 = std::abs(bpm - recipe.bpm);
        const double ratio = bpm / recipe.bpm;
        const bool family =
            std::abs(ratio - 1) < 0.01 || std::abs(ratio - 2) < 0.02 || std::abs(ratio - 0.5) < 0.005;
        const bool exact = std::abs(ratio - 1) < 0.01;
        withinTolerance += error1 <= 0.05;
        sameFamily += family;
        exactFactor += exact;
        double beatErrorMs = 1e9;
        if (exact && result->firstBeatSeconds) {
            beatErrorMs =
                1000 * std::abs(*result->firstBeatSeconds - (recipe.firstBeatSeconds + song.delaySeconds));
            firstBeatOk += beatErrorMs <= 10.0;
            worstBeatErrorMs = std::max(worstBeatErrorMs, beatErrorMs);
            worstBpmError = std::max(worstBpmError, error1);
        }
        std::printf("%-8s %7.2f BPM -> %7.2f  beat %7.3f s -> %7.3f s (%6.1f ms)\n", recipe.name.c_str(),
                    recipe.bpm, bpm, recipe.firstBeatSeconds + song.delaySeconds,
                    result->firstBeatSeconds.value_or(-1), exact ? beatErrorMs : -1.0);
    }
    std::printf("%d songs: within 0.05 BPM %d, factor 1 %d, factor 1/2/0.5 %d, first beat within 10 ms %d; "
                "worst at factor 1: %.3f BPM, %.1f ms\n",
                steady, withinTolerance, exactFactor, sameFamily, firstBeatOk, worstBpmError,
                worstBeatErrorMs);
    ASSERT_GE(steady, 60);
    EXPECT_GE(withinTolerance, 0.95 * steady);
    EXPECT_EQ(sameFamily, steady);
    EXPECT_GE(exactFactor, 0.90 * steady);
    EXPECT_GE(firstBeatOk, 0.95 * steady);
}

} // namespace
} // namespace mixora::analysis
