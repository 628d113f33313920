// The program's song analysis, built over the song table with the analysis of the analysis
// library and the preferences of the settings file.
#pragma once

#include "scan/AnalysisService.h"

#include <memory>

namespace mixora::app {

std::unique_ptr<AnalysisService> makeProgramAnalysis(SongTable &table);

} // namespace mixora::app
