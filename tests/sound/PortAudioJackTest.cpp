// A real PortAudio stream: the JACK server the test command starts with its dummy driver.
#include "engine/DSBasicObject.h"
#include "tests/sound/SoundTestUtil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

using namespace mixora::sound;
using namespace std::chrono_literals;

namespace {

TEST(PortAudioJack, BufferPlaysThroughDSBasicObjectWithNotificationsInRealTime) {
    const char *jack = std::getenv("MIXORA_JACK");
    if (!jack || std::string_view(jack) != "1")
        GTEST_SKIP() << "MIXORA_JACK=1 is not set: no JACK server to play to (tools/test.sh starts one)";
    setProviderForTesting(nullptr);
    unsetenv("MIXORA_SOUND");

    std::optional<Guid> system;
    for (const auto &info : enumerateDevices())
        if (info.module.find("JACK") != std::string::npos && info.stableName.ends_with("/system"))
            system = info.guid;
    ASSERT_TRUE(system) << "PortAudio lists no JACK output \"system\"";

    mixora::DSBasicObject output(*system);
    ASSERT_EQ(output.device->backend(), Backend::PortAudio);
    // The deck's geometry: ten frames of 1152 samples, notifications at the half and the last byte.
    auto buffer =
        mixora::sound::testing::makeBuffer(*output.device, 44100, 2, 11520, [](std::uint32_t f, int) {
            return int(std::lround(8000 * std::sin(2 * 3.14159265358979 * 440 * f / 44100)));
        });
    auto half = std::make_shared<Event>();
    auto end = std::make_shared<Event>();
    ASSERT_TRUE(buffer->setNotifications({{46080 / 2, half}, {46080 - 1, end}}));
    auto started = std::chrono::steady_clock::now();
    buffer->play(true);
    int previous = -1;
    for (int i = 0; i < 16; ++i) {
        int w = waitAny(*half, *end, 5s);
        ASSERT_NE(w, kWaitTimeout) << "notification " << i << " did not arrive";
        EXPECT_NE(w, previous) << "half and end must alternate";
        previous = w;
    }
    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    buffer->stop();
    // Sixteen notifications are 15 to 16 halves of 0.13 s: real-time pace, generous margins.
    EXPECT_GT(elapsed, 0.5 * 15 * 0.1306);
    EXPECT_LT(elapsed, 6.0 * 16 * 0.1306);
    EXPECT_GT(output.device->framesRendered(), 44100u);
}

} // namespace
