#include "engine/sound/MixSteps.h"

#include "engine/sound/Sound.h"

#include <algorithm>
#include <cmath>

namespace mixora::sound::detail {

namespace {

constexpr double kSlaveFilterSeconds = 0.5;
constexpr double kSlaveKp = 0.5;    // per second
constexpr double kSlaveKi = 0.0625; // per second squared
constexpr double kSlaveJumpSeconds = 0.05;

} // namespace

std::optional<double> SlaveFollower::step(double masterFrames, double slaveFrames, double lengthFrames,
                                          double rateHz, std::uint32_t masterJumps,
                                          std::size_t periodFrames) {
    double err = masterFrames - slaveFrames;
    // The shorter way round the loop.
    if (err > lengthFrames / 2)
        err -= lengthFrames;
    else if (err < -lengthFrames / 2)
        err += lengthFrames;
    const double jumpFrames = std::min(lengthFrames / 4, kSlaveJumpSeconds * rateHz);
    if (!synced_ || masterJumps != seenJumps_ || std::fabs(err) > jumpFrames) {
        seenJumps_ = masterJumps;
        synced_ = true;
        errFiltered_ = 0;
        errIntegral_ = 0;
        return std::nullopt;
    }
    const double dt = double(periodFrames) / kDeviceRate;
    errFiltered_ += (err - errFiltered_) * std::min(1.0, dt / kSlaveFilterSeconds);
    double c = (kSlaveKp * errFiltered_ + kSlaveKi * errIntegral_) / rateHz;
    if (c > kMaxSlaveCorrection)
        c = kMaxSlaveCorrection;
    else if (c < -kMaxSlaveCorrection)
        c = -kMaxSlaveCorrection;
    else
        errIntegral_ += errFiltered_ * dt; // no wind-up while saturated
    return c;
}

ResampleEnd resampleAdd(const SampleSource &source, std::uint64_t pos, std::uint64_t step, float startGain,
                        float endGain, float *acc, std::size_t n) {
    const std::int64_t frames = source.frames;
    const std::uint64_t length = std::uint64_t(frames) << 32;
    const int ch = source.channels;
    const bool looping = source.looping;
    const std::size_t rampFrames = startGain == endGain ? 0 : std::min(n, kMaxRampFrames);
    auto sampleAt = [&](std::int64_t f, int c) -> float {
        if (f < 0 || f >= frames) {
            if (!looping)
                return 0.0f;
            f %= frames;
            if (f < 0)
                f += frames;
        }
        return float(source.samples[std::size_t(f * ch + c)].load(std::memory_order_relaxed));
    };

    // The cubic through four neighbours p0 … p3 at t between p1 and p2.
    auto cubic = [](float p0, float p1, float p2, float p3, float t) {
        return p1 + 0.5f * t *
                        (p2 - p0 +
                         t * (2.0f * p0 - 5.0f * p1 + 4.0f * p2 - p3 + t * (3.0f * (p1 - p2) + p3 - p0)));
    };
    const std::atomic<std::int16_t> *samples = source.samples;

    ResampleEnd end;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t f = std::int64_t(pos >> 32);
        const float t = float(pos & 0xFFFFFFFFu) / 4294967296.0f;
        if (ch == 2 && i >= rampFrames && f >= 1 && f + 2 < frames) {
            // Well inside a stereo source at a steady volume, as most of a period is: the same sums
            // without the checks for the source's ends.
            for (int c = 0; c < 2; ++c) {
                auto at = [&](std::int64_t k) {
                    return float(samples[2 * k + c].load(std::memory_order_relaxed));
                };
                const float p1 = at(f);
                acc[2 * i + c] += endGain * (t == 0.0f ? p1 : cubic(at(f - 1), p1, at(f + 1), at(f + 2), t));
            }
        } else {
            float g = endGain;
            if (i < rampFrames)
                g = startGain + (endGain - startGain) * float(i + 1) / float(rampFrames);
            for (int c = 0; c < ch; ++c) {
                const float p1 = sampleAt(f, c);
                // A whole position takes the sample as it is.
                const float v =
                    t == 0.0f ? p1 : cubic(sampleAt(f - 1, c), p1, sampleAt(f + 1, c), sampleAt(f + 2, c), t);
                if (ch == 1) {
                    acc[2 * i] += g * v;
                    acc[2 * i + 1] += g * v;
                } else {
                    acc[2 * i + c] += g * v;
                }
            }
        }
        pos += step;
        if (pos >= length) {
            if (looping) {
                pos %= length;
                ++end.wraps;
            } else {
                pos = 0;
                end.stopped = true;
                break;
            }
        }
    }
    end.pos = pos;
    return end;
}

void addScaled(const float *block, float startGain, float endGain, float *acc, std::size_t n) {
    const std::size_t rampFrames = startGain == endGain ? 0 : std::min(n, kMaxRampFrames);
    for (std::size_t i = 0; i < n; ++i) {
        float g = endGain;
        if (i < rampFrames)
            g = startGain + (endGain - startGain) * float(i + 1) / float(rampFrames);
        acc[2 * i] += g * block[2 * i];
        acc[2 * i + 1] += g * block[2 * i + 1];
    }
}

bool CursorTravel::passed(std::uint64_t offset) const {
    if (wraps > 1)
        return true;
    if (stopped)
        return offset >= startByte;
    if (wraps == 0)
        return offset >= startByte && offset < endByte;
    return offset >= startByte || offset < endByte;
}

} // namespace mixora::sound::detail
