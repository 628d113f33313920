// Two sound cards never share a clock. Ten simulated minutes with the headphone card running
// 1,000 ppm fast: the headphone copy stays clean (no jump into a half being rewritten) and its
// delay behind the main output stays constant within a few milliseconds.
#include "engine/DoublePlayer.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

using mixora::engine::DoublePlayer;
namespace sound = mixora::sound;
namespace test = mixora::test;

TEST(DoublePlayerDrift, HeadphoneCopyStaysCleanOverTenMinutesOfClockDrift) {
    test::TempDir dir;
    const auto file = dir / "long.mp3";
    constexpr double kMinutes = 10.0;
    test::writeMp3(file, {.sampleRate = 22050,
                          .channels = 1,
                          .seconds = kMinutes * 60 + 5,
                          .bitrateKbps = 64,
                          .frequencyHz = 441.0,
                          .amplitude = 0.25});
    auto main = sound::Device::createOffline("Aux");
    auto head = sound::Device::createManual("Head");
    auto player = std::make_unique<DoublePlayer>(main.get(), head.get());
    ASSERT_EQ(player->Open(file.string()), DoublePlayer::kOpenReady);
    player->SetVolume(0);
    player->SetHeadVolume(0);
    player->Play();

    const std::uint32_t bufferBytes = player->inside().mainBuffer->bytes();
    const double bytesPerMs = 22050 * 2 / 1000.0;
    constexpr std::size_t kPeriod = sound::Device::offlinePeriodFrames();
    constexpr double kHeadRatio = 1.001;
    const long seconds = static_cast<long>(kMinutes * 60);
    double headOwed = 0;
    std::vector<double> delaysMs;
    std::uint64_t mainFrames = 0;
    std::uint32_t headCursor = 0;
    double worstStepError = 0;
    bool headSounds = true;
    for (long s = 0; s < seconds; ++s) {
        bool soundThisSecond = false;
        while (mainFrames < static_cast<std::uint64_t>(s + 1) * 44100) {
            headOwed += kPeriod * kHeadRatio;
            const auto headFrames = static_cast<std::size_t>(headOwed);
            headOwed -= static_cast<double>(headFrames);
            const auto out = head->render(headFrames);
            soundThisSecond = soundThisSecond || std::any_of(out.begin(), out.end(), [](std::int16_t v) {
                                  return std::abs(v) > 4000;
                              });
            // The headphone cursor glides: each period moves it by the period at the corrected
            // rate, never by a jump that would skip or repeat audio.
            const std::uint32_t h = player->inside().headBuffer->cursor();
            const double moved = ((h + bufferBytes - headCursor) % bufferBytes) / 2.0;
            const double expected = headFrames * 0.5 * (1.0 + player->inside().headBuffer->slaveCorrection());
            if (s > 0)
                worstStepError = std::max(worstStepError, std::abs(moved - expected));
            headCursor = h;
            main->render(kPeriod);
            mainFrames += kPeriod;
        }
        headSounds = headSounds && soundThisSecond;
        const auto m = player->inside().mainBuffer->cursor();
        // Signed, within half a buffer either way.
        auto behind = static_cast<double>((m + bufferBytes - headCursor) % bufferBytes);
        if (behind > bufferBytes / 2.0)
            behind -= bufferBytes;
        if (s >= 5) // let the follower settle
            delaysMs.push_back(behind / bytesPerMs);
    }
    ASSERT_TRUE(player->inside().mainBuffer->playing());
    const auto [low, high] = std::minmax_element(delaysMs.begin(), delaysMs.end());
    EXPECT_LT(*high - *low, 3.0) << "delay wandered from " << *low << " ms to " << *high << " ms";
    // Far from the half being rewritten, which lies a quarter of the buffer (65 ms) away and more.
    EXPECT_LT(std::max(std::abs(*high), std::abs(*low)), 10.0);
    EXPECT_LE(worstStepError, 2.0);
    EXPECT_TRUE(headSounds);
    // The drift is taken up by the rate, not by jumps.
    EXPECT_NEAR(player->inside().headBuffer->slaveCorrection(), -0.001, 0.0002);
    player.reset();
}

} // namespace
