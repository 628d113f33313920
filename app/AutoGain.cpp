#include "app/AutoGain.h"

#include "settings/IniFile.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace mixora::app {

AutoGainSettings AutoGainSettings::read(const std::filesystem::path &iniFile) {
    AutoGainSettings s;
    try {
        const settings::IniFile ini(iniFile);
        s.on = ini.readString(kAutoGainSection, kAutoGainOnKey, "0") == "1";
        // A reference outside what any song could be is a typing error: keep the default.
        if (const auto reference =
                settings::parseNumber(ini.readString(kAutoGainSection, kAutoGainReferenceKey)))
            if (*reference >= -40.0 && *reference <= 0.0)
                s.referenceLufs = *reference;
    } catch (const settings::IniError &) {
    }
    return s;
}

void AutoGainSettings::writeOn(const std::filesystem::path &iniFile, bool on) {
    settings::IniFile ini(iniFile);
    ini.writeString(kAutoGainSection, kAutoGainOnKey, on ? "1" : "0");
    // Shows the DJ where the reference is changed.
    if (ini.readString(kAutoGainSection, kAutoGainReferenceKey).empty())
        ini.writeString(kAutoGainSection, kAutoGainReferenceKey, "-14");
}

double autoGainDb(std::optional<double> loudnessLufs, std::optional<double> peak, double referenceLufs) {
    if (!loudnessLufs || !std::isfinite(*loudnessLufs))
        return 0.0;
    double gain = std::clamp(referenceLufs - *loudnessLufs, kMaxCutDb, kMaxBoostDb);
    const double headroom = peak && *peak > 0.0 ? -20.0 * std::log10(std::min(1.0, *peak)) : 0.0;
    return std::min(gain, headroom);
}

} // namespace mixora::app
