// The analysis' settings in "kelox.ini", read once at start-up like the other settings:
//   [Analyse]
//   MinBPM=70
//   MaxBPM=180
// the tempo range preferred where half or double the tempo would fit the beat as well. A
// missing, unreadable or senseless range leaves the defaults.
#pragma once

#include "analysis/Analysis.h"

#include <filesystem>

namespace mixora::analysis {

Options readOptions(const std::filesystem::path &iniFile);

} // namespace mixora::analysis
