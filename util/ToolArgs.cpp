#include "util/ToolArgs.h"

#include <iostream>

namespace mixora::util {

ToolArgs parseToolArgs(int argc, char **argv, std::string_view tool) {
    ToolArgs args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dir") {
            if (++i >= argc) {
                args.outcome = ToolArgs::Outcome::Bad;
                return args;
            }
            args.programDir = argv[i];
        } else if (arg.rfind("--dir=", 0) == 0) {
            args.programDir = arg.substr(6);
        } else if (arg == "-h" || arg == "--help") {
            args.outcome = ToolArgs::Outcome::Help;
            return args;
        } else if (arg == "--") {
            for (++i; i < argc; ++i)
                args.operands.emplace_back(argv[i]);
        } else if (!arg.empty() && arg[0] == '-') {
            std::cerr << tool << ": unknown option " << arg << "\n";
            args.outcome = ToolArgs::Outcome::Bad;
            return args;
        } else {
            args.operands.push_back(arg);
        }
    }
    return args;
}

} // namespace mixora::util
