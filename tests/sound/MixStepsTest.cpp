// The steps of a buffer's mix on their own: the resampler with its volume ramp, the notification
// crossings and the headphone copy's rate correction.
#include "engine/sound/MixSteps.h"
#include "engine/sound/Sound.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace mixora::sound;
using namespace mixora::sound::detail;

namespace {

struct Samples {
    std::unique_ptr<std::atomic<std::int16_t>[]> data;
    SampleSource source;
    Samples(std::int64_t frames, int channels, bool looping, int (*value)(std::int64_t frame, int channel))
        : data(new std::atomic<std::int16_t>[std::size_t(frames * channels)]) {
        for (std::int64_t f = 0; f < frames; ++f)
            for (int c = 0; c < channels; ++c)
                data[std::size_t(f * channels + c)].store(std::int16_t(value(f, c)));
        source = SampleSource{data.get(), frames, channels, looping};
    }
};

TEST(ResampleAdd, VolumeMovesFromStartToEndOverTheRampThenHolds) {
    Samples s(4096, 2, true, [](std::int64_t, int) { return 10000; });
    std::vector<float> acc(2 * 2048, 0.0f);
    auto end = resampleAdd(s.source, 0, kFixedOne, 1.0f, 0.0f, acc.data(), 2048);
    EXPECT_EQ(end.pos, 2048 * kFixedOne);
    EXPECT_FALSE(end.stopped);
    EXPECT_GT(acc[0], 9900.0f); // the first frame already moves towards the end volume
    EXPECT_LT(acc[0], 10000.0f);
    for (std::size_t i = 1; i < kMaxRampFrames; ++i)
        ASSERT_LT(acc[2 * i], acc[2 * (i - 1)]) << "frame " << i;
    for (std::size_t i = kMaxRampFrames - 1; i < 2048; ++i)
        ASSERT_EQ(acc[2 * i], 0.0f) << "frame " << i;

    // Equal volumes: no ramp; the span adds onto what is there.
    auto again = resampleAdd(s.source, 0, kFixedOne, 0.5f, 0.5f, acc.data(), 2048);
    EXPECT_EQ(again.pos, end.pos);
    EXPECT_EQ(acc[2 * 1500], 5000.0f);
    EXPECT_EQ(acc[2 * 2047 + 1], 5000.0f);
}

TEST(ResampleAdd, InterpolatesALineExactlyAndWrapsAroundTheLoopPoint) {
    // A mono ramp that wraps from 990 to 0: at half steps the cubic lands midway between neighbours,
    // on both sides; across the loop point it reads the start again.
    Samples s(100, 1, true, [](std::int64_t f, int) { return int(f * 10); });
    std::vector<float> acc(2 * 120, 0.0f);
    auto end = resampleAdd(s.source, 10 * kFixedOne + kFixedOne / 2, kFixedOne, 1.0f, 1.0f, acc.data(), 120);
    EXPECT_FLOAT_EQ(acc[0], 105.0f);
    EXPECT_FLOAT_EQ(acc[1], 105.0f);
    EXPECT_FLOAT_EQ(acc[2 * 50], 605.0f);
    EXPECT_FLOAT_EQ(acc[2 * 91], 15.0f); // frame 101.5 is 1.5 of the next loop
    EXPECT_EQ(end.wraps, 1u);
    EXPECT_EQ(end.pos, 30 * kFixedOne + kFixedOne / 2);
}

TEST(ResampleAdd, ABufferThatDoesNotLoopStopsAtItsEndAndLeavesTheRestUntouched) {
    Samples s(100, 2, false, [](std::int64_t, int c) { return c ? -300 : 300; });
    std::vector<float> acc(2 * 64, 7.0f);
    auto end = resampleAdd(s.source, 80 * kFixedOne, 2 * kFixedOne, 1.0f, 1.0f, acc.data(), 64);
    EXPECT_TRUE(end.stopped);
    EXPECT_EQ(end.pos, 0u);
    EXPECT_EQ(acc[0], 307.0f);
    EXPECT_EQ(acc[1], -293.0f);
    EXPECT_EQ(acc[2 * 9], 307.0f); // frame 98: the last one read
    for (std::size_t i = 2 * 10; i < acc.size(); ++i)
        ASSERT_EQ(acc[i], 7.0f) << "sample " << i;
}

TEST(CursorTravel, NamesTheOffsetsTheCursorWentOver) {
    const CursorTravel forward{100, 200, 0, false};
    EXPECT_TRUE(forward.passed(100));
    EXPECT_TRUE(forward.passed(199));
    EXPECT_FALSE(forward.passed(200)); // the cursor stands on it: next period
    EXPECT_FALSE(forward.passed(99));

    const CursorTravel wrapped{900, 50, 1, false};
    EXPECT_TRUE(wrapped.passed(900));
    EXPECT_TRUE(wrapped.passed(0));
    EXPECT_TRUE(wrapped.passed(49));
    EXPECT_FALSE(wrapped.passed(500));

    EXPECT_TRUE((CursorTravel{900, 950, 2, false}.passed(500))); // twice round: everything

    const CursorTravel stopped{900, 0, 0, true};
    EXPECT_TRUE(stopped.passed(999));
    EXPECT_FALSE(stopped.passed(10));
}

TEST(SlaveFollower, JumpsToStartThenPullsGentlyTheShortWayRound) {
    constexpr double kLength = 11520, kRate = 44100;
    SlaveFollower follower;
    EXPECT_FALSE(follower.step(1000, 0, kLength, kRate, 0, 512)) << "the first period jumps";
    // Master ahead by a few frames: speed up, but within the limit.
    auto ahead = follower.step(1010, 1000, kLength, kRate, 0, 512);
    ASSERT_TRUE(ahead);
    EXPECT_GT(*ahead, 0.0);
    EXPECT_LE(*ahead, kMaxSlaveCorrection);
    // Master just past the loop point, slave just before it: the master is ahead, not a buffer behind.
    auto acrossLoop = follower.step(5, kLength - 5, kLength, kRate, 0, 512);
    ASSERT_TRUE(acrossLoop);
    EXPECT_GT(*acrossLoop, 0.0);

    // A slave far ahead (within the jump limit) saturates at the slowest correction.
    double c = 0;
    for (int i = 0; i < 200; ++i)
        c = follower.step(1000, 1000 + 2000, kLength, kRate, 0, 512).value_or(1);
    EXPECT_EQ(c, -kMaxSlaveCorrection);

    EXPECT_FALSE(follower.step(1000, 1000, kLength, kRate, 1, 512)) << "a seek on the master jumps";
    EXPECT_FALSE(follower.step(1000, 4000, kLength, kRate, 1, 512)) << "beyond 50 ms jumps";
    follower.restart();
    EXPECT_FALSE(follower.step(1000, 1000, kLength, kRate, 1, 512)) << "a restart jumps";
}

} // namespace
