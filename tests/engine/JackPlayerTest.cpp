// A deck player on a real output: PortAudio to the JACK server the test command starts with its
// dummy driver. Notifications must come at real-time pace and every one must be served.
#include "engine/DSBasicObject.h"
#include "engine/DoublePlayer.h"
#include "tests/engine/EngineTestUtil.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using mixora::engine::DoublePlayer;
using mixora::engine::testing::eventually;
using mixora::engine::testing::RecordingView;
namespace sound = mixora::sound;
namespace test = mixora::test;

TEST(DeckOnJack, RefillsKeepUpWithARealTimeDevice) {
    const char *jack = std::getenv("MIXORA_JACK");
    if (!jack || std::string_view(jack) != "1")
        GTEST_SKIP() << "MIXORA_JACK=1 is not set: no JACK server to play to (tools/test.sh starts one)";
    sound::setProviderForTesting(nullptr);
    ::unsetenv("MIXORA_SOUND");
    std::optional<sound::Guid> system;
    for (const auto &info : sound::enumerateDevices())
        if (info.guid && info.module.find("JACK") != std::string::npos &&
            info.stableName.ends_with("/system"))
            system = info.guid;
    ASSERT_TRUE(system) << "PortAudio lists no JACK output \"system\"";

    test::TempDir dir;
    const auto file = dir / "song.mp3";
    test::writeMp3(file, {.seconds = 10.0});
    mixora::DSBasicObject output(*system);
    ASSERT_EQ(output.device->backend(), sound::Backend::PortAudio);
    RecordingView view;
    auto player = std::make_unique<DoublePlayer>(output.device.get(), nullptr);
    player->inside().view = &view;
    ASSERT_EQ(player->Open(file.string()), DoublePlayer::kOpenReady);
    player->SetVolume(-2000);

    const auto framesBefore = output.device->framesRendered();
    const auto started = std::chrono::steady_clock::now();
    player->Play();
    constexpr std::uint64_t kRefills = 16;
    ASSERT_TRUE(
        eventually([&] { return player->inside().workerRefills >= kRefills; }, std::chrono::seconds(15)))
        << "only " << player->inside().workerRefills << " refills";
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const auto cursorTravel = output.device->framesRendered() - framesBefore;
    player->Stop();
    const auto refills = player->inside().workerRefills.load();

    // Sixteen halves of 0.13 s: real-time pace, with generous margins for a loaded machine.
    EXPECT_GT(elapsed, 0.5 * kRefills * 0.1306);
    EXPECT_LT(elapsed, 3.0 * (kRefills + 1) * 0.1306);
    // Every half the cursor crossed was refilled (one crossing may be in flight).
    const double halvesCrossed = static_cast<double>(cursorTravel) / 5760.0;
    EXPECT_NEAR(static_cast<double>(refills), halvesCrossed, 1.5);
    // And the reports followed the decoder through the file.
    view.read([&](const RecordingView &v) {
        EXPECT_TRUE(std::is_sorted(v.seekPositions.begin(), v.seekPositions.end()));
        EXPECT_GE(v.seekPositions.size(), kRefills);
        return 0;
    });
    player.reset();
}

} // namespace
