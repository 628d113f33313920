// The exact samples a manual device produces: volume, frequency, resampling, looping, cursors and
// notifications of secondary buffers.
#include "tests/sound/SoundTestUtil.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace mixora::sound;
using mixora::sound::testing::makeBuffer;

namespace {

constexpr double kPi = 3.14159265358979323846;

int left(const std::vector<std::int16_t> &out, std::size_t frame) {
    return out[2 * frame];
}
int right(const std::vector<std::int16_t> &out, std::size_t frame) {
    return out[2 * frame + 1];
}

TEST(MixVolume, AttenuationScalesConstantSignalExactly) {
    auto device = Device::createManual();
    auto buffer = makeBuffer(*device, 44100, 2, 4096, [](auto, int c) { return c == 0 ? 10000 : -20000; });
    buffer->setVolume(-600); // gain 10^(-0.3)
    buffer->play(true);
    auto out = device->render(1000);
    for (std::size_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(left(out, i), 5012) << "frame " << i; // 10000 × 0.501187
        ASSERT_EQ(right(out, i), -10024) << "frame " << i;
    }
}

TEST(MixVolume, SilenceFullScaleAndClamping) {
    auto device = Device::createManual();
    auto buffer = makeBuffer(*device, 44100, 2, 1024, [](auto, int) { return 12345; });
    buffer->play(true);
    buffer->setVolume(kSilenceHundredthsDb);
    for (auto s : device->render(512))
        ASSERT_EQ(s, 0);
    buffer->setVolume(-20000); // beyond silence: clamped
    EXPECT_EQ(buffer->volume(), kSilenceHundredthsDb);
    buffer->setVolume(500); // louder than full: clamped to 0
    EXPECT_EQ(buffer->volume(), 0);
    device->render(512); // the ramp period
    for (auto s : device->render(512))
        ASSERT_EQ(s, 12345);
}

TEST(MixVolume, ChangeWhilePlayingRampsAcrossOnePeriodWithoutJump) {
    auto device = Device::createManual();
    auto buffer = makeBuffer(*device, 44100, 2, 4096, [](auto, int) { return 20000; });
    buffer->play(true);
    device->render(256);
    buffer->setVolume(kSilenceHundredthsDb);
    auto ramp = device->render(512);
    // The period fades from full to silence: monotonic, small steps, ends at 0.
    int previous = 20000;
    for (std::size_t i = 0; i < 512; ++i) {
        int v = left(ramp, i);
        ASSERT_LE(v, previous);
        ASSERT_LE(previous - v, 20000 / 512 + 2) << "click at frame " << i;
        previous = v;
    }
    EXPECT_EQ(left(ramp, 511), 0);
    for (auto s : device->render(256))
        ASSERT_EQ(s, 0);
}

TEST(MixVolume, BuffersSumAndAreHeldUnderTheLimitersCeiling) {
    auto device = Device::createManual();
    auto a = makeBuffer(*device, 44100, 2, 1024, [](auto, int c) { return c == 0 ? 30000 : -30000; });
    auto b = makeBuffer(*device, 44100, 2, 1024, [](auto, int c) { return c == 0 ? 30000 : -30000; });
    auto c = makeBuffer(*device, 44100, 1, 1024, [](auto, int) { return 100; });
    a->play(true);
    b->play(true);
    auto out = device->render(64);
    EXPECT_EQ(left(out, 10), 31654); // −0.3 dBFS, where the sum would clip
    EXPECT_EQ(right(out, 10), -31654);
    b->stop();
    c->play(true);         // mono lands on both sides
    device->render(44100); // the limiter lets go
    out = device->render(64);
    EXPECT_EQ(left(out, 10), 30100);
    EXPECT_EQ(right(out, 10), -29900);
}

TEST(MixFrequency, FrequencyGivesExpectedSampleAdvance) {
    // Linear data: the cubic interpolation reproduces it exactly, so output frame k shows the source
    // position k × frequency / 44100. (The deck player's pitch-to-frequency mapping is checked
    // against the real player in its own tests.)
    for (std::uint32_t hz : {44100u, 52900u, 35300u, 48500u}) {
        auto device = Device::createManual();
        auto buffer = makeBuffer(*device, 44100, 2, 20000,
                                 [](std::uint32_t f, int ch) { return ch ? -int(f) : int(f); });
        buffer->setFrequency(hz);
        EXPECT_EQ(buffer->frequency(), hz);
        buffer->play(false);
        auto out = device->render(10000);
        for (std::size_t k = 0; k < 10000; k += 37) {
            double expected = double(k) * hz / 44100.0;
            ASSERT_NEAR(left(out, k), expected, 1.0) << hz << " Hz, frame " << k;
            ASSERT_NEAR(right(out, k), -expected, 1.0);
        }
        std::uint32_t expectedFrame = std::uint32_t(10000.0 * hz / 44100.0);
        EXPECT_NEAR(double(buffer->cursor()), expectedFrame * 4.0, 4.0) << hz << " Hz";
    }
}

TEST(MixFrequency, ChangeTakesEffectAtTheNextPeriodAndZeroRestoresTheRate) {
    auto device = Device::createManual();
    auto buffer = makeBuffer(*device, 44100, 2, 20000, [](std::uint32_t f, int) { return int(f); });
    buffer->play(false);
    device->render(100);
    EXPECT_EQ(buffer->cursor(), 400u);
    buffer->setFrequency(88200);
    auto out = device->render(100);
    EXPECT_EQ(left(out, 0), 100);
    EXPECT_EQ(left(out, 1), 102);
    EXPECT_EQ(buffer->cursor(), 300u * 4);
    buffer->setFrequency(0);
    EXPECT_EQ(buffer->frequency(), 44100u);
    buffer->setFrequency(5);
    EXPECT_EQ(buffer->frequency(), kMinFrequencyHz);
    buffer->setFrequency(10000000);
    EXPECT_EQ(buffer->frequency(), kMaxFrequencyHz);
}

TEST(MixFrequency, MonoAt22050IsUpsampledToBothChannels) {
    auto device = Device::createManual();
    auto ramp = makeBuffer(*device, 22050, 1, 3000, [](std::uint32_t f, int) { return int(f) * 10; });
    ramp->play(false);
    auto out = device->render(2000);
    // From the second source frame on (before frame 0 a one-shot buffer is silence).
    EXPECT_EQ(left(out, 0), 0);
    for (std::size_t k = 2; k < 2000; ++k) {
        ASSERT_EQ(left(out, k), int(k) * 5) << k; // half a source frame per output frame
        ASSERT_EQ(right(out, k), left(out, k));
    }
    ramp->stop();

    // A 440 Hz tone at 22.05 kHz comes out as the same tone at 44.1 kHz, within interpolation error.
    auto tone = makeBuffer(*device, 22050, 1, 22050, [](std::uint32_t f, int) {
        return int(std::lround(10000 * std::sin(2 * kPi * 440 * f / 22050.0)));
    });
    tone->play(true);
    out = device->render(4410);
    double worst = 0;
    for (std::size_t k = 0; k < 4410; ++k)
        worst = std::max(worst, std::fabs(left(out, k) - 10000 * std::sin(2 * kPi * 440 * k / 44100.0)));
    EXPECT_LT(worst, 8.0); // linear interpolation would be off by about 20, nearest by hundreds
}

TEST(MixLooping, ContinuousAcrossTheLoopPointAtAnyFrequency) {
    // Three whole cycles per buffer, so the looped signal is an endless sine; a resampled loop must not
    // click where it wraps.
    const std::uint32_t frames = 3000;
    auto sine = [&](double pos) { return 12000 * std::sin(2 * kPi * 3 * pos / frames); };
    auto device = Device::createManual();
    auto buffer = makeBuffer(*device, 44100, 2, frames,
                             [&](std::uint32_t f, int) { return int(std::lround(sine(f))); });
    buffer->setFrequency(52900);
    buffer->play(true);
    auto out = device->render(30000); // about twelve wraps
    double step = 52900.0 / 44100.0;
    double worst = 0;
    for (std::size_t k = 0; k < 30000; ++k)
        worst = std::max(worst, std::fabs(left(out, k) - sine(std::fmod(k * step, frames))));
    EXPECT_LT(worst, 4.0);
    EXPECT_TRUE(buffer->playing());
}

TEST(MixLooping, OneShotStopsAtTheEndWithCursorAtZero) {
    auto device = Device::createManual();
    auto buffer = makeBuffer(*device, 44100, 2, 100, [](auto, int) { return 1000; });
    buffer->play(false);
    auto out = device->render(150);
    EXPECT_EQ(left(out, 99), 1000);
    EXPECT_EQ(left(out, 100), 0);
    EXPECT_EQ(left(out, 149), 0);
    EXPECT_FALSE(buffer->playing());
    EXPECT_EQ(buffer->cursor(), 0u);
}

TEST(MixCursor, SetAndGetInBytesAlignedToFrames) {
    auto device = Device::createManual();
    auto buffer = makeBuffer(*device, 44100, 2, 1000, [](std::uint32_t f, int) { return int(f); });
    buffer->setCursor(1000);
    EXPECT_EQ(buffer->cursor(), 1000u);
    buffer->setCursor(1003); // inside a frame: the frame's start
    EXPECT_EQ(buffer->cursor(), 1000u);
    buffer->setCursor(999999); // beyond the end: the last frame
    EXPECT_EQ(buffer->cursor(), 3996u);

    buffer->setCursor(2000);
    buffer->play(true);
    auto out = device->render(10);
    EXPECT_EQ(left(out, 0), 500); // playing starts at the set cursor
    EXPECT_EQ(buffer->cursor(), 2040u);
    buffer->stop();
    device->render(10);
    EXPECT_EQ(buffer->cursor(), 2040u); // stop keeps the cursor

    buffer->play(true);
    buffer->setCursor(0); // a jump while playing
    out = device->render(5);
    EXPECT_EQ(left(out, 0), 0);
    EXPECT_EQ(buffer->cursor(), 20u);
}

TEST(MixNotifications, SignalWhenTheCursorPassesTheirBytes) {
    // The deck's geometry: 46080 bytes, points at the half and at the last byte.
    auto device = Device::createManual();
    PcmFormat format{44100, 2, 16};
    auto buffer = device->createBuffer(format, 46080);
    auto half = std::make_shared<Event>();
    auto end = std::make_shared<Event>();
    ASSERT_TRUE(buffer->setNotifications({{46080 / 2, half}, {46080 - 1, end}}));
    buffer->play(true);

    // Frame 5760 holds byte 23040; frame 11519 holds byte 46079. Periods of 512 frames.
    int halfAt = -1, endAt = -1;
    for (int period = 0; period < 23; ++period) {
        device->render(512);
        if (half->isSet() && halfAt < 0)
            halfAt = period;
        if (end->isSet() && endAt < 0)
            endAt = period;
    }
    EXPECT_EQ(halfAt, 11); // frames 5632..6143
    EXPECT_EQ(endAt, 22);  // frames 11264..11775 (wraps)

    // Auto-reset: one wait consumes the signal.
    EXPECT_TRUE(half->wait(std::chrono::milliseconds(0)));
    EXPECT_FALSE(half->isSet());
    EXPECT_FALSE(half->wait(std::chrono::milliseconds(0)));
    EXPECT_EQ(waitAny(*half, *end, std::chrono::milliseconds(0)), 1);
    EXPECT_EQ(waitAny(*half, *end, std::chrono::milliseconds(0)), kWaitTimeout);

    // The second pass signals the half point again.
    for (int period = 0; period < 10; ++period) // from frame 256: the half point lies in the 11th
        device->render(512);
    EXPECT_FALSE(half->isSet());
    device->render(512);
    EXPECT_TRUE(half->isSet());
}

TEST(MixNotifications, StoppedBuffersStayQuietAndBadOffsetsAreRefused) {
    auto device = Device::createManual();
    auto buffer = device->createBuffer(PcmFormat{44100, 2, 16}, 4000);
    auto event = std::make_shared<Event>();
    EXPECT_FALSE(buffer->setNotifications({{4000, event}}));
    EXPECT_FALSE(buffer->setNotifications({{10, nullptr}}));
    ASSERT_TRUE(buffer->setNotifications({{0, event}}));
    device->render(2000);
    EXPECT_FALSE(event->isSet());
    buffer->play(true);
    device->render(1);
    EXPECT_TRUE(event->isSet()); // the cursor starts on byte 0
    ASSERT_TRUE(buffer->setNotifications({}));
    event->reset();
    device->render(2000);
    EXPECT_FALSE(event->isSet());
}

TEST(BufferData, WriteLockAndUnlockAcrossTheEnd) {
    auto device = Device::createManual();
    auto buffer = device->createBuffer(PcmFormat{44100, 2, 16}, 16);
    std::vector<std::uint8_t> ones(16, 1);
    ASSERT_TRUE(buffer->write(0, ones.data(), 16));

    LockedRange range;
    ASSERT_TRUE(buffer->lock(12, 8, range));
    ASSERT_EQ(range.firstBytes, 4u);
    ASSERT_EQ(range.secondBytes, 4u);
    EXPECT_EQ(range.first[0], 1); // a lock shows the current bytes
    LockedRange second;
    EXPECT_FALSE(buffer->lock(0, 4, second)); // one lock at a time
    for (std::uint32_t i = 0; i < 4; ++i) {
        range.first[i] = std::uint8_t(0x10 + i);
        range.second[i] = std::uint8_t(0x20 + i);
    }
    buffer->unlock(range);
    std::vector<std::uint8_t> expected = {0x20, 0x21, 0x22, 0x23, 1,    1,    1,    1,
                                          1,    1,    1,    1,    0x10, 0x11, 0x12, 0x13};
    EXPECT_EQ(buffer->read(0, 16), expected);

    // Odd offsets keep the neighbouring byte of a sample.
    std::uint8_t b = 0xAB;
    ASSERT_TRUE(buffer->write(5, &b, 1));
    auto bytes = buffer->read(4, 2);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[1], 0xAB);
    EXPECT_FALSE(buffer->write(0, expected.data(), 17));
    EXPECT_FALSE(buffer->lock(0, 17, range));
}

TEST(BufferData, UnsupportedFormatsAndLengthsAreRefused) {
    auto device = Device::createManual();
    EXPECT_THROW(device->createBuffer(PcmFormat{44100, 2, 8}, 400), SoundError);
    EXPECT_THROW(device->createBuffer(PcmFormat{44100, 3, 16}, 600), SoundError);
    EXPECT_THROW(device->createBuffer(PcmFormat{0, 2, 16}, 400), SoundError);
    EXPECT_THROW(device->createBuffer(PcmFormat{44100, 2, 16}, 402), SoundError);
    EXPECT_THROW(device->createBuffer(PcmFormat{44100, 2, 16}, 0), SoundError);
    EXPECT_NO_THROW(device->createBuffer(PcmFormat{22050, 1, 16}, 402));
}

TEST(Devices, RealTimeDevicesCannotBeRenderedAndOutlivedBuffersFallSilent) {
    auto null = Device::createNull("n");
    EXPECT_THROW(null->render(10), SoundError);
    auto device = Device::createManual();
    auto buffer = makeBuffer(*device, 44100, 2, 100, [](auto, int) { return 7; });
    buffer->play(true);
    EXPECT_EQ(device->render(4)[0], 7);
    buffer.reset();
    EXPECT_EQ(device->render(4)[0], 0);
    EXPECT_EQ(device->framesRendered(), 8u);
}

} // namespace
