// sync_phase_run A.mp3 BPM_A B.mp3 BPM_B MINUTES PITCH [keylock]
// Two click-track decks offline, each on its own offline device rendered in lockstep (so their frame
// counts are one clock): A at PITCH (tenths of a percent), B synced to it at the exact rate and held on
// its beats by the same clock look as the window's Sync (engine::phaseError → phaseCorrection every
// 50 ms). Reports, per ten minutes, where A's clicks sound against where its tempo puts them and how far
// B's clicks stand from A's: the figures of key lock against none. Clicks: the tracks' first beat at
// 0.5 s. A figure, not a test.
#include "engine/BeatSync.h"
#include "engine/DoublePlayer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

using namespace mixora;

namespace {

struct Silent : engine::DeckView {
    void setSeekRange(std::int32_t, int, int) override {}
    void setSeekPosition(std::int32_t) override {}
    void setTimeText(const std::string &) override {}
    void setStateWord(const std::string &) override {}
};

// Click onsets in a stream of blocks: the first sample over half the click's level after 100 ms quiet.
struct Onsets {
    std::uint64_t quietSince = 0;
    bool quiet = true;
    template <class F> void feed(const std::vector<std::int16_t> &out, std::uint64_t frame0, F &&found) {
        for (std::size_t i = 0; i < out.size() / 2; ++i) {
            const int v = std::abs(int(out[2 * i]));
            const std::uint64_t f = frame0 + i;
            if (v > 5000) {
                if (quiet && f - quietSince > 4410)
                    found(double(f));
                quiet = false;
                quietSince = f;
            } else if (f - quietSince > 300) {
                quiet = true;
            }
        }
    }
};

struct Stats {
    std::vector<double> v;
    void add(double x) { v.push_back(x); }
    void print(const char *what) {
        if (v.empty())
            return;
        std::sort(v.begin(), v.end());
        auto at = [&](double q) { return v[std::size_t(q * double(v.size() - 1))]; };
        std::printf("  %s: p1 %+.3f ms, median %+.3f, p99 %+.3f, min %+.3f, max %+.3f (%zu clicks)\n", what,
                    at(0.01), at(0.5), at(0.99), v.front(), v.back(), v.size());
    }
};

} // namespace

int main(int argc, char **argv) {
    if (argc < 7) {
        std::fprintf(stderr, "usage: sync_phase_run A.mp3 BPM_A B.mp3 BPM_B MINUTES PITCH [keylock]\n");
        return 2;
    }
    const double bpmA = std::atof(argv[2]), bpmB = std::atof(argv[4]), minutes = std::atof(argv[5]);
    const int pitch = std::atoi(argv[6]);
    const bool keyLock = argc > 7 && std::string(argv[7]) == "keylock";
    auto devA = sound::Device::createOffline("A");
    auto devB = sound::Device::createOffline("B");
    Silent view;
    engine::DoublePlayer a(devA.get(), nullptr), b(devB.get(), nullptr);
    a.inside().view = b.inside().view = &view;
    a.SetKeyLock(keyLock);
    b.SetKeyLock(keyLock);
    if (a.Open(argv[1]) != 0 || b.Open(argv[3]) != 0)
        return 1;
    const engine::BeatGrid gridA{bpmA, 0.5}, gridB{bpmB, 0.5};
    a.SetPitch(pitch);
    const double rateA = engine::DoublePlayer::FrequencyFor(a.SampleRate(), pitch) / double(a.SampleRate());
    const double syncRate = *engine::syncRatio(bpmB, bpmA * rateA, 0.8, 1.2);
    b.SetRate(syncRate);
    a.SetVolume(0);
    b.SetVolume(0);
    a.Play();
    constexpr std::size_t kBlock = sound::Device::offlinePeriodFrames();
    std::vector<std::int16_t> outA = devA->render(kBlock * 8), outB = devB->render(kBlock * 8);
    // B starts in phase, as a synced Play does.
    const std::uint64_t start = devB->framesRendered() + 2048;
    const engine::PlayingDeck playingA{*a.Clock(), a.SampleRate(), gridA};
    b.PlayAt(start, engine::alignedStartSource(playingA, start, gridB, b.SampleRate(), 0.0, 1.0));

    // Where A's tempo puts its clicks: from its clock at this moment on.
    const auto c0 = *a.Clock();
    const double stepA = rateA * a.SampleRate() / sound::kDeviceRate;
    const double periodA = 60.0 / bpmA * a.SampleRate();
    auto expectedA = [&](double frame) { // the device frame of A's beat nearest frame
        const double src = c0.sourceFrame + (frame - double(c0.deviceFrame)) * stepA;
        const double k = std::round((src - 0.5 * a.SampleRate()) / periodA);
        const double beatSrc = 0.5 * a.SampleRate() + k * periodA;
        return double(c0.deviceFrame) + (beatSrc - c0.sourceFrame) / stepA;
    };
    Onsets onA, onB;
    double lastA = -1;
    Stats aVsTempo, bVsA;
    const std::uint64_t total = std::uint64_t(minutes * 60 * sound::kDeviceRate);
    std::uint64_t nextCheck = 0, nextReport = 0;
    double pull = 0;
    int report = 0;
    while (devA->framesRendered() < total) {
        const std::uint64_t f0 = devA->framesRendered();
        outA = devA->render(kBlock);
        outB = devB->render(kBlock);
        onA.feed(outA, f0, [&](double f) {
            lastA = f;
            if (f0 > 44100 * 2)
                aVsTempo.add((f - expectedA(f)) * 1000.0 / sound::kDeviceRate);
        });
        onB.feed(outB, f0, [&](double f) {
            if (lastA >= 0 && f0 > 44100 * 2) {
                // Against A's nearest click by tempo (A's own output next to it).
                const double periodHeard = periodA / stepA;
                double d = f - lastA;
                d -= std::round(d / periodHeard) * periodHeard;
                bVsA.add(d * 1000.0 / sound::kDeviceRate);
            }
        });
        if (f0 >= nextCheck) { // the window's 50 ms look
            nextCheck += 2205;
            const auto ca = a.Clock(), cb = b.Clock();
            if (ca && cb) {
                const auto e =
                    engine::phaseError({*cb, b.SampleRate(), gridB}, {*ca, a.SampleRate(), gridA}, 1.0);
                const double p = e ? engine::phaseCorrection(*e) : 0.0;
                if (p != pull) {
                    pull = p;
                    b.SetRate(syncRate * (1 + pull));
                }
            }
        }
        if (f0 >= nextReport && f0 > 0) {
            std::printf("%d min (key lock %s, pitch %+.1f %%)\n", report * 10, keyLock ? "on" : "off",
                        pitch / 10.0);
            aVsTempo.print("A's clicks against its tempo");
            bVsA.print("B's clicks against A's");
            aVsTempo = {};
            bVsA = {};
            ++report;
            std::fflush(stdout);
        }
        if (f0 >= nextReport)
            nextReport += std::uint64_t(600 * sound::kDeviceRate);
    }
    std::printf("%.0f min (key lock %s, pitch %+.1f %%)\n", minutes, keyLock ? "on" : "off", pitch / 10.0);
    aVsTempo.print("A's clicks against its tempo");
    bVsA.print("B's clicks against A's");
    std::printf("underflows: %llu %llu\n", (unsigned long long)devA->underflows(),
                (unsigned long long)devB->underflows());
    return 0;
}
