// The command-line analysis: figures of single files, and the library's unanalysed songs stored.
#include "library/Datamod.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

ToolRun runTool(const std::string &args) {
    ToolRun run;
    FILE *pipe = ::popen((std::string(MIXORA_BIN_DIR) + "/dj-mixora-analyse " + args + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        run.out += buffer;
    const int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
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
