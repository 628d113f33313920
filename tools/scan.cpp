// dj-mixora-scan [--dir PROGRAMDIR] FOLDER...
// Sets up or refreshes the song library from a terminal: opens (or creates) the program's
// data.db, runs the database check when the table holds rows, then walks and imports each
// folder exactly as the scan window walks a drive's root.
// Exit status: 0 done, 1 the database cannot be opened, 2 bad arguments or a folder that
// could not be walked (the others are still imported).
#include "library/Datamod.h"
#include "scan/Scanner.h"
#include "util/ProgramDir.h"
#include "util/ToolArgs.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// On a terminal, a line that shows the scan moving on; elsewhere (pipes, logs) nothing.
class ConsoleProgress : public mixora::scan::SilentProgress {
public:
    explicit ConsoleProgress(bool enabled) : enabled_(enabled) {}
    void watch(const mixora::scan::Scanner *scanner) { scanner_ = scanner; }
    void setPosition(int position) override {
        SilentProgress::setPosition(position);
        ++steps_;
        if (!enabled_ || scanner_ == nullptr)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now - shown_ < std::chrono::milliseconds(200))
            return;
        shown_ = now;
        std::fprintf(stderr, "\r%s: %lld entries, %lld rows added, %lld removed ", caption().c_str(), steps_,
                     static_cast<long long>(scanner_->counts().added),
                     static_cast<long long>(scanner_->counts().removed));
        std::fflush(stderr);
        dirty_ = true;
    }
    void close() override {
        SilentProgress::close();
        if (dirty_)
            std::fputs("\n", stderr);
        dirty_ = false;
        steps_ = 0;
    }

private:
    bool enabled_;
    const mixora::scan::Scanner *scanner_ = nullptr;
    long long steps_ = 0;
    bool dirty_ = false;
    std::chrono::steady_clock::time_point shown_{};
};

int usage() {
    std::cerr << "usage: dj-mixora-scan [--dir PROGRAMDIR] FOLDER...\n"
                 "  imports the MP3 files below each FOLDER into PROGRAMDIR/Data/data.db\n"
                 "  (PROGRAMDIR as the program chooses it: $MIXORA_HOME, the current directory\n"
                 "  when it holds a kelox.ini, else ~/.local/share/DJ-Mixora)\n";
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    using mixora::util::ToolArgs;
    const ToolArgs args = mixora::util::parseToolArgs(argc, argv, "dj-mixora-scan");
    if (args.outcome == ToolArgs::Outcome::Help) {
        usage();
        return 0;
    }
    const std::vector<std::string> &folders = args.operands;
    if (args.outcome == ToolArgs::Outcome::Bad || folders.empty())
        return usage();
    fs::path programDir = args.programDir;

    // Stored paths must name the files from anywhere, so relative folders become absolute;
    // the folder itself may be a link, nothing below it is followed.
    std::vector<std::string> roots;
    int status = 0;
    for (const std::string &folder : folders) {
        std::error_code ec;
        fs::path root = fs::absolute(folder, ec).lexically_normal();
        if (ec || !fs::is_directory(root, ec)) {
            std::cerr << "dj-mixora-scan: " << folder << ": no such folder, skipped\n";
            status = 2;
            continue;
        }
        std::string text = root.string();
        if (text.empty() || text.back() != '/')
            text += '/';
        roots.push_back(text);
    }

    // The per-user folder is made on first use, as the program does; a named one must exist.
    const auto choice = mixora::util::chooseProgramDir(programDir);
    programDir = choice.dir;
    std::error_code dirError;
    if (choice.source == mixora::util::ProgramDirSource::UserData)
        mixora::util::makeProgramDir(programDir, dirError);
    if (!fs::is_directory(programDir, dirError)) {
        std::cerr << "dj-mixora-scan: cannot open the library: the program folder " << programDir.string()
                  << " does not exist\n";
        return 1;
    }
    mixora::TDataModule1 data;
    try {
        data.openOrCreate(programDir);
    } catch (const std::exception &e) {
        std::cerr << "dj-mixora-scan: cannot open the library "
                  << mixora::TDataModule1::tableFile(programDir).string() << ": " << e.what() << "\n";
        return 1;
    }

    const auto started = std::chrono::steady_clock::now();
    ConsoleProgress progress(::isatty(STDERR_FILENO) != 0);
    mixora::scan::ScanCounts counts;
    try {
        mixora::scan::Scanner scanner(data.Table1, progress);
        progress.watch(&scanner);
        counts = scanner.start(roots);
    } catch (const std::exception &e) {
        std::cerr << "dj-mixora-scan: scan stopped: " << e.what() << "\n";
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("rows removed: %lld\n", static_cast<long long>(counts.removed));
    std::printf("rows added: %lld\n", static_cast<long long>(counts.added));
    std::printf("elapsed: %.3f s\n", seconds);
    // Rows kept for a drive that is not mounted now.
    std::printf("rows missing: %lld\n", static_cast<long long>(counts.missing));
    return status;
}
