// dj-mixora-analyse [--dir PROGRAMDIR] [FILE...]
// With files: analyses each and prints its figures as name=value lines, one block per file.
// Without: analyses the library's songs not analysed yet (PROGRAMDIR/Data/data.db, the folder
// chosen as the program chooses it) and stores each result as soon as it is known, so an
// interrupted run keeps what it finished.
// Exit status: 0 done, 1 the library cannot be opened, 2 bad arguments or a file that could not
// be analysed (the others are still done).
#include "analysis/Jobs.h"
#include "analysis/Preferences.h"
#include "analysis/Store.h"
#include "library/Datamod.h"
#include "util/ProgramDir.h"
#include "util/ToolArgs.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
using namespace mixora::analysis;

namespace {

int usage() {
    std::cerr << "usage: dj-mixora-analyse [--dir PROGRAMDIR] [FILE...]\n"
                 "  prints tempo, first beat, loudness, audible start and end of each FILE;\n"
                 "  without files, analyses the songs of PROGRAMDIR/Data/data.db not analysed yet\n"
                 "  (PROGRAMDIR as the program chooses it: $MIXORA_HOME, the current directory\n"
                 "  when it holds a kelox.ini, else ~/.local/share/DJ-Mixora)\n";
    return 2;
}

// Outcomes arrive on the workers; the main thread takes them one by one.
class Inbox {
public:
    void put(Outcome outcome) {
        {
            std::lock_guard lock(mutex_);
            outcomes_.push_back(std::move(outcome));
        }
        ready_.notify_one();
    }
    Outcome take() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !outcomes_.empty(); });
        Outcome outcome = std::move(outcomes_.front());
        outcomes_.pop_front();
        return outcome;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Outcome> outcomes_;
};

// With the tempo range the program uses: the settings file of the program folder.
JobQueue::AnalyseFn analyser(const fs::path &programDir) {
    const Options options = readOptions(programDir / "kelox.ini");
    return [options](const std::string &path, const std::atomic<bool> *cancel, std::string *error) {
        return analyseFile(path, options, cancel, error);
    };
}

std::string figure(const std::optional<double> &value, int decimals) {
    if (!value)
        return {};
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, *value);
    return text;
}

int analyseFiles(const std::vector<std::string> &files, const fs::path &programDir) {
    Inbox inbox;
    std::vector<std::optional<Outcome>> outcomes(files.size());
    {
        JobQueue queue(
            analyser(programDir), [&inbox](Outcome o) { inbox.put(std::move(o)); }, 0,
            JobQueue::Priority::AsStarted);
        std::vector<SongRef> songs;
        for (std::size_t i = 0; i < files.size(); ++i)
            songs.push_back({static_cast<std::int64_t>(i), files[i]});
        queue.add(songs, Lane::Library);
        for (std::size_t n = 0; n < files.size(); ++n) {
            Outcome o = inbox.take();
            outcomes[static_cast<std::size_t>(o.song.index)] = std::move(o);
        }
    }
    int status = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const Outcome &o = *outcomes[i];
        if (i > 0)
            std::printf("\n");
        std::printf("file=%s\n", files[i].c_str());
        if (!o.result) {
            std::printf("error=%s\n", o.error.empty() ? "nicht lesbar" : o.error.c_str());
            status = 2;
            continue;
        }
        const Result &r = *o.result;
        std::printf("bpm=%s\n", figure(r.bpm, 2).c_str());
        std::printf("first_beat=%s\n", figure(r.firstBeatSeconds, 3).c_str());
        std::printf("loudness_lufs=%s\n", figure(r.loudnessLufs, 1).c_str());
        std::printf("audible_start=%s\n", figure(r.audibleStartSeconds, 3).c_str());
        std::printf("audible_end=%s\n", figure(r.audibleEndSeconds, 3).c_str());
        std::printf("duration=%s\n", figure(r.durationSeconds, 3).c_str());
    }
    return status;
}

int analyseLibrary(const fs::path &programDir) {
    const fs::path file = mixora::TDataModule1::tableFile(programDir);
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) {
        std::cerr << "dj-mixora-analyse: cannot open the library " << file.string() << ": no such file\n";
        return 1;
    }
    mixora::TDataModule1 data;
    std::vector<SongRef> songs;
    Store store(data.Table1);
    try {
        data.openOrCreate(programDir);
        store.attach();
        songs = store.unanalysed();
    } catch (const std::exception &e) {
        std::cerr << "dj-mixora-analyse: cannot open the library " << file.string() << ": " << e.what()
                  << "\n";
        return 1;
    }

    const auto started = std::chrono::steady_clock::now();
    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    long analysed = 0;
    long failed = 0;
    double audioSeconds = 0.0;
    Inbox inbox;
    JobQueue queue(
        analyser(programDir), [&inbox](Outcome o) { inbox.put(std::move(o)); }, 0,
        JobQueue::Priority::AsStarted);
    queue.add(songs, Lane::Library);
    for (std::size_t n = 0; n < songs.size(); ++n) {
        Outcome o = inbox.take();
        if (!o.result) {
            ++failed;
            // The analysis' sentences name the file already.
            std::cerr << "dj-mixora-analyse: " << (o.error.empty() ? o.song.path + ": nicht lesbar" : o.error)
                      << "\n";
            continue;
        }
        try {
            if (store.save(o.song, *o.result)) {
                ++analysed;
                audioSeconds += o.result->durationSeconds;
            }
        } catch (const std::exception &e) {
            std::cerr << "dj-mixora-analyse: results cannot be stored: " << e.what() << "\n";
            return 1;
        }
        if (terminal) {
            std::fprintf(stderr, "\r%zu of %zu songs ", n + 1, songs.size());
            std::fflush(stderr);
        }
    }
    if (terminal && !songs.empty())
        std::fputs("\n", stderr);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("songs analysed: %ld\n", analysed);
    std::printf("songs failed: %ld\n", failed);
    std::printf("threads: %d\n", queue.threads());
    std::printf("elapsed: %.3f s\n", seconds);
    if (seconds > 0.0 && audioSeconds > 0.0)
        std::printf("speed: %.0fx real time\n", audioSeconds / seconds);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    using mixora::util::ToolArgs;
    const ToolArgs args = mixora::util::parseToolArgs(argc, argv, "dj-mixora-analyse");
    if (args.outcome == ToolArgs::Outcome::Help) {
        usage();
        return 0;
    }
    if (args.outcome == ToolArgs::Outcome::Bad)
        return usage();
    const fs::path chosen = mixora::util::chooseProgramDir(args.programDir).dir;
    return args.operands.empty() ? analyseLibrary(chosen) : analyseFiles(args.operands, chosen);
}
