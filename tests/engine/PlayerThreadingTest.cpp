// Random transport operations from two threads while a third renders the devices and the worker
// refills: no data race (run under ThreadSanitizer), no deadlock, destruction returns.
#include "engine/DoublePlayer.h"
#include "tests/engine/EngineTestUtil.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <random>
#include <thread>

namespace {

using mixora::engine::DoublePlayer;
using mixora::engine::testing::RecordingView;
namespace sound = mixora::sound;
namespace test = mixora::test;

void randomOperations(DoublePlayer &p, std::uint32_t seed, int count) {
    std::mt19937 rng(seed);
    const std::int32_t size = p.inside().reader->inputSize;
    const std::int32_t half = p.inside().reader->bufferBytes / 2;
    for (int i = 0; i < count; ++i) {
        switch (rng() % 12) {
        case 0:
            p.Play();
            break;
        case 1:
            p.Stop();
            break;
        case 2:
            p.Seek(static_cast<std::int32_t>(rng() % static_cast<std::uint32_t>(size + 1000)));
            break;
        case 3:
            p.SetPitch(static_cast<int>(rng() % 601) - 300);
            break;
        case 4:
            p.SetVolume(-static_cast<int>(rng() % 10001));
            p.SetHeadVolume(-static_cast<int>(rng() % 10001));
            break;
        case 5:
            p.SuspendWorker();
            break;
        case 6:
            p.ResumeWorker();
            break;
        case 7:
            p.FormatTime(static_cast<std::int32_t>(rng() % 2), rng() % 2 ? p.inside().reader->bufferTime : 0);
            break;
        case 8:
            p.FillBuffer(rng() % 2 ? half : 0);
            break;
        case 9:
            p.Rewind();
            break;
        case 10:
            p.inside().timeMode = 1 - p.inside().timeMode;
            break;
        default:
            if (p.inside().nearEnd)
                p.inside().nearEnd = 0;
            break;
        }
        if (rng() % 8 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
    }
}

TEST(DoublePlayerThreads, ThousandRandomOperationsFromTwoThreadsWhileTheDevicesRun) {
    test::TempDir dir;
    const auto file = dir / "short.mp3";
    // Short, so that the end of the input is met again and again.
    test::writeMp3(file, {.seconds = 1.5});
    auto main = sound::Device::createManual("Aux");
    auto head = sound::Device::createManual("Head");
    RecordingView view;
    auto player = std::make_unique<DoublePlayer>(main.get(), head.get());
    player->inside().view = &view;
    ASSERT_EQ(player->Open(file.string()), DoublePlayer::kOpenReady);
    player->SetVolume(0);
    player->Play();

    std::atomic<bool> stop{false};
    std::thread devices([&] {
        while (!stop) {
            head->render(256);
            main->render(256);
            std::this_thread::yield();
        }
    });
    std::thread second([&] { randomOperations(*player, 2, 500); });
    randomOperations(*player, 1, 500);
    second.join();

    // Once suspended (a refill under way has completed), both buffers hold the same bytes.
    player->SuspendWorker();
    const auto bytes = static_cast<std::uint32_t>(player->inside().reader->bufferBytes);
    EXPECT_EQ(player->inside().mainBuffer->read(0, bytes), player->inside().headBuffer->read(0, bytes));
    player->Play();

    auto destroyed = std::async(std::launch::async, [&] { player.reset(); });
    if (destroyed.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "destruction did not return";
        std::quick_exit(1);
    }
    stop = true;
    devices.join();
    EXPECT_GT(main->framesRendered(), 0u);
}

// A long file, so that its index is still being built while the deck seeks, refills and is
// destroyed: seeks ahead of the index, corrections, and the indexer's cancellation.
TEST(DoublePlayerThreads, OperationsAndDestructionWhileTheIndexIsBuilt) {
    test::TempDir dir;
    const auto file = dir / "long.mp3";
    const auto part = test::makeMp3({.seconds = 30.0, .writeInfoTag = false});
    for (int i = 0; i < 40; ++i)
        test::appendFile(file, part);
    auto main = sound::Device::createManual("Aux");
    std::atomic<bool> stop{false};
    std::thread device([&] {
        while (!stop) {
            main->render(256);
            std::this_thread::yield();
        }
    });
    for (std::uint32_t round = 0; round < 6; ++round) {
        RecordingView view;
        auto player = std::make_unique<DoublePlayer>(main.get(), nullptr);
        player->inside().view = &view;
        ASSERT_EQ(player->Open(file.string()), DoublePlayer::kOpenReady);
        player->Play();
        // Every other round ends before the index does.
        if (round % 2 == 0) {
            std::thread second([&] { randomOperations(*player, 100 + round, 100); });
            randomOperations(*player, 200 + round, 100);
            second.join();
        }
        auto destroyed = std::async(std::launch::async, [&] { player.reset(); });
        if (destroyed.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            ADD_FAILURE() << "destruction did not return";
            std::quick_exit(1);
        }
    }
    stop = true;
    device.join();
}

} // namespace
