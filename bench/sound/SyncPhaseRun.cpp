// sync_phase_run A.mp3 BPM_A B.mp3 BPM_B MINUTES PITCH [keylock]
// Two click-track decks offline, each on its own offline device rendered in lockstep (so their frame
// counts are one clock): A at PITCH (tenths of a percent), B synced to it at the exact rate and held on
// its beats by the same clock look as the window's Sync (engine::phaseError → phaseCorrection every
// 50 ms). Reports, per ten minutes, where A's clicks sound against where its tempo puts them and how far
// B's clicks stand from A's, each click placed three ways (threshold onset, energy centroid,
// cross-correlation with the song's own click): the figures of key lock against none. A figure, not a
// test.
// The tracks: a click at 0.5 s of the decoded stream and then every beat, e.g. a 5 ms 2 kHz burst
// every 22050 frames (120 BPM) and every 21000 (126 BPM), written as WAV with the first click 1105
// frames early (lame's encoder and decoder delay) and encoded with `lame -b 192`.
#include "engine/BeatSync.h"
#include "engine/DoublePlayer.h"
#include "engine/Formate.h"

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
// A coarse find only: a phase vocoder smears a click's attack, so where the level first crosses a
// threshold says little about where the click is.
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

// One click as the song has it: source frames from kLead before the first beat on, read by the deck's
// own reader.
constexpr int kLead = 88, kShape = 1100;
std::vector<float> clickShape(const char *file, double beatSeconds) {
    engine::Mp3Player reader(file);
    const std::int64_t from = std::int64_t(beatSeconds * reader.sampleRate) - kLead;
    reader.SeekSample(from);
    const std::int64_t at = reader.SamplePosition();
    std::vector<std::int16_t> pcm;
    std::vector<char> frame(std::size_t(reader.frameBytes));
    while (std::int64_t(pcm.size() / std::size_t(reader.channels)) < from - at + kShape &&
           reader.ReadFrames(1, frame.data()) != engine::Mp3Player::kEndOfInput) {
        const auto *s = reinterpret_cast<const std::int16_t *>(frame.data());
        pcm.insert(pcm.end(), s, s + frame.size() / 2);
    }
    std::vector<float> shape(kShape);
    for (int i = 0; i < kShape; ++i) {
        const std::size_t k = std::size_t(from - at + i) * std::size_t(reader.channels);
        shape[std::size_t(i)] = k < pcm.size() ? float(pcm[k]) : 0.0f;
    }
    return shape;
}

// Where each click sounds, to a fraction of a frame, two ways that a smeared attack does not fool:
// its energy centroid, and the peak of its envelope's cross-correlation with the click as it should sound
// (the song's click, shortened by the rate when the resampler plays it, its length kept under key
// lock), parabola-interpolated. Both give the frame where the click's beat sounds.
struct ClickFinder {
    std::vector<float> tpl; // the click as heard, from kLead source frames before its beat
    std::vector<float> tplEnv;
    double tplLead = 0;      // heard frames from the template's start to the beat
    double tplCentroid = 0;  // heard frames from the beat to the template's energy centroid
    std::vector<float> hist; // the last output frames (left), a ring
    std::uint64_t written = 0;
    std::vector<std::uint64_t> pending;
    Onsets onsets;
    static constexpr std::size_t kRing = 1 << 15;
    // The window reaches a stretcher's smear (its 2048-frame window) either side of the click.
    static constexpr int kBefore = 3000, kAfter = 3000, kSearch = 220;
    static constexpr std::size_t kSmooth = 22;

    ClickFinder(const std::vector<float> &shape, double step, bool keyLock) : hist(kRing, 0.0f) {
        const double squeeze = keyLock ? 1.0 : step; // source frames per heard frame within the click
        tplLead = kLead / squeeze;
        tpl.resize(std::size_t(double(shape.size()) / squeeze));
        for (std::size_t i = 0; i < tpl.size(); ++i) {
            const double s = double(i) * squeeze;
            const std::size_t k = std::size_t(s);
            const double t = s - double(k);
            tpl[i] = float(shape[k] * (1 - t) + (k + 1 < shape.size() ? shape[k + 1] : 0.0f) * t);
        }
        tplEnv = envelope(tpl);
        double e = 0, et = 0;
        for (std::size_t i = 0; i < tpl.size(); ++i) {
            e += double(tpl[i]) * tpl[i];
            et += double(i) * tpl[i] * tpl[i];
        }
        tplCentroid = et / e - tplLead;
    }
    float at(std::uint64_t f) const { return hist[f % kRing]; }
    // Energy smoothed over one 2 kHz cycle: a stretched click keeps its envelope, not its waveform's
    // phase, so its waveform may match the template a cycle off.
    static std::vector<float> envelope(const std::vector<float> &x) {
        std::vector<float> env(x.size());
        double run = 0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            run += double(x[i]) * x[i];
            if (i >= kSmooth)
                run -= double(x[i - kSmooth]) * x[i - kSmooth];
            env[i] = float(run / kSmooth);
        }
        return env;
    }

    // found(onset, centroid, xcorr): the coarse onset and the beat's frame by either measure.
    template <class F> void feed(const std::vector<std::int16_t> &out, std::uint64_t frame0, F &&found) {
        for (std::size_t i = 0; i < out.size() / 2; ++i)
            hist[(frame0 + i) % kRing] = float(out[2 * i]);
        written = frame0 + out.size() / 2;
        onsets.feed(out, frame0, [&](double f) { pending.push_back(std::uint64_t(f)); });
        while (!pending.empty() && pending.front() + tpl.size() + kAfter + 2 * kSearch < written) {
            const std::uint64_t f = pending.front();
            pending.erase(pending.begin());
            if (f < kBefore + kSearch)
                continue;
            double e = 0, et = 0;
            for (std::uint64_t g = f - kBefore; g < f + tpl.size() + kAfter; ++g) {
                const double v = at(g);
                e += v * v;
                et += double(g - (f - kBefore)) * v * v;
            }
            const double centroid = double(f - kBefore) + et / e - tplCentroid;
            // The template's start lies near centroid - tplLead; look kSearch frames either side.
            const std::int64_t mid = std::int64_t(std::lround(centroid - tplLead));
            std::vector<float> seg(tpl.size() + 2 * kSearch + 2);
            for (std::size_t j = 0; j < seg.size(); ++j)
                seg[j] = at(std::uint64_t(mid - kSearch - 1) + j);
            const std::vector<float> env = envelope(seg);
            auto corr = [&](std::int64_t start) {
                double c = 0;
                const std::size_t o = std::size_t(start - (mid - kSearch - 1));
                for (std::size_t j = 0; j < tpl.size(); ++j)
                    c += double(tplEnv[j]) * env[o + j];
                return c;
            };
            std::int64_t best = mid;
            double bestC = -1e300;
            for (std::int64_t s = mid - kSearch; s <= mid + kSearch; ++s) {
                const double c = corr(s);
                if (c > bestC) {
                    bestC = c;
                    best = s;
                }
            }
            const double cl = corr(best - 1), cr = corr(best + 1);
            const double den = cl - 2 * bestC + cr;
            const double frac = den < 0 ? 0.5 * (cl - cr) / den : 0.0;
            found(double(f), centroid, double(best) + frac + tplLead);
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
    const double stepB = syncRate * b.SampleRate() / sound::kDeviceRate;
    const auto shapeA = clickShape(argv[1], 0.5), shapeB = clickShape(argv[3], 0.5);
    ClickFinder onA(shapeA, stepA, keyLock), onB(shapeB, stepB, keyLock);
    constexpr int kWays = 3;
    const char *ways[kWays] = {"onset", "centroid", "envelope xcorr"};
    double lastA[kWays] = {-1, -1, -1};
    Stats aVsTempo[kWays], bVsA[kWays];
    const double periodHeard = periodA / stepA;
    const std::uint64_t total = std::uint64_t(minutes * 60 * sound::kDeviceRate);
    std::uint64_t nextCheck = 0, nextReport = 0;
    double pull = 0;
    int report = 0;
    auto print = [&](double at) {
        std::printf("%.0f min (key lock %s, pitch %+.1f %%)\n", at, keyLock ? "on" : "off", pitch / 10.0);
        for (int w = 0; w < kWays; ++w) {
            aVsTempo[w].print((std::string("A's clicks against its tempo, ") + ways[w]).c_str());
            bVsA[w].print((std::string("B's clicks against A's, ") + ways[w]).c_str());
            aVsTempo[w] = {};
            bVsA[w] = {};
        }
        std::fflush(stdout);
    };
    while (devA->framesRendered() < total) {
        const std::uint64_t f0 = devA->framesRendered();
        outA = devA->render(kBlock);
        outB = devB->render(kBlock);
        onA.feed(outA, f0, [&](double onset, double centroid, double xcorr) {
            const double f[kWays] = {onset, centroid, xcorr};
            for (int w = 0; w < kWays; ++w) {
                lastA[w] = f[w];
                if (f0 > 44100 * 2)
                    aVsTempo[w].add((f[w] - expectedA(f[w])) * 1000.0 / sound::kDeviceRate);
            }
        });
        onB.feed(outB, f0, [&](double onset, double centroid, double xcorr) {
            const double f[kWays] = {onset, centroid, xcorr};
            for (int w = 0; w < kWays; ++w) {
                if (lastA[w] < 0 || f0 <= 44100 * 2)
                    continue;
                // Against A's nearest click (A's own output next to it).
                double d = f[w] - lastA[w];
                d -= std::round(d / periodHeard) * periodHeard;
                bVsA[w].add(d * 1000.0 / sound::kDeviceRate);
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
        if (f0 >= nextReport && f0 > 0)
            print(report++ * 10.0);
        if (f0 >= nextReport)
            nextReport += std::uint64_t(600 * sound::kDeviceRate);
    }
    print(minutes);
    std::printf("underflows: %llu %llu\n", (unsigned long long)devA->underflows(),
                (unsigned long long)devB->underflows());
    return 0;
}
