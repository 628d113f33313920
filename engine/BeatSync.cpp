#include "engine/BeatSync.h"

#include <algorithm>
#include <cmath>

namespace mixora::engine {

namespace {
constexpr double kSecondsPerMinute = 60.0;
} // namespace

double heardBpm(double bpm, std::int32_t sampleRate, int pitch) {
    if (sampleRate <= 0)
        return bpm;
    return bpm * DoublePlayer::FrequencyFor(sampleRate, pitch) / static_cast<double>(sampleRate);
}

std::optional<int> syncPitch(double ownBpm, std::int32_t sampleRate, double targetBpm, int minPitch,
                             int maxPitch) {
    const std::int32_t step = sampleRate / 1000;
    if (ownBpm <= 0 || targetBpm <= 0 || step <= 0)
        return std::nullopt;
    std::optional<int> best;
    double bestDistance = 0.0;
    for (const double factor : {1.0, 2.0, 0.5}) {
        const double wanted = targetBpm * factor / ownBpm; // frequency over rate
        const double pitch = std::round((wanted - 1.0) * sampleRate / step);
        if (pitch < minPitch || pitch > maxPitch)
            continue;
        const double distance = std::abs(wanted - 1.0);
        if (!best || distance < bestDistance) {
            best = static_cast<int>(pitch);
            bestDistance = distance;
        }
    }
    return best;
}

double tempoRatio(double ownHeardBpm, double otherHeardBpm) {
    if (ownHeardBpm <= 0 || otherHeardBpm <= 0)
        return 1.0;
    const double r = std::log2(ownHeardBpm / otherHeardBpm);
    return std::exp2(std::clamp(std::round(r), -1.0, 1.0));
}

double PlayingDeck::sourceAt(std::uint64_t deviceFrame) const {
    const double frames = static_cast<double>(deviceFrame) - static_cast<double>(clock.deviceFrame);
    return clock.sourceFrame + (clock.playing ? frames * clock.rate : 0.0);
}

double alignedStartSource(const PlayingDeck &other, std::uint64_t deviceFrame, const BeatGrid &own,
                          std::int32_t ownSampleRate, double hintSource, double ratio) {
    const double otherSeconds = other.sourceAt(deviceFrame) / other.sampleRate;
    const double otherBeats =
        (otherSeconds - other.grid.firstBeatSeconds) * other.grid.bpm / kSecondsPerMinute;
    const double wantedPhase = otherBeats * ratio - std::floor(otherBeats * ratio);
    const double ownPeriod = kSecondsPerMinute / own.bpm;
    const double hintBeats = (hintSource / ownSampleRate - own.firstBeatSeconds) / ownPeriod;
    double beats = std::round(hintBeats - wantedPhase) + wantedPhase;
    double seconds = own.firstBeatSeconds + beats * ownPeriod;
    while (seconds < 0) {
        beats += 1;
        seconds = own.firstBeatSeconds + beats * ownPeriod;
    }
    return seconds * ownSampleRate;
}

std::uint64_t beatStartFrame(const PlayingDeck &other, std::uint64_t earliestFrame, double framesToOwnBeat) {
    if (!other.clock.playing || other.clock.rate <= 0 || other.grid.bpm <= 0)
        return earliestFrame;
    // The other's beats, in device frames: beat k sounds at its clock frame plus the source
    // frames to it over its rate.
    const double periodSource = kSecondsPerMinute / other.grid.bpm * other.sampleRate;
    const double firstSource = other.grid.firstBeatSeconds * other.sampleRate;
    const double wantedBeatFrame = static_cast<double>(earliestFrame) + framesToOwnBeat;
    const double sourceThen = other.sourceAt(earliestFrame) + framesToOwnBeat * other.clock.rate;
    const double k = std::ceil((sourceThen - firstSource) / periodSource);
    const double beatSource = firstSource + k * periodSource;
    const double beatFrame = wantedBeatFrame + (beatSource - sourceThen) / other.clock.rate;
    return static_cast<std::uint64_t>(
        std::llround(std::max(beatFrame - framesToOwnBeat, double(earliestFrame))));
}

} // namespace mixora::engine
