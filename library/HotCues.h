// A song's hot cues: up to eight marks per song (pads 1–8), each a position in the decoded
// stream and, when the DJ saved one, a loop length from there. Kept in data.db in a table of
// their own ("HotCues", keyed by the row's "Index" and the pad), apart from the song table's
// one cue point "StartZeit".
//
// Positions are samples (frames) of the decoded stream, not bytes of the file: a tag rewrite
// that moves the audio inside the file leaves them on the same audio, so they never move (see
// BytePositions.h). They are doubles, exact for every whole sample and for a fraction of one.
//
// Works over the song table's connection, on the thread that owns the table. The table is added
// to an existing data.db when the store attaches; a trigger removes a song's hot cues with its
// row, whoever deletes it (this program, an older one, the sqlite3 shell). A rescan keeps the
// row and so its hot cues, and so does a new "Dateiname" (the DJ moved the file).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace mixora {

class SongTable;

struct HotCue {
    int pad = 1;                       // 1 … kHotCuePads
    double sample = 0.0;               // in the decoded stream, at the song's own rate
    std::optional<double> loopSamples; // a saved loop's length, from sample on
    std::uint32_t rgb = 0;             // 0xRRGGBB
    friend bool operator==(const HotCue &, const HotCue &) = default;
};

inline constexpr int kHotCuePads = 8;

// The pads' colours until the DJ picks others: bright and far apart in hue, so each reads on
// the dark deck and in the waveform strip and no two are taken for each other.
inline constexpr std::array<std::uint32_t, kHotCuePads> kHotCueColours{
    0xFF4A4A, // red
    0xFF9B2F, // orange
    0xFFE14D, // yellow
    0x4BE36A, // green
    0x3FD9E8, // cyan
    0x5C9BFF, // blue
    0xB67CFF, // violet
    0xFF6FCF, // pink
};

// The colour of a pad that has none of its own; 0 outside 1 … kHotCuePads.
std::uint32_t defaultHotCueColour(int pad);

class HotCueStore {
public:
    explicit HotCueStore(SongTable &table);

    // Adds the table and its trigger when they are missing; harmless to repeat. Throws
    // DatabaseError when the table is closed or the file cannot be changed.
    void attach();

    // The song's hot cues in pad order; none for a song without any (or a file the store has
    // not attached to yet).
    std::vector<HotCue> load(std::int64_t index) const;
    // Sets or replaces the cue of its pad. False when no row has this "Index" (deleted
    // meanwhile). Throws std::invalid_argument for a pad outside 1 … kHotCuePads, a position
    // that is negative or not finite, or a loop length that is not positive.
    bool save(std::int64_t index, const HotCue &cue);
    // Clears one pad; nothing happens when it is empty.
    void remove(std::int64_t index, int pad);

private:
    SongTable &table_;
};

} // namespace mixora
