// The command-line import: output, exit status, and the same import as the scan window.
#include "tests/scan/ScanTestSupport.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using mixora::test::tagOf;
using mixora::test::writeSong;

namespace {

using ToolRun = mixora::test::CommandRun;

ToolRun runTool(const std::string &args) {
    return mixora::test::runCommand(std::string(MIXORA_BIN_DIR) + "/dj-mixora-scan " + args + " 2>&1");
}

} // namespace

TEST(ScanTool, ImportsChecksAndReportsItsCounts) {
    if (!fs::exists(std::string(MIXORA_BIN_DIR) + "/dj-mixora-scan"))
        GTEST_SKIP() << "dj-mixora-scan is not built";
    mixora::test::TempDir dir;
    writeSong(dir / "music/a.mp3", tagOf("Title", "Artist", "1999", "House"));
    writeSong(dir / "music/sub/b.mp3");
    writeSong(dir / "more/c.mp3");

    const std::string program = "--dir '" + dir.path().string() + "' ";
    ToolRun first = runTool(program + "'" + (dir / "music").string() + "' '" + (dir / "more").string() + "'");
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_NE(first.out.find("rows removed: 0\nrows added: 3\nelapsed: "), std::string::npos) << first.out;

    fs::remove(dir / "music/sub/b.mp3");
    ToolRun second = runTool(program + "'" + (dir / "music").string() + "'");
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_NE(second.out.find("rows removed: 1\nrows added: 0\n"), std::string::npos) << second.out;

    mixora::TDataModule1 data;
    data.openOrCreate(dir.path());
    EXPECT_EQ(data.Table1.recordCount(), 2);
    data.Table1.setIndexName("iDateiname");
    data.Table1.findNearest((dir / "music/a.mp3").string());
    EXPECT_EQ(data.Table1.fieldAsString("Interpret"), "Artist");
    EXPECT_EQ(data.Table1.fieldAsString("Genre"), "House");
}

TEST(ScanTool, FailsWithAReasonWhenTheDatabaseCannotBeOpened) {
    if (!fs::exists(std::string(MIXORA_BIN_DIR) + "/dj-mixora-scan"))
        GTEST_SKIP() << "dj-mixora-scan is not built";
    mixora::test::TempDir dir;
    fs::create_directories(dir / "music");
    fs::create_directories(dir / "Data/data.db"); // a folder where the table should be
    ToolRun blocked = runTool("--dir '" + dir.path().string() + "' '" + (dir / "music").string() + "'");
    EXPECT_EQ(blocked.status, 1);
    EXPECT_NE(blocked.out.find("cannot open the library"), std::string::npos) << blocked.out;

    fs::create_directories(dir / "garbage/Data");
    mixora::test::writeFile(dir / "garbage/Data/data.db", std::vector<std::uint8_t>(4096, 'x'));
    ToolRun garbage =
        runTool("--dir '" + (dir / "garbage").string() + "' '" + (dir / "music").string() + "'");
    EXPECT_EQ(garbage.status, 1) << garbage.out;
    // The unreadable file is left as it was.
    EXPECT_EQ(mixora::test::readFile(dir / "garbage/Data/data.db"), std::vector<std::uint8_t>(4096, 'x'));

    fs::create_directories(dir / "fresh");
    ToolRun missing =
        runTool("--dir '" + (dir / "fresh").string() + "' '" + (dir / "nothing").string() + "'");
    EXPECT_EQ(missing.status, 2) << missing.out;
    ToolRun usage = runTool("");
    EXPECT_EQ(usage.status, 2);
}
