#include "app/ProgramAnalysis.h"

namespace mixora::app {

std::unique_ptr<AnalysisService> makeProgramAnalysis([[maybe_unused]] SongTable &table) {
#if MIXORA_HAVE_ANALYSIS
    return std::make_unique<AnalysisService>(
        table, [](const std::string &path, const std::atomic<bool> *cancel, std::string *error) {
            return analysis::analyseFile(path, analysis::Options{}, cancel, error);
        });
#else
    return nullptr;
#endif
}

} // namespace mixora::app
