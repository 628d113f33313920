// The command-line analysis: figures of single files, and the library's unanalysed songs stored.
#include "library/Datamod.h"
#include "tests/support/Fixtures.h"
#include "tests/support/SongSuite.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <map>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using ToolRun = mixora::test::CommandRun;

ToolRun runTool(const std::string &args) {
    return mixora::test::runCommand(std::string(MIXORA_BIN_DIR) + "/dj-mixora-analyse " + args + " 2>&1");
}

// name=value lines of one block of the output.
std::map<std::string, std::string> block(const std::string &out, const std::string &file) {
    std::map<std::string, std::string> values;
    std::size_t at = out.find("file=" + file + "\n");
    if (at == std::string::npos)
        return values;
    for (std::size_t end; at < out.size() && (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = out.substr(at, end - at);
        if (line.empty())
            break;
        const auto eq = line.find('=');
        values[line.substr(0, eq)] = eq == std::string::npos ? "" : line.substr(eq + 1);
    }
    return values;
}

mixora::SongRecord row(const std::string &path) {
    mixora::SongRecord r;
    r[mixora::kFieldIndex] = std::int64_t{0};
    r[mixora::kFieldDateiname] = path;
    r[mixora::kFieldStartzeit] = std::int64_t{0};
    r[mixora::kFieldAnalyse] = false;
    return r;
}

} // namespace

TEST(AnalyseTool, PrintsTheFiguresOfFilesAndFillsTheLibrary) {
    if (!fs::exists(std::string(MIXORA_BIN_DIR) + "/dj-mixora-analyse"))
        GTEST_SKIP() << "dj-mixora-analyse is not built (the analysis is not in this tree yet)";
    mixora::test::TempDir dir;
    mixora::test::Mp3Options tone;
    tone.seconds = 3.0;
    mixora::test::writeMp3(dir / "tone.mp3", tone);
    mixora::test::writeFile(dir / "text.mp3", std::vector<std::uint8_t>(3000, 'x'));

    const std::string tonePath = (dir / "tone.mp3").string();
    const std::string textPath = (dir / "text.mp3").string();
    ToolRun files = runTool("'" + tonePath + "' '" + textPath + "'");
    EXPECT_EQ(files.status, 2) << files.out; // one file could not be analysed
    auto figures = block(files.out, tonePath);
    for (const char *name : {"bpm", "first_beat", "loudness_lufs", "audible_start", "audible_end"})
        EXPECT_TRUE(figures.count(name)) << name << " missing in\n" << files.out;
    EXPECT_FALSE(figures["loudness_lufs"].empty());
    EXPECT_GT(std::stod(figures["audible_end"]), std::stod(figures["audible_start"]));
    EXPECT_TRUE(block(files.out, textPath).count("error")) << files.out;

    {
        mixora::TDataModule1 data;
        data.openOrCreate(dir.path());
        data.Table1.appendRecord(row(tonePath));
        data.Table1.appendRecord(row(textPath));
    }
    const std::string program = "--dir '" + dir.path().string() + "'";
    ToolRun library = runTool(program);
    EXPECT_EQ(library.status, 0) << library.out;
    EXPECT_NE(library.out.find("songs analysed: 1\nsongs failed: 1\n"), std::string::npos) << library.out;
    // Stored: the next run has only the file that cannot be analysed left.
    ToolRun again = runTool(program);
    EXPECT_NE(again.out.find("songs analysed: 0\nsongs failed: 1\n"), std::string::npos) << again.out;

    mixora::TDataModule1 data;
    data.openOrCreate(dir.path());
    data.Table1.setIndexName("iDateiname");
    data.Table1.findNearest(tonePath);
    EXPECT_EQ(data.Table1.fieldAsString("Analyse"), "True");
    EXPECT_GT(data.Table1.fieldAsInteger("EndZeit"), 0);

    EXPECT_EQ(runTool("--dir '" + (dir / "nowhere").string() + "'").status, 1);
}

namespace {

// Rows with "Analyse" set, and every stored result that is not complete or disagrees with its
// row: the store writes both in one step, so a kill may not leave half of it.
struct LibraryState {
    int rows = 0;
    int analysed = 0;
    std::vector<std::string> faults;
};

LibraryState libraryState(mixora::SongTable &table) {
    LibraryState state;
    sqlite3_stmt *q = nullptr;
    const char *sql = "SELECT s.\"Index\", s.\"Analyse\", s.\"Beats\", s.\"EndZeit\", a.\"Index\", a.Bpm, "
                      "a.AudibleEndByte, a.AudibleStart, a.AudibleEnd, a.Duration, length(a.Overview) "
                      "FROM Songs s LEFT JOIN Analysis a ON a.\"Index\" = s.\"Index\"";
    if (sqlite3_prepare_v2(table.handle(), sql, -1, &q, nullptr) != SQLITE_OK) {
        state.faults.push_back(sqlite3_errmsg(table.handle()));
        return state;
    }
    const auto null = [q](int column) { return sqlite3_column_type(q, column) == SQLITE_NULL; };
    while (sqlite3_step(q) == SQLITE_ROW) {
        ++state.rows;
        const std::string song = "song " + std::to_string(sqlite3_column_int64(q, 0)) + ": ";
        if (sqlite3_column_int(q, 1) != 1) {
            if (!null(4) || !null(3))
                state.faults.push_back(song + "results stored but not marked analysed");
            continue;
        }
        ++state.analysed;
        if (null(4)) {
            state.faults.push_back(song + "marked analysed without results");
            continue;
        }
        if (null(10) || sqlite3_column_int(q, 10) == 0 || sqlite3_column_double(q, 9) <= 0.0 ||
            sqlite3_column_double(q, 8) <= sqlite3_column_double(q, 7))
            state.faults.push_back(song + "incomplete results");
        if (null(3) || sqlite3_column_int64(q, 3) != sqlite3_column_int64(q, 6))
            state.faults.push_back(song + "EndZeit differs from the stored audible end");
        const bool beatsAgree =
            null(5) ? null(2)
                    : !null(2) && sqlite3_column_int64(q, 2) == std::llround(sqlite3_column_double(q, 5));
        if (!beatsAgree)
            state.faults.push_back(song + "Beats differs from the stored tempo");
    }
    sqlite3_finalize(q);
    return state;
}

} // namespace

TEST(AnalyseTool, AKillLosesNothingButTheSongInProgress) {
    const std::string tool = std::string(MIXORA_BIN_DIR) + "/dj-mixora-analyse";
    if (!fs::exists(tool))
        GTEST_SKIP() << "dj-mixora-analyse is not built";
    mixora::test::TempDir dir;
    // Enough songs that the run is far from done when the first result is stored.
    constexpr int kSongs = 16;
    mixora::test::SongRecipe recipe;
    recipe.seconds = 20.0;
    const auto mp3 = mixora::test::encodeSong(recipe).mp3;
    {
        mixora::TDataModule1 data;
        data.openOrCreate(dir.path());
        for (int i = 0; i < kSongs; ++i) {
            const fs::path file = dir / ("song" + std::to_string(i) + ".mp3");
            mixora::test::writeFile(file, mp3);
            data.Table1.appendRecord(row(file.string()));
        }
    }

    const std::string dirArg = dir.path().string();
    std::vector<char *> argv{const_cast<char *>(tool.c_str()), const_cast<char *>("--dir"),
                             const_cast<char *>(dirArg.c_str()), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, tool.c_str(), &quiet, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&quiet);

    mixora::TDataModule1 watch;
    watch.openOrCreate(dir.path());
    bool exited = false;
    int raw = 0;
    // The results table appears once the tool has opened the library.
    while (!(exited = ::waitpid(pid, &raw, WNOHANG) == pid) && libraryState(watch.Table1).analysed == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &raw, 0);
    }
    ASSERT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGKILL) << "the run ended before it could be killed";

    const LibraryState killed = libraryState(watch.Table1);
    EXPECT_TRUE(killed.faults.empty()) << ::testing::PrintToString(killed.faults);
    EXPECT_EQ(killed.rows, kSongs);
    EXPECT_GE(killed.analysed, 1);
    ASSERT_LT(killed.analysed, kSongs);

    ToolRun rest = runTool("--dir '" + dirArg + "'");
    EXPECT_EQ(rest.status, 0) << rest.out;
    EXPECT_NE(
        rest.out.find("songs analysed: " + std::to_string(kSongs - killed.analysed) + "\nsongs failed: 0\n"),
        std::string::npos)
        << rest.out;
    const LibraryState done = libraryState(watch.Table1);
    EXPECT_TRUE(done.faults.empty()) << ::testing::PrintToString(done.faults);
    EXPECT_EQ(done.analysed, kSongs);
}
