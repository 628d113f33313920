// What the analysis learns of a song from its decoded audio: tempo and beat grid, loudness,
// the audible start and end, and a waveform overview for the seek bar.
//
// Qt-free and never used on the audio thread: it decodes with a reader of its own, so a
// deck that plays the same file is not disturbed.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mixora::analysis {

// Columns of the overview; each column is two bytes (peak, RMS), so at most 4 KB a song.
inline constexpr int kOverviewColumns = 2048;

struct Options {
    // The tempo range preferred where half or double would fit the beat as well.
    double minBpm = 70.0;
    double maxBpm = 180.0;
};

struct Result {
    // Steady tempo to 0.01 BPM and the time of the grid's first beat; both empty for a song
    // without a steady beat (no tempo rather than a wrong one).
    std::optional<double> bpm;
    std::optional<double> firstBeatSeconds;
    // EBU R128 integrated loudness; empty for a silent song.
    std::optional<double> loudnessLufs;
    // First and last moment the signal rises above -60 dBFS, as seconds from the start of the
    // audio and as byte offsets of the file (the frame that holds the moment; the unit of
    // "StartZeit"). A silent song: start 0, end the end of the audio.
    double audibleStartSeconds = 0.0;
    double audibleEndSeconds = 0.0;
    std::int64_t audibleStartByte = 0;
    std::int64_t audibleEndByte = 0;
    double durationSeconds = 0.0;
    // kOverviewColumns × {peak, RMS}, each 0..255 on a linear amplitude scale, in time order.
    std::vector<std::uint8_t> overview;
};

// Analyses one MP3 file (UTF-8 path). Returns nothing when the file cannot be decoded (error
// gets a German sentence) or when cancel became true meanwhile.
std::optional<Result> analyseFile(const std::string &path, const Options &options,
                                  const std::atomic<bool> *cancel = nullptr, std::string *error = nullptr);

} // namespace mixora::analysis
