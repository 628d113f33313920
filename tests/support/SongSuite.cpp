#include "tests/support/SongSuite.h"

#include <lame/lame.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <stdexcept>

namespace mixora::test {

namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;
// The decoder's own delay in samples (synthesis filterbank), on top of the encoder's.
constexpr int kDecoderDelaySamples = 529;

using Rng = std::mt19937;

double uniform(Rng &rng, double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

struct Mix {
    std::vector<float> left, right;
    int rate;

    Mix(double seconds, int sampleRate)
        : left(static_cast<std::size_t>(seconds * sampleRate)), right(left.size()), rate(sampleRate) {}

    // Adds a mono one-shot at a time (seconds), panned (-1 left … 1 right).
    void add(const std::vector<float> &sound, double at, float gain, float pan = 0.0f) {
        const long start = std::lround(at * rate);
        const float gl = gain * std::min(1.0f, 1.0f - pan);
        const float gr = gain * std::min(1.0f, 1.0f + pan);
        for (std::size_t i = 0; i < sound.size(); ++i) {
            const long j = start + static_cast<long>(i);
            if (j < 0)
                continue;
            if (j >= static_cast<long>(left.size()))
                break;
            left[static_cast<std::size_t>(j)] += gl * sound[i];
            right[static_cast<std::size_t>(j)] += gr * sound[i];
        }
    }
};

std::vector<float> kick(int rate, Rng &rng) {
    const double f0 = uniform(rng, 110, 170), f1 = uniform(rng, 42, 60), decay = uniform(rng, 0.18, 0.35);
    std::vector<float> s(static_cast<std::size_t>(0.5 * rate));
    double phase = 0.0;
    std::normal_distribution<double> noise(0.0, 1.0);
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        phase += kTwoPi * (f1 + (f0 - f1) * std::exp(-t / 0.03)) / rate;
        const double click = t < 0.003 ? 0.3 * noise(rng) : 0.0;
        s[i] = static_cast<float>(std::exp(-t / decay) * std::sin(phase) + click);
    }
    return s;
}

std::vector<float> snare(int rate, Rng &rng) {
    const double tone = uniform(rng, 170, 240), decay = uniform(rng, 0.1, 0.22);
    std::vector<float> s(static_cast<std::size_t>(0.4 * rate));
    std::normal_distribution<double> noise(0.0, 1.0);
    double prev = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const double n = noise(rng);
        const double bright = n - 0.6 * prev; // tilt the noise towards the highs
        prev = n;
        s[i] = static_cast<float>(0.5 * std::exp(-t / 0.06) * std::sin(kTwoPi * tone * t) +
                                  0.5 * std::exp(-t / decay) * bright);
    }
    return s;
}

std::vector<float> hat(int rate, Rng &rng, double decay) {
    std::vector<float> s(static_cast<std::size_t>(std::min(0.6, decay * 6) * rate));
    std::normal_distribution<double> noise(0.0, 1.0);
    double prev = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const double n = noise(rng);
        s[i] = static_cast<float>(0.5 * std::exp(-t / decay) * (n - prev)); // high-passed noise
        prev = n;
    }
    return s;
}

// A note of a few harmonics with an attack and an exponential decay (pluck) or a sustain (pad).
std::vector<float> note(int rate, double hz, double seconds, double attack, double decay, int harmonics) {
    std::vector<float> s(static_cast<std::size_t>(seconds * rate));
    std::vector<std::complex<double>> osc(static_cast<std::size_t>(harmonics), 1.0);
    std::vector<std::complex<double>> step;
    for (int h = 1; h <= harmonics; ++h)
        step.push_back(std::polar(1.0, kTwoPi * hz * h / rate));
    const double release = 0.05;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        double v = 0.0;
        for (std::size_t h = 0; h < osc.size(); ++h) {
            v += osc[h].imag() / static_cast<double>(h + 1);
            osc[h] *= step[h];
        }
        double env = std::min(1.0, t / attack) * std::exp(-t / decay);
        env *= std::min(1.0, (seconds - t) / release);
        s[i] = static_cast<float>(env * v);
    }
    return s;
}

double midiHz(int midi) {
    return 440.0 * std::pow(2.0, (midi - 69) / 12.0);
}

struct Pattern {
    std::vector<int> kick, snare;
};

Pattern patternFor(DrumStyle style, int variant) {
    switch (style) {
    case DrumStyle::Rock:
        return variant % 2 ? Pattern{{0, 8, 10}, {4, 12}} : Pattern{{0, 8}, {4, 12}};
    case DrumStyle::FourOnTheFloor:
        return {{0, 4, 8, 12}, {4, 12}};
    case DrumStyle::Breakbeat:
        return {{0, 6, 10}, {4, 12}};
    case DrumStyle::HipHop:
        return variant % 2 ? Pattern{{0, 3, 8, 11}, {4, 12}} : Pattern{{0, 7, 8}, {4, 12}};
    case DrumStyle::DrumAndBass:
        return {{0, 10}, {4, 12}};
    }
    return {};
}

void renderBeatless(const SongRecipe &recipe, Mix &mix, Rng &rng) {
    // Chords and hits at random times: nothing repeats at a steady period.
    std::exponential_distribution<double> chordGap(1.0 / 2.5), hitGap(1.5);
    const std::vector<float> k = kick(recipe.sampleRate, rng), s = snare(recipe.sampleRate, rng);
    for (double t = 0.2; t < recipe.seconds; t += chordGap(rng)) {
        const int root = 45 + static_cast<int>(uniform(rng, 0, 12));
        const double len = uniform(rng, 1.0, 4.0);
        for (int iv : {0, 4, 7})
            mix.add(note(recipe.sampleRate, midiHz(root + iv), len, 0.2, 3.0, 3), t, 0.12f);
    }
    for (double t = 0.3; t < recipe.seconds; t += hitGap(rng))
        mix.add(uniform(rng, 0, 1) < 0.5 ? k : s, t, static_cast<float>(uniform(rng, 0.2, 0.6)));
}

} // namespace

std::vector<SongRecipe> songSuite() {
    std::vector<SongRecipe> suite;
    Rng rng(20261208);
    const int count = 64;
    for (int i = 0; i < count; ++i) {
        SongRecipe s;
        s.seed = 1000 + static_cast<unsigned>(i);
        // Tempos spread evenly over the range, with fractions a rounding estimator would miss.
        s.bpm = std::round((70.0 + 110.0 * (i + uniform(rng, 0.0, 0.9)) / count) * 100) / 100;
        s.seconds = 60.0 + 60.0 * ((i * 37) % count) / count;
        s.firstBeatSeconds = uniform(rng, 0.05, 2.0);
        if (s.bpm < 100)
            s.style = i % 3 == 0 ? DrumStyle::Rock : DrumStyle::HipHop;
        else if (s.bpm < 135)
            s.style = i % 3 == 0 ? DrumStyle::FourOnTheFloor
                                 : (i % 3 == 1 ? DrumStyle::Rock : DrumStyle::Breakbeat);
        else if (s.bpm < 160)
            s.style = i % 2 ? DrumStyle::Rock : DrumStyle::Breakbeat;
        else
            s.style = i % 2 ? DrumStyle::DrumAndBass : DrumStyle::Rock;
        s.sixteenthHats = s.style == DrumStyle::HipHop || s.style == DrumStyle::Breakbeat || i % 5 == 0;
        s.swing = i % 4 == 1 ? uniform(rng, 0.56, 0.67) : 0.5;
        s.fills = i % 3 != 2;
        s.breaks = i % 4 == 3;
        s.arpeggio = i % 3 == 1;
        s.jitterMs = i % 2 ? 2.0 : 0.0;
        s.gainDb = -uniform(rng, 0.5, 12.0);
        s.vbr = i % 5 == 2;
        s.sampleRate = i % 11 == 4 ? 48000 : 44100;
        s.name = "song" + std::to_string(i);
        suite.push_back(s);
    }
    // The slow intro: eight bars of pads before the drums.
    suite[7].introBars = 8;
    suite[7].breaks = false;
    suite[40].introBars = 4;

    for (int i = 0; i < 2; ++i) {
        SongRecipe s;
        s.name = "beatless" + std::to_string(i);
        s.steadyBeat = false;
        s.seconds = 60.0;
        s.seed = 5000 + static_cast<unsigned>(i);
        suite.push_back(s);
    }
    return suite;
}

std::vector<std::int16_t> renderSong(const SongRecipe &recipe) {
    Rng rng(recipe.seed);
    const int rate = recipe.sampleRate;
    Mix mix(recipe.seconds, rate);
    if (!recipe.steadyBeat) {
        renderBeatless(recipe, mix, rng);
    } else {
        const double beat = 60.0 / recipe.bpm;
        const double bar = 4 * beat;
        const std::vector<float> k = kick(rate, rng), sn = snare(rate, rng);
        const std::vector<float> closed = hat(rate, rng, uniform(rng, 0.02, 0.05));
        const std::vector<float> open = hat(rate, rng, uniform(rng, 0.12, 0.25));
        const float kickGain = static_cast<float>(uniform(rng, 0.7, 1.0));
        const float snareGain = static_cast<float>(uniform(rng, 0.5, 0.9));
        const float hatGain = static_cast<float>(uniform(rng, 0.1, 0.3));
        const Pattern pattern = patternFor(recipe.style, static_cast<int>(recipe.seed));
        std::normal_distribution<double> jitter(0.0, recipe.jitterMs / 1000.0);
        // A 16-step bar; odd steps of the swung level move later.
        auto stepTime = [&](double barStart, int step) {
            const int unit = recipe.sixteenthHats ? 1 : 2;
            const double pair = beat / 4 * unit * 2;
            const int pos = step / unit;
            const double base = barStart + (pos / 2) * pair;
            const double t = pos % 2 ? base + recipe.swing * pair : base;
            return t + (step % unit) * beat / 4;
        };
        auto hit = [&](const std::vector<float> &sound, double t, float gain, float pan = 0.0f) {
            const double j = recipe.jitterMs > 0 ? jitter(rng) : 0.0;
            mix.add(sound, t + j, gain * static_cast<float>(uniform(rng, 0.85, 1.0)), pan);
        };

        const int bars = static_cast<int>((recipe.seconds - recipe.firstBeatSeconds) / bar) + 1;
        const int key = 40 + static_cast<int>(recipe.seed % 12);
        const int progression[4][3] = {{0, 4, 7}, {9, 12, 16}, {5, 9, 12}, {7, 11, 14}};
        for (int b = 0; b < bars; ++b) {
            const double t0 = recipe.firstBeatSeconds + b * bar;
            const int *chord = progression[b % 4];
            // Pads: a slow attack in the intro, a quicker one later.
            const double attack = b < recipe.introBars ? 0.4 : 0.08;
            for (int n = 0; n < 3; ++n)
                mix.add(note(rate, midiHz(key + 12 + chord[n]), bar, attack, 6.0, 3), t0, 0.06f,
                        static_cast<float>(n - 1) * 0.4f);
            if (b < recipe.introBars)
                continue;
            const bool breakBar = recipe.breaks && b % 16 >= 12;
            // Bass on the kick's steps.
            for (int step : pattern.kick)
                mix.add(note(rate, midiHz(key + chord[0] - 12), beat * 0.9, 0.005, 0.25, 4),
                        stepTime(t0, step), 0.25f);
            if (recipe.arpeggio)
                for (int e = 0; e < 8; ++e)
                    mix.add(note(rate, midiHz(key + 24 + chord[e % 3]), beat / 2, 0.003, 0.12, 3),
                            stepTime(t0, 2 * e), 0.07f, 0.3f);
            if (breakBar)
                continue;
            const bool fillBar = recipe.fills && b % 8 == 7;
            for (int step = 0; step < 16; ++step) {
                const double t = stepTime(t0, step);
                if (fillBar && step >= 8) {
                    hit(sn, t, snareGain * (0.5f + 0.05f * static_cast<float>(step - 8)));
                    continue;
                }
                if (std::find(pattern.kick.begin(), pattern.kick.end(), step) != pattern.kick.end())
                    hit(k, t, kickGain);
                if (std::find(pattern.snare.begin(), pattern.snare.end(), step) != pattern.snare.end())
                    hit(sn, t, snareGain);
                const bool hatStep = recipe.sixteenthHats || step % 2 == 0;
                if (hatStep) {
                    const bool offBeatOpen = recipe.style == DrumStyle::FourOnTheFloor && step % 4 == 2;
                    hit(offBeatOpen ? open : closed, t, hatGain * (step % 4 == 0 ? 1.0f : 0.7f), 0.2f);
                }
            }
        }
    }

    float peak = 1e-9f;
    for (std::size_t i = 0; i < mix.left.size(); ++i)
        peak = std::max({peak, std::abs(mix.left[i]), std::abs(mix.right[i])});
    const float scale = static_cast<float>(std::pow(10.0, recipe.gainDb / 20.0)) * 32767.0f / peak;
    std::vector<std::int16_t> out(2 * mix.left.size());
    for (std::size_t i = 0; i < mix.left.size(); ++i) {
        out[2 * i] = static_cast<std::int16_t>(std::lround(mix.left[i] * scale));
        out[2 * i + 1] = static_cast<std::int16_t>(std::lround(mix.right[i] * scale));
    }
    return out;
}

EncodedSong encodePcm(const std::vector<std::int16_t> &stereo, int sampleRate, bool vbr) {
    lame_global_flags *lame = lame_init();
    if (!lame)
        throw std::runtime_error("lame_init failed");
    lame_set_in_samplerate(lame, sampleRate);
    lame_set_out_samplerate(lame, sampleRate);
    lame_set_num_channels(lame, 2);
    lame_set_mode(lame, JOINT_STEREO);
    lame_set_quality(lame, 7);
    if (vbr) {
        lame_set_VBR(lame, vbr_default);
        lame_set_VBR_quality(lame, 4.0f);
    } else {
        lame_set_VBR(lame, vbr_off);
        lame_set_brate(lame, 192);
    }
    if (lame_init_params(lame) < 0) {
        lame_close(lame);
        throw std::runtime_error("lame_init_params failed");
    }
    EncodedSong song;
    const int frames = static_cast<int>(stereo.size() / 2);
    std::vector<unsigned char> buf(static_cast<std::size_t>(1.25 * frames + 7200));
    const int bytes = lame_encode_buffer_interleaved(lame, const_cast<short *>(stereo.data()), frames,
                                                     buf.data(), static_cast<int>(buf.size()));
    if (bytes < 0) {
        lame_close(lame);
        throw std::runtime_error("lame_encode_buffer_interleaved failed");
    }
    song.mp3.assign(buf.begin(), buf.begin() + bytes);
    const int tail = lame_encode_flush(lame, buf.data(), static_cast<int>(buf.size()));
    if (tail > 0)
        song.mp3.insert(song.mp3.end(), buf.begin(), buf.begin() + tail);
    std::vector<unsigned char> tag(16384);
    const std::size_t n = lame_get_lametag_frame(lame, tag.data(), tag.size());
    if (n > 0 && n <= song.mp3.size())
        std::copy(tag.begin(), tag.begin() + static_cast<long>(n), song.mp3.begin());
    song.delaySeconds = static_cast<double>(lame_get_encoder_delay(lame) + kDecoderDelaySamples) / sampleRate;
    lame_close(lame);
    return song;
}

EncodedSong encodeSong(const SongRecipe &recipe) {
    return encodePcm(renderSong(recipe), recipe.sampleRate, recipe.vbr);
}

} // namespace mixora::test
