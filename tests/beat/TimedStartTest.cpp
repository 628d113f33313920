// A buffer started at a device frame, and the clock that says where a buffer plays: what
// beat-aligned starts are built on, checked sample by sample on a manual device.
#include "engine/sound/Sound.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace mixora::sound {
namespace {

constexpr std::uint32_t kFrames = 8192;

// A stereo buffer whose frame k holds the value k + 1 on both sides, so an output sample tells
// which frame of the buffer it came from.
std::unique_ptr<Buffer> rampBuffer(Device &device) {
    auto buffer = device.createBuffer(PcmFormat{kDeviceRate, 2, 16}, kFrames * 4);
    std::vector<std::int16_t> samples(2 * kFrames);
    for (std::uint32_t k = 0; k < kFrames; ++k)
        samples[2 * k] = samples[2 * k + 1] = static_cast<std::int16_t>(k + 1);
    buffer->write(0, samples.data(), kFrames * 4);
    return buffer;
}

TEST(TimedStart, SoundsFromItsFrameAndALateStartJoinsWhereItWouldBe) {
    auto device = Device::createManual();
    auto buffer = rampBuffer(*device);
    device->render(100);
    buffer->playAt(device->framesRendered() + 300, true);
    const auto out = device->render(512);
    EXPECT_EQ(out[2 * 299], 0) << "not before its frame";
    EXPECT_EQ(out[2 * 300], 1) << "the buffer's first frame at the frame asked for";
    EXPECT_EQ(out[2 * 511], 212);

    // Asked for a frame the mix has already passed: it plays as if it had started then.
    buffer->stop();
    buffer->setCursor(0);
    device->render(64);
    buffer->playAt(device->framesRendered() - 40, true);
    EXPECT_EQ(device->render(16)[0], 41);

    // A stop forgets a start that has not come yet.
    buffer->stop();
    buffer->setCursor(0);
    buffer->playAt(device->framesRendered() + 10, true);
    buffer->stop();
    EXPECT_EQ(device->render(64)[2 * 20], 0);
}

TEST(TimedStart, TheClockTellsWhatTheNextFrameSounds) {
    auto device = Device::createManual();
    auto buffer = rampBuffer(*device);
    buffer->setFrequency(kDeviceRate / 2); // half speed: a frame of the buffer per two of the device
    buffer->play(true);
    device->render(333);
    const Buffer::Clock clock = buffer->clock();
    EXPECT_TRUE(clock.playing);
    EXPECT_EQ(clock.deviceFrame, device->framesRendered());
    EXPECT_DOUBLE_EQ(clock.step, 0.5);
    const auto out = device->render(2);
    // Whole positions sound as they are; a half position lies between two frames' values.
    EXPECT_NEAR(out[0], clock.position + 1, 1.0);
    EXPECT_NEAR(out[2], clock.position + 1.5, 1.0);
}

} // namespace
} // namespace mixora::sound
