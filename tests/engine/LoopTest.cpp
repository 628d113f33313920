// Jumps, loops and rolls of the deck player, measured on what the offline device puts out.
#include "engine/DoublePlayer.h"
#include "tests/engine/EngineTestUtil.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>
#include <lame/lame.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

namespace {

using mixora::engine::DoublePlayer;
using mixora::engine::testing::concat;
using mixora::engine::testing::referenceFrames;
namespace sound = mixora::sound;
namespace test = mixora::test;

constexpr int kRate = 44100;
constexpr std::size_t kPeriod = 512;

// 3 s of silence at 44.1 kHz with one narrow pulse at 0.5 s (both channels).
std::vector<std::uint8_t> clickMp3() {
    lame_global_flags *lame = lame_init();
    lame_set_in_samplerate(lame, kRate);
    lame_set_num_channels(lame, 2);
    lame_set_brate(lame, 192);
    lame_set_bWriteVbrTag(lame, 0);
    lame_init_params(lame);
    std::vector<short> pcm(3 * kRate, 0);
    for (int i = -8; i <= 8; ++i)
        pcm[static_cast<std::size_t>(kRate / 2 + i)] = static_cast<short>(26000 * std::exp(-i * i / 8.0));
    std::vector<unsigned char> buf(pcm.size() + 16384);
    int n = lame_encode_buffer(lame, pcm.data(), pcm.data(), static_cast<int>(pcm.size()), buf.data(),
                               static_cast<int>(buf.size()));
    n += lame_encode_flush(lame, buf.data() + n, static_cast<int>(buf.size()) - n);
    lame_close(lame);
    return {buf.begin(), buf.begin() + n};
}

struct LoopRig {
    explicit LoopRig(const std::vector<std::uint8_t> &mp3) {
        file = dir / "song.mp3";
        test::writeFile(file, mp3);
        init();
    }
    explicit LoopRig(const test::Mp3Options &options) {
        file = dir / "song.mp3";
        test::writeMp3(file, options);
        init();
    }
    void init() {
        const auto frames = referenceFrames(file);
        const auto bytes = concat(frames, 0, frames.size());
        reference.resize(bytes.size() / 2);
        std::memcpy(reference.data(), bytes.data(), bytes.size());
        main = sound::Device::createOffline("Aux");
        player = std::make_unique<DoublePlayer>(main.get(), nullptr);
        EXPECT_EQ(player->Open(file.string()), DoublePlayer::kOpenReady);
        player->SetVolume(0);
    }
    ~LoopRig() { player.reset(); }
    std::vector<std::int16_t> render(std::size_t periods) { return main->render(periods * kPeriod); }
    // Whether out[at …] sounds the song from stream frame from on, frames long (left and right).
    bool soundsFrom(const std::vector<std::int16_t> &out, std::size_t at, std::int64_t from,
                    std::size_t frames) const {
        for (std::size_t i = 0; i < 2 * frames; ++i)
            if (out.at(2 * at + i) != reference.at(2 * static_cast<std::size_t>(from) + i))
                return false;
        return true;
    }

    test::TempDir dir;
    std::filesystem::path file;
    std::vector<std::int16_t> reference;
    std::shared_ptr<sound::Device> main;
    std::unique_ptr<DoublePlayer> player;
};

// Sub-sample times of the pulses in a left channel (energy centroid around each peak).
std::vector<double> pulseTimes(const std::vector<std::int16_t> &out) {
    std::vector<double> times;
    const std::size_t frames = out.size() / 2;
    for (std::size_t i = 8; i + 8 < frames; ++i) {
        const int v = std::abs(out[2 * i]);
        if (v < 8000 || v < std::abs(out[2 * i - 2]) || v <= std::abs(out[2 * i + 2]))
            continue;
        double sum = 0, weighted = 0;
        for (std::size_t k = i - 6; k <= i + 6; ++k) {
            const double e = static_cast<double>(out[2 * k]) * out[2 * k];
            sum += e;
            weighted += e * static_cast<double>(k);
        }
        times.push_back(weighted / sum);
        i += 64;
    }
    return times;
}

TEST(DoublePlayerLoop, HundredRepeatsLastHundredLoopLengthsAtAnyPitch) {
    const auto mp3 = clickMp3();
    // Four beats at 128 BPM: a length with a half sample.
    const double length = 4 * 60.0 / 128 * kRate;
    for (int pitch : {-80, 0, 80}) {
        LoopRig rig(mp3);
        DoublePlayer &p = *rig.player;
        p.SetPitch(pitch);
        const double rate = DoublePlayer::FrequencyFor(kRate, pitch) / static_cast<double>(kRate);
        ASSERT_TRUE(p.SetLoop(kRate / 2 - 300, length));
        p.Play();
        std::vector<std::int16_t> out;
        const auto periods = static_cast<std::size_t>((101 * length / rate) / kPeriod) + 40;
        for (std::size_t k = 0; k < periods; k += 64) {
            const auto part = rig.render(64);
            out.insert(out.end(), part.begin(), part.end());
        }
        const auto times = pulseTimes(out);
        ASSERT_GE(times.size(), 101u) << "pitch " << pitch;
        EXPECT_NEAR(times[100] - times[0], 100 * length / rate, 1.0) << "pitch " << pitch;
        // Every repeat is a floor or a ceiling of the length, never a drift.
        for (std::size_t n = 1; n <= 100; ++n)
            EXPECT_NEAR(times[n] - times[n - 1], length / rate, 1.0 / rate + 0.1) << "repeat " << n;
        const auto loop = p.Loop();
        ASSERT_TRUE(loop && loop->active);
        const auto clock = p.Clock();
        EXPECT_GE(clock->sourceFrame, loop->start);
        EXPECT_LT(clock->sourceFrame, loop->start + loop->length + 1);
    }
}

// Largest step between neighbouring samples of the left channel in out[from, to).
int largestStep(const std::vector<std::int16_t> &out, std::size_t from, std::size_t to) {
    int worst = 0;
    for (std::size_t i = from + 1; i < to; ++i)
        worst = std::max(worst, std::abs(out[2 * i] - out[2 * i - 2]));
    return worst;
}

TEST(DoublePlayerLoop, AShortLoopWrapsInsideAHalfWithoutAClick) {
    // 1/8 beat at 180 BPM (1837.5 frames), a third of a half, ending half a 440 Hz period off its start.
    LoopRig rig(test::Mp3Options{.seconds = 4.0});
    DoublePlayer &p = *rig.player;
    const double length = 60.0 / 180 / 8 * kRate;
    const std::int64_t start = 30000;
    ASSERT_TRUE(p.SetLoop(static_cast<double>(start), length));
    ASSERT_TRUE(p.JumpTo(static_cast<double>(start)));
    p.Play();
    const auto out = rig.render(80); // 22 repeats
    const int own =
        largestStep(rig.reference, static_cast<std::size_t>(start), static_cast<std::size_t>(start + 20000));
    EXPECT_LE(largestStep(out, 0, out.size() / 2), own + own / 4);

    // Between the fades the output is the loop's own audio, repeat after repeat.
    const int fade = 110;
    std::size_t checked = 0;
    for (int n = 0; n < 20; ++n) {
        const auto begin = static_cast<std::size_t>(std::llround(start + n * length) - start);
        const auto end = static_cast<std::size_t>(std::llround(start + (n + 1) * length) - start);
        ASSERT_TRUE(rig.soundsFrom(out, begin + fade, start + fade, end - begin - fade)) << "repeat " << n;
        checked += end - begin;
    }
    EXPECT_GT(checked, 36000u);
    const auto clock = p.Clock();
    EXPECT_GE(clock->sourceFrame, static_cast<double>(start));
    EXPECT_LT(clock->sourceFrame, start + length + 1);
}

TEST(DoublePlayerLoop, JumpsAreHeardInTheNextPeriodAndExitAndRollPlayOn) {
    LoopRig rig(test::Mp3Options{.seconds = 6.0});
    DoublePlayer &p = *rig.player;
    p.Play();
    rig.render(30);
    const int fade = 110;

    // A jump while playing: the next period sounds the target, after the fade.
    ASSERT_TRUE(p.JumpTo(150000.25));
    auto out = rig.render(1);
    EXPECT_TRUE(rig.soundsFrom(out, fade, 150000 + fade, kPeriod - fade));
    EXPECT_NEAR(p.Clock()->sourceFrame, 150000 + kPeriod, 1.0);
    out = rig.render(40);
    EXPECT_TRUE(rig.soundsFrom(out, 0, 150000 + kPeriod, 40 * kPeriod)) << "the worker goes on from there";
    EXPECT_FALSE(p.JumpTo(1e9));

    // Exit: the loop plays a few repeats, then the song goes on through the loop's end.
    const double loopStart = p.Clock()->sourceFrame + 100;
    ASSERT_TRUE(p.SetLoop(loopStart, 3000));
    rig.render(40);
    EXPECT_LT(p.Clock()->sourceFrame, loopStart + 3001);
    p.ClearLoop();
    ASSERT_TRUE(p.Loop() && !p.Loop()->active);
    const double exitAt = p.Clock()->sourceFrame;
    out = rig.render(40);
    EXPECT_NEAR(p.Clock()->sourceFrame, exitAt + 40 * kPeriod, 1.0);
    EXPECT_TRUE(
        rig.soundsFrom(out, 2 * kPeriod, static_cast<std::int64_t>(exitAt) + 2 * kPeriod, 30 * kPeriod));

    // A roll returns to where the deck would be without it.
    const double pressed = p.Clock()->sourceFrame;
    p.BeginRoll(pressed - 500, 2000);
    EXPECT_TRUE(p.Rolling());
    rig.render(50);
    EXPECT_LT(p.Clock()->sourceFrame, pressed + 1501);
    p.EndRoll();
    EXPECT_FALSE(p.Loop() && p.Loop()->active);
    const auto shadow = static_cast<std::int64_t>(pressed) + 50 * static_cast<std::int64_t>(kPeriod);
    out = rig.render(20);
    EXPECT_TRUE(rig.soundsFrom(out, fade, shadow + fade, 20 * kPeriod - fade));
}

TEST(DoublePlayerLoop, AClockReaderSeesOnlyPlacesInsideTheLoopWhileItIsRewritten) {
    // Real time: the mix, the worker's refills, the window's rewrites and a reader all at once.
    LoopRig rig(test::Mp3Options{.seconds = 6.0});
    auto device = sound::Device::createNull("Null", 256);
    DoublePlayer p(device.get(), nullptr);
    ASSERT_EQ(p.Open(rig.file.string()), DoublePlayer::kOpenReady);
    const double start = 100000, length = 3000;
    ASSERT_TRUE(p.SetLoop(start, length));
    ASSERT_TRUE(p.JumpTo(start));
    p.Play();
    std::atomic<bool> done{false};
    std::atomic<int> outside{0};
    std::thread reader([&] {
        while (!done) {
            const double at = p.Clock()->sourceFrame;
            if (at < start - 1 || at > start + length + 2)
                ++outside;
        }
    });
    for (int i = 0; i < 300; ++i) {
        if (i % 2 == 0)
            p.JumpTo(start + (i * 37) % 2900);
        else
            p.SetLoop(start, length);
        std::this_thread::sleep_for(std::chrono::microseconds(700));
    }
    done = true;
    reader.join();
    EXPECT_EQ(outside, 0);
}

} // namespace
