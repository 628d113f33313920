// The arithmetic of a deck's beat grid in stream samples: where the beats are, how loops and
// jumps stay on them, and the DJ's corrections of the grid (halve, double, shift, "set the
// beat here", tap tempo). Pure functions over a BeatGrid and the song's sample rate; no
// player, no clock of its own (taps come with their times), no window.
//
// Positions are samples (frames) of the decoded stream at the song's own rate, as doubles:
// exact for whole samples and keeping the fraction a pitched deck stands at. The grid runs
// on before its first beat (a song may open on an upbeat), but never to a negative position.
#pragma once

#include "engine/BeatSync.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace mixora::engine {

// The tempos a grid the DJ edits may have; anything outside is refused.
inline constexpr double kMinGridBpm = 30.0;
inline constexpr double kMaxGridBpm = 300.0;

// Beat loop sizes in beats, smallest first, and beat jump sizes in beats.
inline constexpr std::array<double, 9> kBeatLoopSizes{0.125, 0.25, 0.5, 1.0, 2.0, 4.0, 8.0, 16.0, 32.0};
inline constexpr std::array<int, 4> kBeatJumpSizes{1, 4, 16, 32};

// A tempo the DJ's grid may have: finite and within kMinGridBpm … kMaxGridBpm.
bool acceptableBpm(double bpm);

// One beat in samples; 0 for a grid without a tempo or a rate.
double beatSamples(const BeatGrid &grid, std::int32_t sampleRate);
// The stream sample of grid line `beat` (0 is the first beat, negative ones come before it).
double beatLineSample(const BeatGrid &grid, std::int32_t sampleRate, double beat);
// The beat number at a stream sample, fractional: 0 at the first beat, 1 a beat later.
double beatNumberAt(const BeatGrid &grid, std::int32_t sampleRate, double sample);
// The grid line nearest a stream sample (the next one where the nearest lies before the
// stream's start); the sample itself for a grid without a tempo.
double nearestBeatSample(const BeatGrid &grid, std::int32_t sampleRate, double sample);
// The loop of `beats` beats (a size of kBeatLoopSizes or any positive one) in samples.
double loopSamples(const BeatGrid &grid, std::int32_t sampleRate, double beats);
// The next loop size up (direction > 0) or down (direction < 0) in kBeatLoopSizes from `beats`;
// nothing past either end.
std::optional<double> nextLoopSize(double beats, int direction);

// Where a jump of `beats` whole beats (negative: back) from a position lands. The distance is
// exact; the caller clamps to the stream.
double beatJumpTarget(const BeatGrid &grid, std::int32_t sampleRate, double position, int beats);
// Where a jump to a hot cue lands that keeps the deck's beat phase: the point a whole number
// of beats from `position` that lies nearest the cue (within half a beat; the cue itself when
// it sits on the grid as the deck's position does). Never before the stream's start.
double phaseKeepingCueTarget(const BeatGrid &grid, std::int32_t sampleRate, double position,
                             double cueSample);

// The DJ's corrections. Each gives the new grid, or nothing when its tempo would be refused
// (see acceptableBpm), so the caller warns and keeps the old grid.
std::optional<BeatGrid> withTempo(const BeatGrid &grid, double bpm); // first beat kept
std::optional<BeatGrid> halveTempo(const BeatGrid &grid);            // first beat kept
std::optional<BeatGrid> doubleTempo(const BeatGrid &grid);           // first beat kept
// The whole grid later by `milliseconds` (earlier when negative), in stream time.
std::optional<BeatGrid> shiftGrid(const BeatGrid &grid, double milliseconds);
// The grid line nearest `sample` moved onto it, the tempo kept.
std::optional<BeatGrid> setBeatHere(const BeatGrid &grid, std::int32_t sampleRate, double sample);

// Tap tempo: the tempo of the last taps once there are kMinTaps of them. A pause of more than
// kMaxTapGapSeconds starts over, and so does a tap at or before the previous one. The tempo
// is the least-squares fit through the taps, so an early or late tap shifts it little.
class TapTempo {
public:
    static constexpr std::size_t kMinTaps = 4;
    static constexpr std::size_t kMaxTaps = 16; // older taps are forgotten: the DJ may retap
    static constexpr double kMaxTapGapSeconds = 2.0;

    // A tap at `seconds` (any steady clock, in seconds).
    void tap(double seconds);
    void reset();
    std::size_t taps() const { return count_; }
    // The tapped tempo, as heard (a pitched deck's song tempo is this over its playback
    // factor); nothing before kMinTaps taps. Not checked: withTempo refuses what is absurd.
    std::optional<double> bpm() const;

private:
    double at(std::size_t i) const { return times_[(first_ + i) % kMaxTaps]; }
    std::array<double, kMaxTaps> times_{};
    std::size_t first_ = 0;
    std::size_t count_ = 0;
};

} // namespace mixora::engine
