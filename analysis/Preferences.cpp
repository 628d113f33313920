#include "analysis/Preferences.h"

#include "settings/IniFile.h"

#include <charconv>
#include <optional>
#include <string>

namespace mixora::analysis {
namespace {

std::optional<double> number(const std::string &text) {
    double value = 0;
    const char *end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || at != end)
        return std::nullopt;
    return value;
}

} // namespace

Options readOptions(const std::filesystem::path &iniFile) {
    Options options;
    try {
        const settings::IniFile ini(iniFile);
        const auto low = number(ini.readString("Analyse", "MinBPM"));
        const auto high = number(ini.readString("Analyse", "MaxBPM"));
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
