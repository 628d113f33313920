// The headphone buffer on a second sound card whose clock runs 1,000 ppm fast: slaved to the main
// buffer it must stay a clean copy with a constant delay over ten minutes.
#include "tests/sound/SoundTestUtil.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace mixora::sound;
using mixora::sound::testing::makeBuffer;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::uint32_t kFrames = 11025; // one cycle of the left tone per buffer: 4 Hz
constexpr double kAmpL = 16000, kAmpR = 8000;

int content(std::uint32_t f, int c) {
    double x = 2 * kPi * f / kFrames;
    return int(std::lround(c == 0 ? kAmpL * std::sin(x) : kAmpR * std::sin(7 * x)));
}

// Times (in simulated seconds) of rising zero crossings of the left channel.
struct CrossingFinder {
    double rate;
    std::uint64_t frame = 0;
    int previous = 0;
    bool any = false;
    std::vector<double> times;
    void feed(const std::vector<std::int16_t> &out) {
        for (std::size_t i = 0; i < out.size() / 2; ++i, ++frame) {
            int v = out[2 * i];
            if (any && previous < 0 && v >= 0)
                times.push_back((double(frame) - 1 + double(-previous) / double(v - previous)) / rate);
            previous = v;
            any = true;
        }
    }
};

struct DriftRun {
    double delaySpread = 0;
    double worstStep = 0;
    double finalCorrection = 0;
    double meanDelay = 0;
};

DriftRun play(bool slaved, int seconds) {
    auto main = Device::createManual("main");
    auto head = Device::createManual("head");
    auto mainBuffer = makeBuffer(*main, 44100, 2, kFrames, content);
    auto headBuffer = makeBuffer(*head, 44100, 2, kFrames, content);
    if (slaved) {
        EXPECT_TRUE(headBuffer->slaveTo(mainBuffer.get()));
    }
    mainBuffer->play(true);
    headBuffer->play(true);

    const double headRate = 44100 * 1.001;
    CrossingFinder mainX{44100, 0, 0, false, {}}, headX{headRate, 0, 0, false, {}};
    DriftRun run;
    int lastL = 0, lastR = 0;
    bool first = true;
    std::uint64_t headFrames = 0;
    for (int tick = 0; tick < seconds * 100; ++tick) { // 10 ms steps of simulated time
        mainX.feed(main->render(441));
        std::uint64_t due = std::uint64_t(std::floor((tick + 1) * headRate / 100));
        auto out = head->render(due - headFrames);
        headFrames = due;
        for (std::size_t i = 0; i < out.size() / 2; ++i) {
            if (!first) {
                run.worstStep = std::max(run.worstStep, std::fabs(double(out[2 * i] - lastL)) / kAmpL);
                run.worstStep =
                    std::max(run.worstStep, std::fabs(double(out[2 * i + 1] - lastR)) / (7 * kAmpR));
            }
            lastL = out[2 * i];
            lastR = out[2 * i + 1];
            first = false;
        }
        headX.feed(out);
    }
    // Delay of each head crossing behind the nearest main crossing, after a settling time of 30 s.
    double lo = 1e9, hi = -1e9, sum = 0;
    int n = 0;
    std::size_t m = 0;
    const double period = double(kFrames) / 44100;
    for (double t : headX.times) {
        if (t < 30)
            continue;
        while (m + 1 < mainX.times.size() && mainX.times[m + 1] <= t + period / 2)
            ++m;
        double d = t - mainX.times[m];
        if (d > period / 2)
            d -= period;
        lo = std::min(lo, d);
        hi = std::max(hi, d);
        sum += d;
        ++n;
    }
    run.delaySpread = hi - lo;
    run.meanDelay = n ? sum / n : 0;
    run.finalCorrection = headBuffer->slaveCorrection();
    return run;
}

TEST(SlaveDrift, HeadphoneCopyStaysCleanWithConstantDelayOverTenMinutes) {
    DriftRun run = play(true, 600);
    // Largest step per frame relative to each tone's steepest slope per radian (2π/11025 rad per frame).
    double cleanStep = 2 * kPi / kFrames * (1 + kMaxSlaveCorrection);
    EXPECT_LT(run.worstStep, cleanStep * 1.05 + 2.0 / 8000) << "a discontinuity in the headphone copy";
    EXPECT_LT(run.delaySpread, 0.003) << "delay wandered by " << run.delaySpread * 1000 << " ms";
    EXPECT_LT(std::fabs(run.meanDelay), 0.02);
    // The fast card is slowed down by its drift, not by more.
    EXPECT_NEAR(run.finalCorrection, -0.001, 0.0002);
}

TEST(SlaveDrift, WithoutSlavingTheDelayRunsAway) {
    // The same setup free-running: shows the test can fail (1 ms of drift per second).
    DriftRun run = play(false, 60);
    EXPECT_GT(run.delaySpread, 0.02);
    EXPECT_EQ(run.finalCorrection, 0.0);
}

TEST(SlaveDrift, MasterJumpIsFollowedAtOnceAndMismatchedBuffersAreRefused) {
    auto main = Device::createManual("main");
    auto head = Device::createManual("head");
    auto ramp = [](std::uint32_t f, int) { return int(f % 30000); };
    auto mainBuffer = makeBuffer(*main, 44100, 2, 20000, ramp);
    auto headBuffer = makeBuffer(*head, 44100, 2, 20000, ramp);
    auto other = makeBuffer(*head, 44100, 1, 20000, ramp);
    EXPECT_FALSE(other->slaveTo(mainBuffer.get()));
    EXPECT_FALSE(headBuffer->slaveTo(headBuffer.get()));
    ASSERT_TRUE(headBuffer->slaveTo(mainBuffer.get()));
    mainBuffer->play(true);
    headBuffer->play(true);
    main->render(512);
    head->render(512);
    mainBuffer->setCursor(10000 * 4); // a cue on the master
    main->render(512);
    auto out = head->render(512);
    EXPECT_NEAR(out[0], 10512, 1); // the slave follows the jump within one period
    mainBuffer.reset();            // a master may go first; the slave runs on freely
    out = head->render(512);
    EXPECT_NEAR(out[2 * 511], 10512 + 1023, 2);
    EXPECT_TRUE(headBuffer->slaveTo(nullptr));
    EXPECT_EQ(headBuffer->slaveCorrection(), 0.0);
}

} // namespace
