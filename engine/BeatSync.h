// The arithmetic of playing two decks in time: the tempo a deck is heard at, the pitch that
// matches it to the other deck, and where or when a deck must start so that its beats fall on
// the other deck's beats. Pure functions over beat grids and deck clocks; no player, no sound.
#pragma once

#include "engine/DoublePlayer.h"

#include <cstdint>
#include <optional>

namespace mixora::engine {

// A song's beat grid at its own rate: tempo and the time of its first beat in the decoded stream.
struct BeatGrid {
    double bpm = 0.0;
    double firstBeatSeconds = 0.0;
};

// The tempo heard at this pitch: the song's tempo times the playback frequency over its rate.
double heardBpm(double bpm, std::int32_t sampleRate, int pitch);

// The pitch (within minPitch..maxPitch) at which a song of ownBpm is heard at targetBpm, or at
// half or double of it where that needs less pitch; none when no candidate fits the range.
std::optional<int> syncPitch(double ownBpm, std::int32_t sampleRate, double targetBpm, int minPitch = -200,
                             int maxPitch = 200);

// A deck as the other deck's start sees it: its clock, the rate of its stream and its grid.
struct PlayingDeck {
    DoublePlayer::PlayClock clock;
    std::int32_t sampleRate = 0;
    BeatGrid grid;
    // The stream's sample heard at deviceFrame (the clock moved on).
    double sourceAt(std::uint64_t deviceFrame) const;
};

// Where a deck of this grid and rate, standing near hintSource, starts at deviceFrame so that
// its beats coincide with the playing deck's (its beat count a multiple of the other's by
// tempoRatio: 1, 2 or 1/2). The start nearest hintSource, never before the stream's start.
double alignedStartSource(const PlayingDeck &other, std::uint64_t deviceFrame, const BeatGrid &own,
                          std::int32_t ownSampleRate, double hintSource, double tempoRatio);

// The first device frame at or after earliestFrame at which a deck that reaches its own next
// beat framesToOwnBeat device frames after its start lands that beat on a beat of the other.
std::uint64_t beatStartFrame(const PlayingDeck &other, std::uint64_t earliestFrame, double framesToOwnBeat);

// The ratio of two heard tempos snapped to 1, 2 or 1/2 (whichever is nearest).
double tempoRatio(double ownHeardBpm, double otherHeardBpm);

// The exact playback ratio (frequency over the song's rate, within minRatio..maxRatio) at which a song
// of ownBpm is heard at targetBpm, or at half or double of it where that needs less change; none when
// no candidate fits. syncPitch is its nearest pitch step.
std::optional<double> syncRatio(double ownBpm, double targetBpm, double minRatio, double maxRatio);

// How far (seconds heard on the own deck; positive: ahead) the own deck's beats stand from the other's at
// the later of the two clocks' frames, counted by tempoRatio (1, 2 or 1/2) and less offsetBeats. None when
// a deck does not play or lacks a grid.
std::optional<double> phaseError(const PlayingDeck &own, const PlayingDeck &other, double tempoRatio,
                                 double offsetBeats = 0.0);

// The rate correction (ratio − 1) that pulls a phase error in smoothly: proportional to it, never more
// than kMaxPhaseCorrection, none within kPhaseDeadbandSeconds.
inline constexpr double kMaxPhaseCorrection = 0.001;
inline constexpr double kPhaseDeadbandSeconds = 0.0002;
double phaseCorrection(double errorSeconds);

} // namespace mixora::engine
