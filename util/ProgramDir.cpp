#include "util/ProgramDir.h"

#include <cstdlib>

#include <pwd.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace mixora::util {

namespace {

constexpr const char *kFolderName = "DJ-Mixora";
constexpr const char *kSettingsFile = "kelox.ini";

std::string env(const char *name) {
    const char *value = std::getenv(name);
    return value ? value : "";
}

// A relative path names a folder below the current one, as on any command line.
fs::path absoluteIn(const fs::path &base, const fs::path &p) {
    if (p.is_absolute() || base.empty())
        return p.lexically_normal();
    return (base / p).lexically_normal();
}

std::string homeFolder() {
    std::string home = env("HOME");
    if (home.empty()) {
        // A session started without a login shell (a service, sudo -i) may lack $HOME.
        if (const passwd *pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
            home = pw->pw_dir;
    }
    return home;
}

} // namespace

ProgramDirChoice chooseProgramDir(const ProgramDirInputs &in) {
    if (!in.argument.empty())
        return {absoluteIn(in.currentFolder, in.argument), ProgramDirSource::Argument};
    if (!in.mixoraHome.empty())
        return {absoluteIn(in.currentFolder, in.mixoraHome), ProgramDirSource::Environment};
    if (!in.currentFolder.empty()) {
        std::error_code ec;
        if (fs::is_regular_file(in.currentFolder / kSettingsFile, ec))
            return {in.currentFolder.lexically_normal(), ProgramDirSource::CurrentFolder};
    }
    // The XDG rules ignore a relative data home: it would move with the current folder.
    fs::path dataHome = in.xdgDataHome;
    if (dataHome.empty() || !dataHome.is_absolute())
        dataHome = fs::path(in.home) / ".local" / "share";
    return {(dataHome / kFolderName).lexically_normal(), ProgramDirSource::UserData};
}

ProgramDirChoice chooseProgramDir(const fs::path &argument) {
    ProgramDirInputs in;
    in.argument = argument;
    in.mixoraHome = env("MIXORA_HOME");
    std::error_code ec;
    in.currentFolder = fs::current_path(ec); // a deleted current folder leaves it empty
    in.xdgDataHome = env("XDG_DATA_HOME");
    in.home = homeFolder();
    return chooseProgramDir(in);
}

bool makeProgramDir(const fs::path &dir, std::error_code &ec) {
    ec.clear();
    fs::create_directories(dir, ec);
    if (ec)
        return false;
    if (!fs::is_directory(dir, ec)) {
        if (!ec)
            ec = std::make_error_code(std::errc::not_a_directory);
        return false;
    }
    return true;
}

} // namespace mixora::util
