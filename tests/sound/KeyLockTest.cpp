// Key lock as a block source: the key stays at another tempo, and the stretched sound stays where the
// cursor says it is (what the time display, the grid and Sync rely on), across a jump too.
#include "engine/sound/KeyLock.h"
#include "engine/sound/Sound.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <vector>

using namespace mixora::sound::detail;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kRate = 44100;
constexpr std::size_t kBlock = 512;

struct Song {
    std::unique_ptr<std::atomic<std::int16_t>[]> samples;
    std::int64_t frames;
    explicit Song(double seconds) : frames(std::int64_t(seconds * kRate)) {
        samples.reset(new std::atomic<std::int16_t>[std::size_t(frames) * 2]);
    }
    void set(std::int64_t f, double v) {
        auto s = std::int16_t(std::lround(v));
        samples[std::size_t(2 * f)].store(s);
        samples[std::size_t(2 * f + 1)].store(s);
    }
    SampleSource source() const { return {samples.get(), frames, 2, false}; }
};

std::uint64_t fixed(double frames) {
    return std::uint64_t(frames * double(kFixedOne));
}

// Renders seconds of output from pos on at ratio, one block at a time; jumpAt (output frame) moves the
// cursor by jumpFrames once, as a seek does.
template <class Render>
std::vector<float> play(Render &&render, double ratio, double seconds, std::int64_t jumpAt = -1,
                        double jumpFrames = 0) {
    std::vector<float> out(std::size_t(seconds * kRate) / kBlock * kBlock * 2);
    std::uint64_t pos = 0;
    for (std::size_t at = 0; at < out.size() / 2; at += kBlock) {
        if (jumpAt >= 0 && std::int64_t(at) == jumpAt)
            pos += fixed(jumpFrames);
        pos = render(pos, fixed(ratio), out.data() + 2 * at).pos;
    }
    return out;
}

// Frames where a burst begins: the level first crosses half the burst's peak after 100 ms below it.
std::vector<double> onsets(const std::vector<float> &out, float level) {
    std::vector<double> at;
    std::int64_t last = -kRate;
    for (std::size_t i = 1; i < out.size() / 2; ++i) {
        const float v = std::fabs(out[2 * i]);
        if (v <= level / 2)
            continue;
        if (std::int64_t(i) - last > kRate / 10) {
            const float before = std::fabs(out[2 * (i - 1)]);
            at.push_back(double(i) - 1 + (level / 2 - before) / (v - before));
        }
        last = std::int64_t(i);
    }
    return at;
}

} // namespace

TEST(KeyLock, ATonePlayedFasterKeepsItsPitchWithinACent) {
    Song song(12);
    for (std::int64_t f = 0; f < song.frames; ++f)
        song.set(f, 10000 * std::sin(2 * kPi * 440 * double(f) / kRate));
    KeyLock lock(kRate);
    const auto source = song.source();
    auto out =
        play([&](std::uint64_t p, std::uint64_t s, float *o) { return lock.render(source, p, s, o, kBlock); },
             1.08, 9);
    // Frequency from interpolated upward zero crossings between 1 s and 8 s.
    double first = -1, last = -1;
    int periods = -1;
    for (std::size_t i = kRate; i < std::size_t(8 * kRate); ++i) {
        const float a = out[2 * (i - 1)], b = out[2 * i];
        if (a < 0 && b >= 0) {
            const double t = double(i) - 1 + a / (a - b);
            if (first < 0)
                first = t;
            last = t;
            ++periods;
        }
    }
    ASSERT_GT(periods, 2000);
    const double hz = periods / ((last - first) / kRate);
    EXPECT_NEAR(1200 * std::log2(hz / 440), 0.0, 1.0) << hz << " Hz";
    EXPECT_EQ(lock.shortfalls(), 0u);
}

TEST(KeyLock, BurstsSoundWhereTheCursorSaysOverAMinuteAndAfterAJump) {
    // A 5 ms burst every half second, rendered at +6 % with key lock and with the resampler: each burst
    // must begin at the same output frame (±1 ms) in both, so key lock adds neither latency nor drift.
    Song song(80);
    for (std::int64_t f = 0; f < song.frames; ++f) {
        const std::int64_t inBeat = f % (kRate / 2);
        song.set(f, inBeat < kRate / 200 ? 16000 * std::sin(2 * kPi * 2000 * double(inBeat) / kRate) : 0.0);
    }
    const auto source = song.source();
    const double ratio = 1.06;
    const std::int64_t jumpAt = 30 * kRate / std::int64_t(kBlock) * std::int64_t(kBlock);
    const double jumpFrames = 10.3 * kRate;
    KeyLock lock(kRate);
    auto locked =
        play([&](std::uint64_t p, std::uint64_t s, float *o) { return lock.render(source, p, s, o, kBlock); },
             ratio, 60, jumpAt, jumpFrames);
    auto plain = play(
        [&](std::uint64_t p, std::uint64_t s, float *o) {
            std::fill(o, o + 2 * kBlock, 0.0f);
            return resampleAdd(source, p, s, 1.0f, 1.0f, o, kBlock);
        },
        ratio, 60, jumpAt, jumpFrames);
    const auto want = onsets(plain, 16000);
    const auto got = onsets(locked, 16000);
    ASSERT_GT(want.size(), 100u);
    ASSERT_EQ(got.size(), want.size());
    double worst = 0;
    for (std::size_t i = 0; i < want.size(); ++i)
        worst = std::max(worst, std::fabs(got[i] - want[i]));
    EXPECT_LE(worst, kRate / 1000.0) << "worst burst " << worst << " frames away";
    EXPECT_EQ(lock.shortfalls(), 0u);
}

TEST(KeyLock, BeatsSoundOnTimeAtEveryPitchAndAfterThePitchBarMoved) {
    // A 5 ms burst every half second, each placed by its energy centroid (a stretched attack smears, its
    // energy stays): on average the bursts must sound within 0.1 ms of where the cursor puts them, at
    // -8 %, 0, +8 % and +16 %, and after the pitch went from 0 to +16 % while playing.
    Song song(30);
    constexpr std::int64_t kBurst = kRate / 200, kBeat = kRate / 2;
    double centre = 0, energy = 0;
    for (std::int64_t f = 0; f < song.frames; ++f) {
        const std::int64_t inBeat = f % kBeat;
        const double v = inBeat < kBurst ? 16000 * std::sin(2 * kPi * 2000 * double(inBeat) / kRate) : 0.0;
        song.set(f, v);
        if (f < kBeat) {
            centre += double(f) * v * v;
            energy += v * v;
        }
    }
    centre /= energy;
    const auto source = song.source();
    // Mean lateness (frames) of the bursts heard from `from` on, the ratio going from r0 to r1 at `at`.
    auto late = [&](double r0, double r1, std::size_t at, std::size_t from) {
        KeyLock lock(kRate);
        const std::size_t blocks = 20 * kRate / kBlock;
        std::vector<float> out(blocks * kBlock * 2);
        std::vector<double> heard(blocks + 1); // cursor (source frames) at each block's start
        std::uint64_t pos = 0;
        for (std::size_t k = 0; k < blocks; ++k) {
            heard[k] = double(pos) / double(kFixedOne);
            const double r = k * kBlock < at ? r0 : r1;
            pos = lock.render(source, pos, fixed(r), out.data() + 2 * k * kBlock, kBlock).pos;
        }
        heard[blocks] = double(pos) / double(kFixedOne);
        double sum = 0;
        int count = 0;
        for (std::size_t k = 0; k + 1 < blocks; ++k)
            for (double beat = std::ceil(heard[k] / kBeat) * kBeat; beat < heard[k + 1]; beat += kBeat) {
                const double due =
                    double(k * kBlock) + (beat - heard[k]) / (heard[k + 1] - heard[k]) * kBlock;
                if (due < double(from) || due + 4000 > double(blocks * kBlock))
                    continue;
                double e = 0, t = 0;
                for (auto i = std::size_t(due) - 3000; i < std::size_t(due) + 3500; ++i) {
                    const double v = out[2 * i];
                    e += v * v;
                    t += double(i) * v * v;
                }
                sum += t / e - centre - due;
                ++count;
            }
        EXPECT_GT(count, 20);
        EXPECT_EQ(lock.shortfalls(), 0u);
        return sum / count;
    };
    for (double r : {0.92, 1.0, 1.08, 1.16})
        EXPECT_NEAR(late(r, r, 0, 2 * kRate), 0.0, kRate / 10000.0) << "ratio " << r;
    EXPECT_NEAR(late(1.0, 1.16, 4 * kRate, 6 * kRate), 0.0, kRate / 10000.0) << "after the pitch moved";
}

TEST(KeyLock, SwitchedOnAndOffWhilePlayingNothingIsSkippedRepeatedOrBroken) {
    // A looping buffer with a 5 ms burst per loop at +6 %, rendered twice on a manual card: plain, and with
    // key lock switched on and off every 10 ms for the first two seconds, then every 300 ms. Each burst
    // must begin where it begins in the plain render, and nothing may be NaN or infinite. A skipped or
    // repeated period would move a burst by 11.6 ms; the bound is 1.5 ms because at +6 % a stretched
    // attack rises about 0.5 ms later than the plain one, and a burst inside a cross-fade mixes both.
    constexpr std::uint32_t kFrames = 11520;
    std::vector<std::int16_t> data(2 * kFrames, 0);
    for (std::uint32_t f = 0; f < kRate / 200; ++f)
        data[2 * f] = data[2 * f + 1] = std::int16_t(16000 * std::sin(2 * kPi * 2000 * f / double(kRate)));
    auto render = [&](bool toggle) {
        auto card = mixora::sound::Device::createManual();
        auto buffer = card->createBuffer({kRate, 2, 16}, kFrames * 4);
        buffer->write(0, data.data(), kFrames * 4);
        buffer->setFrequency(std::uint32_t(kRate * 1.06));
        buffer->play(true);
        std::vector<float> out;
        for (int period = 0; period < 10 * kRate / 512; ++period) {
            const int every = period < 2 * kRate / 512 ? 1 : 26;
            if (toggle && period % every == 0)
                buffer->setKeyLock(!buffer->keyLock());
            for (std::int16_t s : card->render(512))
                out.push_back(float(s));
        }
        return out;
    };
    const auto plain = render(false);
    const auto switched = render(true);
    for (float v : switched)
        ASSERT_TRUE(std::isfinite(v));
    const auto want = onsets(plain, 16000);
    const auto got = onsets(switched, 16000);
    ASSERT_GT(want.size(), 30u);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_NEAR(got[i], want[i], 1.5 * kRate / 1000.0) << "burst " << i;
}

namespace {

TEST(KeyLock, RateSweepsToggleStormAndASeekEveryPeriodLeaveNoNanNoBlowUpAndNoLastingOffset) {
    namespace sound = mixora::sound;
    auto device = sound::Device::createManual();
    constexpr std::uint32_t kFrames = 10 * kRate;
    auto buffer = device->createBuffer(sound::PcmFormat{}, kFrames * 4);
    constexpr double kAmplitude = 8000;
    std::vector<std::int16_t> tone(kFrames * 2);
    for (std::size_t f = 0; f < kFrames; ++f)
        tone[2 * f] = tone[2 * f + 1] =
            std::int16_t(std::lround(kAmplitude * std::sin(2 * kPi * 440 * f / kRate)));
    ASSERT_TRUE(buffer->write(0, tone.data(), kFrames * 4));
    buffer->play(true);
    // 441-frame periods: a key lock switch every period is 100 a second; the pitch swings across the
    // whole ±20 % from one period to the next, and every period seeks.
    constexpr std::size_t kPeriod = 441;
    std::uint32_t seed = 12345;
    for (int k = 0; k < 300; ++k) {
        buffer->setExactFrequency(kRate * (k % 2 ? 1.2 : 0.8));
        buffer->setKeyLock(k % 2 == 0);
        seed = seed * 1664525u + 1013904223u;
        buffer->setCursor((seed >> 8) % kFrames * 4);
        const auto out = device->render(kPeriod);
        for (std::int16_t v : out)
            ASSERT_LE(std::abs(int(v)), 1.5 * kAmplitude) << "period " << k;
        ASSERT_TRUE(std::isfinite(buffer->clock().position));
    }
    // Then held still: the cursor goes where the rate takes it, from where it was put.
    buffer->setKeyLock(true);
    buffer->setExactFrequency(kRate * 1.06);
    buffer->setCursor(kRate * 4);
    device->render(kPeriod);
    const double from = buffer->clock().position;
    EXPECT_NEAR(from, kRate + kPeriod * 1.06, 1e-3);
    double peak = 0;
    for (int k = 0; k < 40; ++k)
        for (std::int16_t v : device->render(kPeriod))
            peak = std::max(peak, double(std::abs(int(v))));
    EXPECT_NEAR(buffer->clock().position - from, 40 * kPeriod * 1.06, 1e-3);
    EXPECT_GT(peak, 0.5 * kAmplitude); // it still sounds
}

} // namespace
