// The program folder: where "kelox.ini", "Data" and "Playlist" live. The program and every
// command-line tool choose it by the same rule, so a tool always works on the library the
// program shows:
//   1. the folder given with --dir,
//   2. $MIXORA_HOME,
//   3. the current folder when it already holds a "kelox.ini" (an existing setup, a portable copy),
//   4. $XDG_DATA_HOME/DJ-Mixora, by default ~/.local/share/DJ-Mixora.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace mixora::util {

enum class ProgramDirSource { Argument, Environment, CurrentFolder, UserData };

struct ProgramDirChoice {
    std::filesystem::path dir; // absolute
    ProgramDirSource source = ProgramDirSource::UserData;
};

// What the rule looks at; empty means not given (an empty variable counts as unset).
struct ProgramDirInputs {
    std::filesystem::path argument;
    std::string mixoraHome;
    std::filesystem::path currentFolder;
    std::string xdgDataHome;
    std::string home;
};

// The rule itself, without touching the process's environment.
ProgramDirChoice chooseProgramDir(const ProgramDirInputs &inputs);

// The rule over this process's environment and current folder; argument is the --dir value
// (empty when none was given).
ProgramDirChoice chooseProgramDir(const std::filesystem::path &argument = {});

// Creates the folder with its parents when missing. False (with ec set) when it cannot be
// made or a file of that name stands in the way.
bool makeProgramDir(const std::filesystem::path &dir, std::error_code &ec);

} // namespace mixora::util
