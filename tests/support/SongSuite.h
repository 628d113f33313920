// Generated test songs with a known beat: drum patterns (kick, snare, hi-hat; straight or
// swung; fills and breaks; an intro without drums) over bass, pads and arpeggios, at known
// tempos, encoded with libmp3lame. Also songs without a steady beat. Deterministic per seed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mixora::test {

enum class DrumStyle { Rock, FourOnTheFloor, Breakbeat, HipHop, DrumAndBass };

struct SongRecipe {
    std::string name;
    double bpm = 120.0;
    double firstBeatSeconds = 0.5; // the first beat in the rendered audio
    double seconds = 60.0;
    int sampleRate = 44100;
    DrumStyle style = DrumStyle::Rock;
    // Where the off-beat note of each swung pair falls, as a share of the pair (0.5 straight).
    double swing = 0.5;
    bool sixteenthHats = false;
    bool fills = false;
    bool breaks = false;
    bool arpeggio = false;
    int introBars = 0;     // bars of pads only before the drums come in
    double jitterMs = 0.0; // timing spread of each drum hit
    double gainDb = -1.0;  // peak level of the mix
    bool vbr = false;
    bool steadyBeat = true; // false: sounds at random times, no beat at all
    unsigned seed = 1;
};

// At least 60 songs with a steady beat at tempos spread over 70-180 BPM, 60-120 s long,
// followed by a few without a steady beat.
std::vector<SongRecipe> songSuite();

// Interleaved stereo samples at recipe.sampleRate.
std::vector<std::int16_t> renderSong(const SongRecipe &recipe);

struct EncodedSong {
    std::vector<std::uint8_t> mp3;
    // How much later than in the rendered audio everything sounds in the decoded stream
    // (encoder delay plus the decoder's own delay; no gapless trimming).
    double delaySeconds = 0.0;
};
EncodedSong encodeSong(const SongRecipe &recipe);
EncodedSong encodePcm(const std::vector<std::int16_t> &stereo, int sampleRate, bool vbr = false);

} // namespace mixora::test
