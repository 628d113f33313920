#include "app/ProgramAnalysis.h"

#include "analysis/Preferences.h"

namespace mixora::app {

std::unique_ptr<AnalysisService> makeProgramAnalysis(SongTable &table) {
    // The program runs in its folder; its settings are read once, as all of them are.
    const analysis::Options options = analysis::readOptions("kelox.ini");
    return std::make_unique<AnalysisService>(
        table, [options](const std::string &path, const std::atomic<bool> *cancel, std::string *error) {
            return analysis::analyseFile(path, options, cancel, error);
        });
}

} // namespace mixora::app
