// The command line every tool that works on the library reads: [--dir PROGRAMDIR] [--] ARG...
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace mixora::util {

struct ToolArgs {
    enum class Outcome {
        Run,  // the arguments are complete
        Help, // -h or --help: show the usage and succeed
        Bad,  // --dir without a value or an unknown option: show the usage and fail
    };
    Outcome outcome = Outcome::Run;
    std::filesystem::path programDir;  // the --dir value, empty when none was given
    std::vector<std::string> operands; // everything else, in order
};

// An unknown option is named on stderr, after the tool's name, before the caller shows its usage.
ToolArgs parseToolArgs(int argc, char **argv, std::string_view tool);

} // namespace mixora::util
