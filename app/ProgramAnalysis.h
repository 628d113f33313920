// The program's song analysis, built over the song table with the analysis of the analysis
// library; none where this build has no analysis (the scan window then offers the scan alone).
#pragma once

#include "scan/AnalysisService.h"

#include <memory>

namespace mixora::app {

std::unique_ptr<AnalysisService> makeProgramAnalysis(SongTable &table);

} // namespace mixora::app
