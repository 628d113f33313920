// The beat grid arithmetic behind quantize, loops, jumps and the DJ's grid corrections, checked
// by what a DJ relies on rather than by its formulas.
#include "engine/GridMath.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace mixora::engine;

namespace {

constexpr std::int32_t kRate = 44100;

// How far a stream sample is from the nearest line of the grid, in beats.
double offBeat(const BeatGrid &grid, double sample) {
    const double beats = beatNumberAt(grid, kRate, sample);
    return std::abs(beats - std::round(beats));
}

} // namespace

TEST(GridMath, TapTempoNeedsFourTapsAndStartsOverAfterAPause) {
    TapTempo tap;
    // Slightly uneven taps at 125 BPM (0.48 s): the fit lands near it, not on the last gap.
    const double jitter[] = {0.0, 0.012, -0.009, 0.006, -0.011, 0.004};
    for (int i = 0; i < 6; ++i) {
        tap.tap(100.0 + i * 0.48 + jitter[i]);
        if (i < 3) {
            EXPECT_FALSE(tap.bpm()) << i + 1 << " taps";
        }
    }
    ASSERT_TRUE(tap.bpm());
    EXPECT_NEAR(*tap.bpm(), 125.0, 1.0);

    // After more than two seconds the old taps count no longer: 90 BPM from four new ones.
    const double restart = 100.0 + 5 * 0.48 + 2.5;
    for (int i = 0; i < 3; ++i)
        tap.tap(restart + i * (60.0 / 90.0));
    EXPECT_FALSE(tap.bpm());
    tap.tap(restart + 3 * (60.0 / 90.0));
    ASSERT_TRUE(tap.bpm());
    EXPECT_NEAR(*tap.bpm(), 90.0, 1e-6);
}

TEST(GridMath, AbsurdTemposAreRefusedAndTheGridKept) {
    const BeatGrid grid{128.0, 0.2};
    EXPECT_FALSE(halveTempo({50.0, 0.2}));
    EXPECT_FALSE(doubleTempo({160.0, 0.2}));
    EXPECT_FALSE(withTempo(grid, 29.99));
    EXPECT_FALSE(withTempo(grid, 300.01));
    EXPECT_FALSE(withTempo(grid, std::nan("")));
    EXPECT_TRUE(withTempo(grid, 30.0));
    EXPECT_TRUE(withTempo(grid, 300.0));
    EXPECT_FALSE(shiftGrid({0.0, 0.2}, 10.0)); // no tempo: nothing to shift
    const auto halved = halveTempo(grid);
    ASSERT_TRUE(halved);
    EXPECT_EQ(halved->firstBeatSeconds, grid.firstBeatSeconds);
    // Every line of the halved grid is a line of the old one.
    for (int k = -3; k < 50; ++k)
        EXPECT_LT(offBeat(grid, beatLineSample(*halved, kRate, k)), 1e-9) << k;
}

TEST(GridMath, JumpsKeepThePhaseAndTheBeatLandsWhereItIsSet) {
    // A tempo whose beat is no whole number of samples, first beat inside a sample.
    const BeatGrid grid{127.93, 0.3177};
    const double beat = beatSamples(grid, kRate);
    for (const double position : {13.0, 200000.4, 1234567.89, 9e6 + 0.5}) {
        for (const double cue : {0.0, 44100.0, nearestBeatSample(grid, kRate, 3e6), 5555555.5}) {
            const double target = phaseKeepingCueTarget(grid, kRate, position, cue);
            const double jumped = (target - position) / beat;
            EXPECT_NEAR(jumped, std::round(jumped), 1e-9) << position << " → " << cue;
            EXPECT_GE(target, 0.0);
            // Within half a beat of the cue, unless that point lies before the stream's start.
            if (std::abs(target - cue) > beat / 2 + 1e-6) {
                EXPECT_LT(target - beat, 0.0) << position << " → " << cue;
            }
        }
        EXPECT_NEAR(offBeat(grid, beatJumpTarget(grid, kRate, position, -16)), offBeat(grid, position), 1e-9);
    }
    // The stream's start is no grid line here; the nearest line before it is never offered.
    const BeatGrid late{120.0, 0.49};
    EXPECT_NEAR(nearestBeatSample(late, kRate, 0.0), 0.49 * kRate, 1e-6);

    // Set the beat here: a line now lies on the spot and the tempo stays; also near the start,
    // where the first beat must not become negative.
    for (const double here : {1000.3, 654321.0, 3.0}) {
        const auto set = setBeatHere(grid, kRate, here);
        ASSERT_TRUE(set);
        EXPECT_EQ(set->bpm, grid.bpm);
        EXPECT_LT(offBeat(*set, here), 1e-9) << here;
        EXPECT_GE(set->firstBeatSeconds, 0.0);
    }
    // A shift earlier than the stream's start wraps the first beat by a beat.
    const auto early = shiftGrid({120.0, 0.004}, -10.0);
    ASSERT_TRUE(early);
    EXPECT_GE(early->firstBeatSeconds, 0.0);
    EXPECT_LT(offBeat(*early, (0.004 - 0.010 + 0.5) * kRate), 1e-9);
}
