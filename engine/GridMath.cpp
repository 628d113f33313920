#include "engine/GridMath.h"

#include <algorithm>
#include <cmath>

namespace mixora::engine {
namespace {

constexpr double kSecondsPerMinute = 60.0;

// The same grid with its first beat moved by whole beats to the first one at or after the
// stream's start, so the stored figure stays a position in the stream.
BeatGrid normalised(BeatGrid grid) {
    const double period = kSecondsPerMinute / grid.bpm;
    if (grid.firstBeatSeconds < 0.0)
        grid.firstBeatSeconds += std::ceil(-grid.firstBeatSeconds / period) * period;
    return grid;
}

std::optional<BeatGrid> checked(const BeatGrid &grid) {
    if (!acceptableBpm(grid.bpm) || !std::isfinite(grid.firstBeatSeconds))
        return std::nullopt;
    return normalised(grid);
}

} // namespace

bool acceptableBpm(double bpm) {
    return std::isfinite(bpm) && bpm >= kMinGridBpm && bpm <= kMaxGridBpm;
}

double beatSamples(const BeatGrid &grid, std::int32_t sampleRate) {
    if (!(grid.bpm > 0.0) || sampleRate <= 0)
        return 0.0;
    return kSecondsPerMinute * static_cast<double>(sampleRate) / grid.bpm;
}

double beatLineSample(const BeatGrid &grid, std::int32_t sampleRate, double beat) {
    return grid.firstBeatSeconds * static_cast<double>(sampleRate) + beat * beatSamples(grid, sampleRate);
}

double beatNumberAt(const BeatGrid &grid, std::int32_t sampleRate, double sample) {
    const double period = beatSamples(grid, sampleRate);
    if (period <= 0.0)
        return 0.0;
    return (sample - grid.firstBeatSeconds * static_cast<double>(sampleRate)) / period;
}

double nearestBeatSample(const BeatGrid &grid, std::int32_t sampleRate, double sample) {
    if (beatSamples(grid, sampleRate) <= 0.0)
        return sample;
    double beat = std::round(beatNumberAt(grid, sampleRate, sample));
    double line = beatLineSample(grid, sampleRate, beat);
    while (line < 0.0)
        line = beatLineSample(grid, sampleRate, ++beat);
    return line;
}

double loopSamples(const BeatGrid &grid, std::int32_t sampleRate, double beats) {
    return beats * beatSamples(grid, sampleRate);
}

std::optional<double> nextLoopSize(double beats, int direction) {
    if (direction > 0) {
        const auto up = std::upper_bound(kBeatLoopSizes.begin(), kBeatLoopSizes.end(), beats);
        if (up != kBeatLoopSizes.end())
            return *up;
    } else if (direction < 0) {
        const auto down = std::lower_bound(kBeatLoopSizes.begin(), kBeatLoopSizes.end(), beats);
        if (down != kBeatLoopSizes.begin())
            return *std::prev(down);
    }
    return std::nullopt;
}

double beatJumpTarget(const BeatGrid &grid, std::int32_t sampleRate, double position, int beats) {
    return position + static_cast<double>(beats) * beatSamples(grid, sampleRate);
}

double phaseKeepingCueTarget(const BeatGrid &grid, std::int32_t sampleRate, double position,
                             double cueSample) {
    const double period = beatSamples(grid, sampleRate);
    if (period <= 0.0)
        return cueSample;
    double beats = std::round((cueSample - position) / period);
    double target = position + beats * period;
    while (target < 0.0)
        target = position + ++beats * period;
    return target;
}

std::optional<BeatGrid> withTempo(const BeatGrid &grid, double bpm) {
    return checked({bpm, grid.firstBeatSeconds});
}

std::optional<BeatGrid> halveTempo(const BeatGrid &grid) {
    return withTempo(grid, grid.bpm / 2.0);
}

std::optional<BeatGrid> doubleTempo(const BeatGrid &grid) {
    return withTempo(grid, grid.bpm * 2.0);
}

std::optional<BeatGrid> shiftGrid(const BeatGrid &grid, double milliseconds) {
    return checked({grid.bpm, grid.firstBeatSeconds + milliseconds / 1000.0});
}

std::optional<BeatGrid> setBeatHere(const BeatGrid &grid, std::int32_t sampleRate, double sample) {
    if (sampleRate <= 0 || !acceptableBpm(grid.bpm))
        return std::nullopt;
    const double line = beatLineSample(grid, sampleRate, std::round(beatNumberAt(grid, sampleRate, sample)));
    return checked({grid.bpm, grid.firstBeatSeconds + (sample - line) / static_cast<double>(sampleRate)});
}

void TapTempo::tap(double seconds) {
    if (count_ > 0) {
        const double last = at(count_ - 1);
        if (!(seconds > last) || seconds - last > kMaxTapGapSeconds)
            reset();
    }
    if (count_ == kMaxTaps) {
        times_[first_] = seconds;
        first_ = (first_ + 1) % kMaxTaps;
    } else {
        times_[(first_ + count_) % kMaxTaps] = seconds;
        ++count_;
    }
}

void TapTempo::reset() {
    first_ = 0;
    count_ = 0;
}

std::optional<double> TapTempo::bpm() const {
    if (count_ < kMinTaps)
        return std::nullopt;
    // Slope of tap time over tap number; times taken from the first tap keep the sums small.
    const double n = static_cast<double>(count_);
    const double meanIndex = (n - 1.0) / 2.0;
    double meanTime = 0.0;
    for (std::size_t i = 0; i < count_; ++i)
        meanTime += at(i) - at(0);
    meanTime /= n;
    double covariance = 0.0, variance = 0.0;
    for (std::size_t i = 0; i < count_; ++i) {
        const double di = static_cast<double>(i) - meanIndex;
        covariance += di * (at(i) - at(0) - meanTime);
        variance += di * di;
    }
    const double secondsPerBeat = covariance / variance;
    if (!(secondsPerBeat > 0.0))
        return std::nullopt;
    return kSecondsPerMinute / secondsPerBeat;
}

} // namespace mixora::engine
