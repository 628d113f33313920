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

std::optional<double> syncRatio(double ownBpm, double targetBpm, double minRatio, double maxRatio) {
    if (!(ownBpm > 0) || !(targetBpm > 0))
        return std::nullopt;
    std::optional<double> best;
    for (const double factor : {1.0, 2.0, 0.5}) {
        const double wanted = targetBpm * factor / ownBpm;
        if (wanted < minRatio || wanted > maxRatio)
            continue;
        if (!best || std::abs(wanted - 1.0) < std::abs(*best - 1.0))
            best = wanted;
    }
    return best;
}

std::optional<double> phaseError(const PlayingDeck &own, const PlayingDeck &other, double ratio,
                                 double offsetBeats) {
    if (!own.clock.playing || !other.clock.playing || own.grid.bpm <= 0 || other.grid.bpm <= 0 ||
        own.sampleRate <= 0 || other.sampleRate <= 0 || own.clock.rate <= 0)
        return std::nullopt;
    const std::uint64_t at = std::max(own.clock.deviceFrame, other.clock.deviceFrame);
    auto beats = [at](const PlayingDeck &d) {
        return (d.sourceAt(at) / d.sampleRate - d.grid.firstBeatSeconds) * d.grid.bpm / kSecondsPerMinute;
    };
    double d = beats(own) - beats(other) * ratio - offsetBeats;
    d -= std::round(d);
    // One own beat lasts this long as heard: its period in the stream over the rate it plays at.
    const double heardBeatSeconds =
        kSecondsPerMinute / own.grid.bpm / (own.clock.rate * sound::kDeviceRate / own.sampleRate);
    return d * heardBeatSeconds;
}

double phaseCorrection(double errorSeconds) {
    if (!(std::abs(errorSeconds) > kPhaseDeadbandSeconds))
        return 0.0;
    // An error closes with a time constant of this (1 ms in about a second and a half), and a large
    // one at the cap's pace.
    constexpr double kPullSecondsPerSecond = 1.0;
    return std::clamp(-errorSeconds / kPullSecondsPerSecond, -kMaxPhaseCorrection, kMaxPhaseCorrection);
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
