// The beat grid a deck plays by: the analysed one, unless the DJ corrected the row's "Beats".
#pragma once

#include "engine/BeatSync.h"

#include <cstdint>
#include <optional>

namespace mixora::app {

// A corrected "Beats" (one that differs from the whole tempo the analysis wrote there) most
// often counts the same beat at half, double or in thirds: the analysed grid is then scaled
// by the nearest of ½, ⅔, 1, 3⁄2 and 2 that comes within 2 % of the figure, keeping its first
// beat, so the grid stays on the music. A figure no factor fits is taken as it stands, from the
// analysed first beat (or from the song's first sound when the analysis found no steady beat).
// No row figure (or 0): the analysed grid. No analysis at all: no grid.
std::optional<engine::BeatGrid> deckGrid(const std::optional<engine::BeatGrid> &analysed,
                                         std::optional<double> firstSoundSeconds,
                                         std::optional<std::int64_t> rowBeats);

} // namespace mixora::app
