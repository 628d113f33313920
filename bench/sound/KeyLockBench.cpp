// Key lock's cost, engine against engine: Rubber Band R2 ("faster") and R3 with its short window, at
// 256- and 512-frame periods, over two minutes of a dense test song at +6 % with the rate moving a
// little every second (as Sync's pull does), the pitch bar moved by 2 % every ten seconds (a fresh
// stretcher takes over a few blocks later) and a jump every four seconds (a seek or hot cue, which
// primes the stretcher afresh). Block times are the thread's own processor time, so other work on the
// machine does not count; "worst" is the slowest block as a share of the period, jumps included.
// Also the pitch error of a 440 Hz tone played at +8 %, in cents.
#include "engine/sound/KeyLock.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

using namespace mixora::sound::detail;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kRate = 44100;

double threadSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Song {
    std::unique_ptr<std::atomic<std::int16_t>[]> samples;
    std::int64_t frames;
    template <class F> Song(double seconds, F &&signal) : frames(std::int64_t(seconds * kRate)) {
        samples.reset(new std::atomic<std::int16_t>[std::size_t(frames) * 2]);
        for (std::int64_t f = 0; f < frames; ++f) {
            auto v = std::int16_t(std::lround(std::clamp(signal(f), -32767.0, 32767.0)));
            samples[std::size_t(2 * f)].store(v);
            samples[std::size_t(2 * f + 1)].store(v);
        }
    }
    SampleSource source() const { return {samples.get(), frames, 2, true}; }
};

const char *name(KeyLock::Engine e) {
    return e == KeyLock::Engine::Faster ? "R2 (faster)" : "R3 short window";
}

void cost(const Song &song, KeyLock::Engine engine, std::size_t period) {
    KeyLock lock(kRate, engine);
    std::vector<float> out(2 * period);
    const auto source = song.source();
    const std::size_t blocks = 120 * kRate / period;
    std::uint64_t pos = 0;
    double total = 0, worst = 0, worstJump = 0, worstMove = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        const double second = double(b * period) / kRate;
        // The pitch bar moves 2 % every 10 s: a few blocks later a fresh stretcher takes over.
        const bool moved = std::fmod(second, 20.0) >= 10.0;
        const bool afterMove = std::fmod(second, 10.0) < 0.1;
        const double ratio = (moved ? 1.08 : 1.06) + 0.002 * std::sin(second);
        const bool jump = b > 0 && (b * period) % (4 * kRate) < period;
        if (jump)
            pos = (pos + (std::uint64_t(7 * kRate) << 32)) % (std::uint64_t(song.frames) << 32);
        const double t0 = threadSeconds();
        pos = lock.render(source, pos, std::uint64_t(ratio * 4294967296.0), out.data(), period).pos;
        const double dt = threadSeconds() - t0;
        total += dt;
        double &w = jump ? worstJump : afterMove ? worstMove : worst;
        w = std::max(w, dt);
    }
    const double periodSeconds = double(period) / kRate;
    std::printf("%-15s period %4zu: %5.2f %% of one core, worst block %5.1f %% of the period "
                "(%5.1f %% at a jump, %5.1f %% after a pitch move), shortfalls %llu\n",
                name(engine), period, 100 * total / (double(blocks) * periodSeconds),
                100 * worst / periodSeconds, 100 * worstJump / periodSeconds, 100 * worstMove / periodSeconds,
                static_cast<unsigned long long>(lock.shortfalls()));
}

void toneError(KeyLock::Engine engine) {
    Song tone(12, [](std::int64_t f) { return 10000 * std::sin(2 * kPi * 440 * double(f) / kRate); });
    KeyLock lock(kRate, engine);
    const auto source = tone.source();
    std::vector<float> out(9 * kRate * 2);
    std::uint64_t pos = 0;
    for (std::size_t at = 0; at + 512 <= out.size() / 2; at += 512)
        pos = lock.render(source, pos, std::uint64_t(1.08 * 4294967296.0), out.data() + 2 * at, 512).pos;
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
    const double hz = periods / ((last - first) / kRate);
    std::printf("%-15s 440 Hz at +8 %%: %.3f Hz, %+.3f cent\n", name(engine), hz, 1200 * std::log2(hz / 440));
}

} // namespace

int main() {
    // Chords, a bass line and noise hits: enough spectrum and transients to keep the stretcher busy.
    Song song(60, [](std::int64_t f) {
        const double t = double(f) / kRate;
        const double beat = std::fmod(t, 0.5);
        double v = 3000 * (std::sin(2 * kPi * 220 * t) + std::sin(2 * kPi * 277.2 * t) +
                           std::sin(2 * kPi * 329.6 * t));
        v += 6000 * std::sin(2 * kPi * (55 + 27.5 * std::floor(std::fmod(t, 2.0))) * t);
        if (beat < 0.03)
            v += 8000 * std::exp(-beat * 120) * std::sin(2 * kPi * 60 * beat) +
                 4000 * ((f * 2654435761u % 65536) / 32768.0 - 1.0);
        return v;
    });
    for (auto engine : {KeyLock::Engine::Faster, KeyLock::Engine::FinerShort}) {
        for (std::size_t period : {256u, 512u})
            cost(song, engine, period);
        toneError(engine);
    }
}
