// Auto-Gain: each deck's song brought to one reference loudness by a gain of its own in the mix,
// beside the volume bars and the crossfader, which keep their meaning. Off unless the DJ turns it
// on, so that what is heard does not change by itself.
//
// Kept in kelox.ini:
//     [AutoGain]
//     An=0          the switch ("Einstellungen" → "Auto-Gain")
//     Referenz=-14  the reference loudness in LUFS
#pragma once

#include <filesystem>
#include <optional>

namespace mixora::app {

inline constexpr char kAutoGainSection[] = "AutoGain";
inline constexpr char kAutoGainOnKey[] = "An";
inline constexpr char kAutoGainReferenceKey[] = "Referenz";
inline constexpr double kDefaultReferenceLufs = -14.0;
// No song is raised by more than this, however quiet it is.
inline constexpr double kMaxBoostDb = 12.0;
// ... nor lowered by more than this (no song is that loud; a wrong figure must not silence it).
inline constexpr double kMaxCutDb = -24.0;

struct AutoGainSettings {
    bool on = false;
    double referenceLufs = kDefaultReferenceLufs;

    // Missing or unreadable entries keep their defaults; a file that cannot be read at all gives
    // the defaults.
    static AutoGainSettings read(const std::filesystem::path &iniFile);
    // Stores the switch; throws IniError when the file cannot be written.
    static void writeOn(const std::filesystem::path &iniFile, bool on);
};

// The gain in dB that brings a song of this loudness to the reference. A boost stops where the
// song's loudest moment (peak, 0..1 of full scale) would reach full scale, so levelling never
// clips; without a known peak a song is only ever lowered. Nothing is known (0 dB) without a
// loudness.
double autoGainDb(std::optional<double> loudnessLufs, std::optional<double> peak, double referenceLufs);

} // namespace mixora::app
