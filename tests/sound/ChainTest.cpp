// A deck's signal chain as the mix plays it: the EQ's response and kills, the filter, click-free
// changes, exact bypass, the output limiter, meters, and settings that must never break the mix.
#include "tests/sound/SoundTestUtil.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>

using namespace mixora::sound;
using mixora::sound::testing::makeBuffer;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kAmplitude = 12000;
constexpr std::size_t kPeriod = 512;

std::unique_ptr<Buffer> sine(Device &device, double hz, double amplitude = kAmplitude,
                             std::uint32_t frames = 44100) {
    return makeBuffer(device, 44100, 2, frames, [=](std::uint32_t f, int) {
        return int(std::lround(amplitude * std::sin(2 * kPi * hz * f / 44100.0)));
    });
}

std::unique_ptr<Buffer> noise(Device &device, unsigned seed, int amplitude = 8000) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> sample(-amplitude, amplitude);
    return makeBuffer(device, 44100, 2, 8192, [&](auto, int) { return sample(random); });
}

std::vector<std::int16_t> renderPeriods(Device &device, int periods) {
    std::vector<std::int16_t> out;
    for (int i = 0; i < periods; ++i) {
        auto p = device.render(kPeriod);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

struct Setting {
    std::array<float, 3> dB{};
    std::array<bool, 3> kill{};
};

// Steady level of a sine through the chain relative to the sine itself, in dB.
double levelDb(double hz, const Setting &s) {
    auto device = Device::createManual();
    auto buffer = sine(*device, hz);
    for (int band = 0; band < kEqBands; ++band) {
        buffer->setEq(band, s.dB[std::size_t(band)]);
        buffer->setEqKill(band, s.kill[std::size_t(band)]);
    }
    buffer->play(false);
    auto out = renderPeriods(*device, 30);
    double sum = 0;
    const std::size_t from = out.size() - 2 * 6615; // the last 0.15 s
    for (std::size_t i = from; i < out.size(); ++i)
        sum += double(out[i]) * out[i];
    const double rms = std::sqrt(sum / double(out.size() - from));
    return 20 * std::log10(std::max(rms, 1e-3) / (kAmplitude / std::sqrt(2.0)));
}

// The largest step a sine of kAmplitude has, with a margin: a change that moves the tone's phase within a
// period raises its instantaneous frequency for a moment by a percent or so; a click is a step many times
// the tone's own.
int ownStep(double hz, double margin = 1.02) {
    return int(std::ceil(margin * kAmplitude * 2 * std::sin(kPi * hz / 44100.0))) + 1;
}

int largestStep(const std::vector<std::int16_t> &out) {
    int step = 0;
    for (std::size_t i = 2; i < out.size(); ++i)
        step = std::max(step, std::abs(out[i] - out[i - 2]));
    return step;
}

TEST(ChainEq, EqualKnobsSumFlatAndAKillIsDeepWhileTheOtherBandsStay) {
    const double freqs[] = {30, 60, 125, 250, 500, 1000, 2500, 5000, 10000, 16000};
    for (float dB : {-12.0f, 6.0f})
        for (double hz : freqs)
            EXPECT_NEAR(levelDb(hz, {{dB, dB, dB}, {}}), dB, 0.1) << hz << " Hz at " << dB << " dB";
    struct Kill {
        int band;
        std::vector<double> gone, kept; // ≥ 60 dB down; within 0.5 dB
    };
    const Kill kills[] = {
        {kEqLow, {62.5}, {500}}, {kEqMid, {625, 790, 1000}, {125, 5000}}, {kEqHigh, {10000}, {1250}}};
    for (const auto &k : kills) {
        Setting s;
        s.kill[std::size_t(k.band)] = true;
        for (double hz : k.gone)
            EXPECT_LE(levelDb(hz, s), -60.0) << "band " << k.band << " killed, " << hz << " Hz";
        for (double hz : k.kept)
            EXPECT_NEAR(levelDb(hz, s), 0.0, 0.5) << "band " << k.band << " killed, " << hz << " Hz";
        // The knob's end stop is the same kill.
        Setting knob;
        knob.dB[std::size_t(k.band)] = kEqKillDb;
        EXPECT_LE(levelDb(k.gone.front(), knob), -60.0) << "band " << k.band << " at its end stop";
    }
}

TEST(ChainEq, KnobToKillAndEveryKillSwitchChangeWithoutAClick) {
    for (double hz : {60.0, 1000.0}) {
        const int own = ownStep(hz);
        for (int band = 0; band < kEqBands; ++band) {
            auto device = Device::createManual();
            auto buffer = sine(*device, hz, kAmplitude, 44100 * 2);
            buffer->play(false);
            auto out = renderPeriods(*device, 4);
            buffer->setEq(band, kEqKillDb); // from 0 dB, within one period
            auto moved = renderPeriods(*device, 6);
            buffer->setEq(band, 0.0f);
            auto back = renderPeriods(*device, 6);
            buffer->setEqKill(band, true);
            auto killed = renderPeriods(*device, 6);
            buffer->setEqKill(band, false);
            auto freed = renderPeriods(*device, 6);
            for (const auto *part : {&moved, &back, &killed, &freed})
                out.insert(out.end(), part->begin(), part->end());
            EXPECT_LE(largestStep(out), own) << hz << " Hz, band " << band;
        }
        // "Mitte" leaving "Hoch" while the EQ already works: the mid band's low-pass, idle while the two
        // were equal, takes over without a click.
        auto device = Device::createManual();
        auto buffer = sine(*device, hz, kAmplitude, 44100 * 2);
        buffer->play(false);
        buffer->setEqKill(kEqLow, true);
        auto out = renderPeriods(*device, 8);
        buffer->setEq(kEqMid, kEqKillDb);
        auto moved = renderPeriods(*device, 6);
        out.insert(out.end(), moved.begin(), moved.end());
        EXPECT_LE(largestStep(out), own) << hz << " Hz, Mitte after Tief";
        int rest = 0; // the tone is gone (Tief or Mitte killed)
        for (std::size_t i = moved.size() - 4 * kPeriod; i < moved.size(); ++i)
            rest = std::max(rest, std::abs(int(moved[i])));
        EXPECT_LE(rest, kAmplitude / 1000) << hz << " Hz, Mitte after Tief";
    }
}

TEST(ChainBypass, NeutralSettingsAreBitIdenticalAlsoAfterAnExcursion) {
    auto plain = Device::createManual();
    auto chained = Device::createManual();
    auto a = noise(*plain, 7);
    auto b = noise(*chained, 7);
    a->play(true);
    b->play(true);
    EXPECT_EQ(plain->render(kPeriod), chained->render(kPeriod));
    b->setEq(kEqMid, -10.0f);
    b->setEqKill(kEqHigh, true);
    b->setFilter(-0.4f);
    EXPECT_NE(plain->render(kPeriod * 4), chained->render(kPeriod * 4));
    b->setEq(kEqMid, 0.0f);
    b->setEqKill(kEqHigh, false);
    b->setFilter(0.025f); // inside the dead zone
    plain->render(kPeriod * 4);
    chained->render(kPeriod * 4); // the way back: the bands level out in one block, the phase in 1024 frames
    EXPECT_EQ(plain->render(kPeriod * 8), chained->render(kPeriod * 8));
}

TEST(ChainFilter, SidesSweepDownAndUpWithoutAClick) {
    auto levelAt = [](float knob, double hz) {
        auto device = Device::createManual();
        auto buffer = sine(*device, hz);
        buffer->setFilter(knob);
        buffer->play(false);
        auto out = renderPeriods(*device, 20);
        int peak = 0;
        for (std::size_t i = out.size() / 2; i < out.size(); ++i)
            peak = std::max(peak, std::abs(int(out[i])));
        return 20 * std::log10(std::max(peak, 1) / kAmplitude);
    };
    EXPECT_LE(levelAt(-1.0f, 1000), -60.0); // low-pass at 20 Hz
    EXPECT_LE(levelAt(1.0f, 1000), -45.0);  // high-pass at 20 kHz
    EXPECT_NEAR(levelAt(-0.5f, 100), 0.0, 0.5);
    EXPECT_NEAR(levelAt(0.5f, 10000), 0.0, 0.5);
    EXPECT_LE(levelAt(-0.5f, 10000), -20.0);
    EXPECT_LE(levelAt(0.5f, 100), -20.0);

    for (double hz : {60.0, 1000.0}) {
        auto device = Device::createManual();
        auto buffer = sine(*device, hz, kAmplitude, 44100 * 4);
        buffer->play(false);
        std::vector<std::int16_t> out;
        // Centre to the left end, across to the right end, back to the centre, a period per step (about
        // half a second from one end to the other).
        for (int step = 0; step <= 160; ++step) {
            const float knob = step <= 40    ? -step / 40.0f
                               : step <= 120 ? -1.0f + (step - 40) / 40.0f
                                             : 1.0f - (step - 120) / 40.0f;
            buffer->setFilter(knob);
            auto p = device->render(kPeriod);
            out.insert(out.end(), p.begin(), p.end());
        }
        buffer->setFilter(1.0f); // and a jump from one end to the other
        auto p = renderPeriods(*device, 2);
        out.insert(out.end(), p.begin(), p.end());
        buffer->setFilter(-1.0f);
        p = renderPeriods(*device, 2);
        out.insert(out.end(), p.begin(), p.end());
        // A cutoff passing the tone turns its phase as it goes (up to a sixth faster than the tone at
        // this pace); a jump in the filter's state would be several times the tone's step.
        EXPECT_LE(largestStep(out), ownStep(hz, 1.2)) << hz;
    }
}

TEST(ChainLimiter, TwoFullDecksBoostedNeverClipAndAQuieterMixPassesExactly) {
    auto device = Device::createManual();
    auto a = sine(*device, 60, 32767);
    auto b = sine(*device, 1000, 32767);
    for (auto *buffer : {a.get(), b.get()}) {
        for (int band = 0; band < kEqBands; ++band)
            buffer->setEq(band, kEqMaxDb);
        buffer->play(false);
    }
    int peak = 0;
    for (auto s : renderPeriods(*device, 40))
        peak = std::max(peak, std::abs(int(s)));
    EXPECT_LE(peak, 31654); // −0.3 dBFS
    EXPECT_GE(peak, 31000);
    EXPECT_TRUE(device->takeOutputPeak().clipped);

    // Below −1 dBFS nothing is touched: the output is the exact sum.
    auto quiet = Device::createManual();
    auto c = sine(*quiet, 60, 14500);
    auto d = sine(*quiet, 1000, 14500);
    c->play(false);
    d->play(false);
    auto out = renderPeriods(*quiet, 20);
    for (std::size_t f = 0; f < out.size() / 2; ++f) {
        const int expected = int(std::lround(14500 * std::sin(2 * kPi * 60 * f / 44100.0))) +
                             int(std::lround(14500 * std::sin(2 * kPi * 1000 * f / 44100.0)));
        ASSERT_EQ(out[2 * f], expected) << "frame " << f;
    }
    EXPECT_FALSE(quiet->takeOutputPeak().clipped);
}

TEST(ChainSafety, NonsenseSettingsLeaveTheOtherDeckPlaying) {
    constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
    constexpr float kInf = std::numeric_limits<float>::infinity();
    auto alone = Device::createManual();
    auto both = Device::createManual();
    auto reference = noise(*alone, 3);
    auto other = noise(*both, 3);
    auto wild = sine(*both, 440);
    reference->play(true);
    other->play(true);
    wild->play(true);
    wild->setGain(kNan); // silent, so the sum is the other deck alone
    wild->setEq(kEqLow, kNan);
    wild->setEq(kEqMid, kInf);
    wild->setEq(kEqHigh, -kInf);
    wild->setEq(7, 3.0f);
    wild->setFilter(kNan);
    wild->setEqCrossovers(kNan, kInf);
    EXPECT_EQ(wild->eq(kEqLow), 0.0f);
    EXPECT_EQ(wild->eq(kEqMid), kEqMaxDb);
    EXPECT_EQ(wild->filter(), 0.0f);
    EXPECT_EQ(wild->eqCrossovers().lowHz, kEqLowCrossoverHz);
    EXPECT_EQ(alone->render(kPeriod * 20), both->render(kPeriod * 20));
    wild->setFilter(kInf);
    wild->setEqCrossovers(3000, 200); // out of order: both defaults
    EXPECT_EQ(wild->eqCrossovers().highHz, kEqHighCrossoverHz);
    EXPECT_EQ(alone->render(kPeriod * 20), both->render(kPeriod * 20));
}

TEST(ChainMeters, PeaksBeforeTheVolumeAndAtTheOutputSinceTheLastReading) {
    auto device = Device::createManual();
    auto buffer = sine(*device, 1000, 16500);
    buffer->setVolume(-2000); // −20 dB after the meter
    buffer->play(false);
    device->render(kPeriod * 4);
    const PeakReading deck = buffer->takePeak();
    EXPECT_NEAR(deck.peak, 16500 / 32768.0, 0.001);
    EXPECT_FALSE(deck.clipped);
    EXPECT_NEAR(device->takeOutputPeak().peak, 1650 / 32768.0, 0.001);
    EXPECT_EQ(buffer->takePeak().peak, 0.0f); // nothing mixed since
    buffer->setEq(kEqMid, kEqMaxDb);
    buffer->setVolume(0);
    device->render(kPeriod * 4);
    const PeakReading boosted = buffer->takePeak();
    EXPECT_GT(boosted.peak, 0.99);
    EXPECT_TRUE(boosted.clipped);
}

} // namespace
