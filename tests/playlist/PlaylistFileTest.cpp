#include "playlist/PlaylistFile.h"

#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>

using namespace mixora::playlist;
using mixora::test::readFile;
using mixora::test::TempDir;
using mixora::test::writeFile;

namespace {

std::string bytesOf(const std::filesystem::path &p) {
    const auto b = readFile(p);
    return {b.begin(), b.end()};
}

void writeText(const std::filesystem::path &p, const std::string &s) {
    writeFile(p, std::vector<std::uint8_t>(s.begin(), s.end()));
}

} // namespace

TEST(PlaylistLines, SplitsAtEveryKindOfLineBreak) {
    EXPECT_EQ(splitLines("a\r\nb\rc\nd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    // An empty line in the middle is an entry with an empty path; a final break adds none.
    EXPECT_EQ(splitLines("a\r\n\r\nb\r\n"), (std::vector<std::string>{"a", "", "b"}));
    // CR LF is one break, LF CR is two.
    EXPECT_EQ(splitLines("a\n\rb"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(splitLines("").empty());
    // A zero byte ends the text.
    EXPECT_EQ(splitLines(std::string("a\r\nb\0c\r\nd", 10)), (std::vector<std::string>{"a", "b"}));
}

TEST(PlaylistFiles, ThreeEntriesAreSavedAsLinesWithCrLfAndReadBackInOrder) {
    TempDir dir;
    const std::vector<std::string> entries = {"/music/b.mp3", "/music/a.mp3", "/music/b.mp3"};
    const auto file = dir / "set.mxp";
    ASSERT_TRUE(writeMxp(file.string(), entries));
    EXPECT_EQ(bytesOf(file), "/music/b.mp3\r\n/music/a.mp3\r\n/music/b.mp3\r\n");
    EXPECT_EQ(readPlaylistLines(file.string()), entries);

    ASSERT_TRUE(writeMxp(file.string(), {}));
    EXPECT_EQ(std::filesystem::file_size(file), 0u);
    EXPECT_EQ(readPlaylistLines(file.string()), std::vector<std::string>{});
}

TEST(PlaylistFiles, TextIsWindows1252WhereItFitsAndUtf8WhereItDoesNot) {
    TempDir dir;
    const auto file = dir / "enc.mxp";
    const std::vector<std::string> entries = {
        "/m/Café €.mp3",   // Windows-1252 holds it
        "/m/Мельница.mp3", // it does not: the line stays UTF-8
        "/m/Ã©.mp3",       // its Windows-1252 bytes would read back as "é"
        "/m/plain.mp3",
    };
    ASSERT_TRUE(writeMxp(file.string(), entries));
    const std::string bytes = bytesOf(file);
    EXPECT_NE(bytes.find("/m/Caf\xE9 \x80.mp3\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("/m/Мельница.mp3\r\n"), std::string::npos);
    EXPECT_EQ(readPlaylistLines(file.string()), entries);

    // A list written by another Windows program in Windows-1252.
    writeText(dir / "win.m3u", "D:\\Musik\\M\xFCller - S\xFC\xDF.mp3\r\n");
    EXPECT_EQ(readPlaylistLines((dir / "win.m3u").string()),
              std::vector<std::string>{"D:\\Musik\\Müller - Süß.mp3"});
}

TEST(PlaylistFiles, UnreadableAndUnwritableFilesAreReportedAndNothingIsDestroyed) {
    TempDir dir;
    writeText(dir / "notadir", "x");
    EXPECT_FALSE(readPlaylistLines((dir / "missing.mxp").string()));
    EXPECT_FALSE(readPlaylistLines((dir / "notadir" / "a.mxp").string()));
    std::filesystem::create_directory(dir / "folder.mxp");
    EXPECT_FALSE(readPlaylistLines((dir / "folder.mxp").string()));

    EXPECT_FALSE(writeMxp((dir / "notadir" / "a.mxp").string(), {"/a.mp3"}));
    EXPECT_FALSE(writeMxp((dir / "folder.mxp").string(), {"/a.mp3"}));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "folder.mxp"));
    EXPECT_EQ(bytesOf(dir / "notadir"), "x");
}

TEST(M3uImport, CommentsDriveLinesAndPathsFollowTheListsLocation) {
    // A list on drive D: comment lines go, a "\" line gets the drive, others stay.
    const std::string list = "D:\\lists\\party.m3u";
    const std::vector<std::string> lines = {"#EXTM3U", "#EXTINF:215,Artist - Title", "\\mp3\\song.mp3", "",
                                            "E:\\x.mp3"};
    EXPECT_EQ(m3uEntries(lines, list), (std::vector<std::string>{"D:\\mp3\\song.mp3", "E:\\x.mp3"}));
    EXPECT_EQ(convertedName(list), "D:\\lists\\party.mxp");

    // On Linux: "/" is absolute, a relative path is relative to the list's folder.
    const std::string linuxList = "/home/dj/lists/set.m3u";
    EXPECT_EQ(m3uEntry("/music/a.mp3", linuxList), "/music/a.mp3");
    EXPECT_EQ(m3uEntry("a.mp3", linuxList), "/home/dj/lists/a.mp3");
    EXPECT_EQ(m3uEntry("../music/Ümlaut b.mp3", linuxList), "/home/dj/music/Ümlaut b.mp3");
    EXPECT_EQ(m3uEntry("#comment", linuxList), std::nullopt);
    EXPECT_EQ(m3uEntry("", linuxList), std::nullopt);
    // Without a drive to lend, a "\" line is not cut into garbage.
    EXPECT_EQ(m3uEntry("\\mp3\\x.mp3", linuxList), "\\mp3\\x.mp3");
    // A relative line in a list on a drive joins the list's folder too.
    EXPECT_EQ(m3uEntry("sub\\c.mp3", list), "D:\\lists\\sub\\c.mp3");
}

TEST(M3uImport, OnlyExactLowerCaseEndingsAreLoaded) {
    EXPECT_EQ(kindOf("/a/list.mxp"), PlaylistKind::Mxp);
    EXPECT_EQ(kindOf("/a/list.m3u"), PlaylistKind::M3u);
    EXPECT_EQ(kindOf("/a/LIST.M3U"), PlaylistKind::None);
    EXPECT_EQ(kindOf("/a/list.m3u8"), PlaylistKind::M3u);
    EXPECT_EQ(kindOf("/a/list.M3U8"), PlaylistKind::None);
    EXPECT_EQ(convertedName("/a/list.m3u8"), "/a/list.mxp");
    EXPECT_EQ(kindOf("mxp"), PlaylistKind::None);
    EXPECT_EQ(fileNameOf("/music/x/Song.mp3"), "Song.mp3");
    EXPECT_EQ(fileNameOf("D:\\mp3\\Song.mp3"), "Song.mp3");
}

TEST(M3uImport, ListsOfOtherPlayersGiveTheirEntriesOnly) {
    TempDir dir;
    // A byte-order mark, Windows line ends, extended lines, UTF-8 text, a relative, an
    // absolute and a file address entry.
    const auto list = dir / "set.m3u8";
    writeText(list, "\xEF\xBB\xBF#EXTM3U\r\n#EXTINF:215,Björk - Jóga\r\nsub/Björk - Jóga.mp3\r\n\r\n"
                    "/music/Мельница.mp3\nfile:///music/a%20b.mp3\n");
    const auto lines = readPlaylistLines(list.string());
    ASSERT_TRUE(lines);
    EXPECT_EQ(m3uEntries(*lines, list.string()),
              (std::vector<std::string>{(dir / "sub/Björk - Jóga.mp3").string(), "/music/Мельница.mp3",
                                        "/music/a b.mp3"}));
    EXPECT_EQ(m3uEntry("file:///C:/mp3/x%C3%A4.mp3", "/l/x.m3u"), "C:/mp3/xä.mp3");
}

TEST(PlaylistFiles, FifosDevicesAndHugeFilesAreRefused) {
    TempDir dir;
    const auto fifo = dir / "blocking.m3u";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(readPlaylistLines(fifo.string()));
    EXPECT_FALSE(readPlaylistLines("/dev/null"));
    const auto huge = dir / "huge.mxp";
    writeText(huge, "/a.mp3\r\n");
    std::filesystem::resize_file(huge, (16u << 20) + 1);
    EXPECT_FALSE(readPlaylistLines(huge.string()));
}
