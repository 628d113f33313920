#include "analysis/Preferences.h"

#include "settings/IniFile.h"

#include <optional>
#include <string>

namespace mixora::analysis {
Options readOptions(const std::filesystem::path &iniFile) {
    Options options;
    try {
        const settings::IniFile ini(iniFile);
        const auto low = settings::parseNumber(ini.readString("Analyse", "MinBPM"));
        const auto high = settings::parseNumber(ini.readString("Analyse", "MaxBPM"));
        // The range must hold a whole octave, or some tempos would have no place in it.
        if (low && high && *low >= 30.0 && *high <= 400.0 && *high >= 2.0 * *low) {
            options.minBpm = *low;
            options.maxBpm = *high;
        }
    } catch (const settings::IniError &) {
        // An unreadable settings file is reported where the program reads its devices.
    }
    return options;
}

} // namespace mixora::analysis
