// Where a deck's rendered output comes from: the offset of its song's decoded audio that the
// output at a device frame matches best, found by correlation. A ruler for beat phase that
// trusts nothing the player says about itself.
#pragma once

#include "engine/Formate.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace mixora::test {

// The decoded stream of a file as mono samples, as a deck plays it.
inline std::vector<float> decodeMono(const std::string &path, int &sampleRate) {
    engine::Mp3Player reader(path);
    sampleRate = reader.sampleRate;
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(reader.frameBytes));
    std::vector<float> mono;
    const int channels = reader.channels;
    for (;;) {
        const int r = reader.ReadFrames(1, frame.data());
        if (r == engine::Mp3Player::kEndOfInput)
            break;
        const auto *s = reinterpret_cast<const std::int16_t *>(frame.data());
        for (std::size_t i = 0; i + channels <= frame.size() / 2; i += channels)
            mono.push_back(channels == 2 ? 0.5f * (s[i] + s[i + 1]) : s[i]);
    }
    return mono;
}

inline std::vector<float> toMono(const std::vector<std::int16_t> &stereo) {
    std::vector<float> mono(stereo.size() / 2);
    for (std::size_t i = 0; i < mono.size(); ++i)
        mono[i] = 0.5f * (stereo[2 * i] + stereo[2 * i + 1]);
    return mono;
}

// Normalised correlation of output[x, x + window) with source read from start in steps of step
// (linear interpolation); every array may be decimated by the same factor.
inline double correlation(const std::vector<float> &output, std::size_t x, std::size_t window,
                          const std::vector<float> &source, double start, double step) {
    double num = 0, den = 0;
    for (std::size_t i = 0; i < window; ++i) {
        const double t = start + static_cast<double>(i) * step;
        const auto k = static_cast<std::int64_t>(std::floor(t));
        if (k < 0 || k + 1 >= static_cast<std::int64_t>(source.size()))
            return -1e300;
        const double f = t - static_cast<double>(k);
        const double v =
            source[static_cast<std::size_t>(k)] * (1 - f) + source[static_cast<std::size_t>(k + 1)] * f;
        num += output[x + i] * v;
        den += v * v;
    }
    return den > 0 ? num / std::sqrt(den) : -1e300;
}

inline std::vector<float> decimate(const std::vector<float> &in, std::size_t factor) {
    std::vector<float> out(in.size() / factor);
    for (std::size_t i = 0; i < out.size(); ++i) {
        float sum = 0;
        for (std::size_t k = 0; k < factor; ++k)
            sum += in[i * factor + k];
        out[i] = sum / static_cast<float>(factor);
    }
    return out;
}

// The source frame heard at output frame x of a deck playing source at step source frames per
// output frame, searched within ±range source frames of guess: every offset on the low band
// first (so a sharp peak cannot slip between the tried offsets), then to a quarter frame.
inline double locateSource(const std::vector<float> &output, std::size_t x, const std::vector<float> &source,
                           double step, double guess, double range = 11025.0) {
    constexpr std::size_t kWindow = 8192; // long enough that no repeat of the music matches as well
    constexpr std::size_t kFactor = 4;
    if (x + kWindow > output.size())
        return std::numeric_limits<double>::quiet_NaN();
    const std::vector<float> lowOut =
        decimate(std::vector<float>(output.begin() + static_cast<std::ptrdiff_t>(x),
                                    output.begin() + static_cast<std::ptrdiff_t>(x + kWindow)),
                 kFactor);
    static const std::vector<float> *lastSource = nullptr;
    static std::vector<float> lowSource;
    if (lastSource != &source || lowSource.size() != source.size() / kFactor) {
        lowSource = decimate(source, kFactor);
        lastSource = &source;
    }
    double best = guess, bestScore = -1e301;
    for (double d = -range; d <= range; d += kFactor) {
        const double s = correlation(lowOut, 0, lowOut.size(), lowSource, (guess + d) / kFactor, step);
        if (s > bestScore) {
            bestScore = s;
            best = guess + d;
        }
    }
    const double coarse = best;
    bestScore = -1e301;
    for (double d = -2.0 * kFactor; d <= 2.0 * kFactor; d += 0.25) {
        const double s = correlation(output, x, kWindow, source, coarse + d, step);
        if (s > bestScore) {
            bestScore = s;
            best = coarse + d;
        }
    }
    return best;
}

} // namespace mixora::test
