// Press to sound for jumps and loops on a deck playing in real time (a null device with 512-frame
// periods): the window thread's JumpTo / SetLoop call (the rewrite with its decoding), and for a jump
// the time until the first period with the new audio is mixed. The new audio is mixed from the period
// after the call on, so press to first new sample is at most the call plus one period (11.6 ms).
#include "engine/DoublePlayer.h"
#include "tests/support/Fixtures.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

namespace {

using mixora::engine::DoublePlayer;
namespace sound = mixora::sound;
namespace test = mixora::test;
using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void report(const char *what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%-34s n=%zu median %.2f ms  worst %.2f ms\n", what, v.size(), v[v.size() / 2], v.back());
}

} // namespace

int main() {
    test::TempDir dir;
    std::filesystem::path file = dir / "deck.mp3";
    const auto corpus = test::corpusDir();
    if (!corpus.empty() && std::filesystem::exists(corpus / "MIPSTest.mp3"))
        file = corpus / "MIPSTest.mp3";
    else
        test::writeMp3(file, {.seconds = 20.0});

    constexpr std::size_t kPeriod = 512;
    auto device = sound::Device::createNull("Null", kPeriod);
    DoublePlayer player(device.get(), nullptr);
    if (player.Open(file.string()) != DoublePlayer::kOpenReady) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(), player.openError().c_str());
        return 1;
    }
    player.SetVolume(0);
    player.Play();
    const double rate = player.SampleRate();
    std::mt19937 rng(7);
    const double seconds = std::max(3, player.inside().reader->durationSeconds.load());
    std::uniform_real_distribution<double> place(rate, (seconds - 2) * rate);

    std::vector<double> jumpCall, jumpHeard, loopCall;
    for (int trial = 0; trial < 200; ++trial) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + trial % 7));
        const double target = place(rng);
        const std::uint64_t before = player.Clock()->deviceFrame;
        const auto t0 = Clock::now();
        if (!player.JumpTo(target))
            continue;
        jumpCall.push_back(ms(Clock::now() - t0));
        // The mix publishes the clock with each period; the first period mixed after the call plays
        // the new audio from its first frame on (a null device mixes a period at its start).
        for (;;) {
            const auto c = player.Clock();
            if (c->deviceFrame > before && c->sourceFrame >= target) {
                jumpHeard.push_back(ms(Clock::now() - t0));
                break;
            }
            if (ms(Clock::now() - t0) > 500)
                break;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }

        // A beat loop (120 BPM) that began a little behind the play position: its first wrap lies
        // in the audio the call rewrites.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const double now = player.Clock()->sourceFrame;
        const auto t1 = Clock::now();
        player.SetLoop(now - 0.3 * rate, 0.5 * rate);
        loopCall.push_back(ms(Clock::now() - t1));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        player.ClearLoop();
    }
    std::printf("periods of %zu frames (%.1f ms), file %s\n", kPeriod, 1000.0 * kPeriod / sound::kDeviceRate,
                file.filename().c_str());
    report("JumpTo call", jumpCall);
    report("JumpTo press to new period mixed", jumpHeard);
    std::printf("  (a null device mixes 4 periods per wake-up: the last line holds its batching too)\n");
    std::printf("press to first new sample on a card: at most the call + one period\n");
    report("SetLoop call (wrap inside)", loopCall);
    std::printf("underflows: %llu\n", static_cast<unsigned long long>(device->underflows()));
    return 0;
}
