#include "app/DeckTempo.h"

#include <array>
#include <cmath>

namespace mixora::app {

namespace {
constexpr double kFactorTolerance = 0.02;
constexpr std::array<double, 5> kFactors{0.5, 2.0 / 3.0, 1.0, 1.5, 2.0};
} // namespace

std::optional<engine::BeatGrid> deckGrid(const std::optional<engine::BeatGrid> &analysed,
                                         std::optional<double> firstSoundSeconds,
                                         std::optional<std::int64_t> rowBeats) {
    if (!rowBeats || *rowBeats <= 0)
        return analysed;
    const double beats = static_cast<double>(*rowBeats);
    if (!analysed) {
        if (!firstSoundSeconds)
            return std::nullopt;
        return engine::BeatGrid{beats, *firstSoundSeconds};
    }
    if (*rowBeats == std::llround(analysed->bpm))
        return analysed; // the analysis's own figure
    double best = 0.0, bestError = kFactorTolerance;
    for (const double factor : kFactors) {
        const double error = std::abs(analysed->bpm * factor - beats) / beats;
        if (error <= bestError) {
            best = factor;
            bestError = error;
        }
    }
    return engine::BeatGrid{best > 0.0 ? analysed->bpm * best : beats, analysed->firstBeatSeconds};
}

} // namespace mixora::app
