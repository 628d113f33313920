#include "tests/support/Fixtures.h"
#include "util/Cp1252.h"
#include "util/LineFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace mixora::text;
namespace t = mixora::test;

TEST(Cp1252, EveryByteSurvivesTheRoundTrip) {
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::string utf8 = cp1252ToUtf8(byte);
        EXPECT_TRUE(isValidUtf8(utf8)) << b;
        const auto back = utf8ToCp1252Exact(utf8);
        ASSERT_TRUE(back.has_value()) << b;
        EXPECT_EQ(*back, byte) << b;
        EXPECT_EQ(utf8ToCp1252(utf8), byte) << b;
    }
}

TEST(Cp1252, HighControlRangeMapsToWindowsCharacters) {
    EXPECT_EQ(cp1252ToUtf8("\x80"), "€");
    EXPECT_EQ(cp1252ToUtf8("\x8A\x9A\x9F"), "ŠšŸ");
    EXPECT_EQ(cp1252ToUtf8("\x93Hi\x94"), "“Hi”");
    EXPECT_EQ(cp1252ToUtf8("Ger\xE4te\xDF"), "Geräteß");
    EXPECT_EQ(cp1252ToCodePoint(0x81), U'\u0081'); // undefined in Windows-1252, kept as C1
    EXPECT_EQ(utf8ToCp1252("€ ä Ÿ"), "\x80 \xE4 \x9F");
}

TEST(Cp1252, CharactersOutsideTheCodePageBecomeQuestionMarksOrFailExactly) {
    EXPECT_EQ(utf8ToCp1252("日本 ä"), "?? \xE4");
    EXPECT_EQ(utf8ToCp1252("a\xFF"
                           "b"),
              "a?b");                     // invalid UTF-8 byte
    EXPECT_EQ(utf8ToCp1252("\xC3"), "?"); // cut sequence
    EXPECT_EQ(utf8ToCp1252("😀"), "?");    // one character, four bytes, one "?"
    EXPECT_FALSE(utf8ToCp1252Exact("日本").has_value());
    EXPECT_FALSE(utf8ToCp1252Exact("a\xFF").has_value());
}

TEST(Utf8, ValidityLengthAndCutting) {
    EXPECT_TRUE(isValidUtf8("Ärzte 日本 😀"));
    EXPECT_FALSE(isValidUtf8("\xE4rzte"));
    EXPECT_FALSE(isValidUtf8("\xC0\x80"));     // overlong
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80")); // surrogate
    EXPECT_EQ(utf8Length("Ärzte"), 5u);
    EXPECT_EQ(utf8Left("Ärzte", 1), "Ä");
    EXPECT_EQ(utf8Left("日本語", 2), "日本");
    EXPECT_EQ(utf8Left("ab", 10), "ab");
}

TEST(NoCase, FoldsUmlautsAndOrdersByCodePoint) {
    EXPECT_TRUE(equalsNoCase("ÄRZTE", "ärzte"));
    EXPECT_TRUE(equalsNoCase("GERÄTEEINTEILUNG", "Geräteeinteilung"));
    EXPECT_TRUE(equalsNoCase("ŁÓDŹ", "łódź"));
    EXPECT_TRUE(equalsNoCase("ΑΒΓ", "αβγ"));
    EXPECT_FALSE(equalsNoCase("ae", "ä"));
    EXPECT_LT(compareNoCase("abc", "ABD"), 0);
    EXPECT_GT(compareNoCase("B", "a"), 0);
    EXPECT_LT(compareNoCase("be", "Beatles"), 0); // a prefix comes first
    EXPECT_LT(compareNoCase("zappa", "Ärzte"), 0);
    EXPECT_EQ(foldCase("Straße ÄÖÜ"), "straße äöü");
    // Invalid bytes order consistently, after every character.
    EXPECT_GT(compareNoCase("\xFF", "😀"), 0);
    EXPECT_EQ(compareNoCase("a\xFF", "A\xFF"), 0);
}

TEST(LineRule, WritesWindows1252WhenItCanAndUtf8OtherwiseAndReadsBoth) {
    EXPECT_EQ(encodeLine("Geräteeinteilung"), "Ger\xE4teeinteilung");
    EXPECT_EQ(encodeLine("Sound 日本"), "Sound 日本");
    EXPECT_EQ(decodeLine("Ger\xE4teeinteilung"), "Geräteeinteilung");
    EXPECT_EQ(decodeLine("Geräteeinteilung"), "Geräteeinteilung"); // UTF-8 from another editor
    EXPECT_EQ(decodeLine("Sound 日本"), "Sound 日本");
    // "Ã¤" in Windows-1252 is the UTF-8 of "ä": it must go out as UTF-8 to come back as itself.
    EXPECT_EQ(encodeLine("Ã¤"), "Ã¤");
    EXPECT_EQ(decodeLine(encodeLine("Ã¤")), "Ã¤");
    EXPECT_EQ(decodeLine(encodeLine("Ã¤ und ä")), "Ã¤ und ä");
}

TEST(LineRule, SplitsEveryLineEnd) {
    const auto lines = decodeLines("a\r\nb\nc\rd\r\n\r\ne");
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
    EXPECT_TRUE(decodeLines("").empty());
    EXPECT_EQ(decodeLines("x\r\n"), std::vector<std::string>{"x"});
    EXPECT_EQ(encodeLines({"ä", "日"}, "\r\n"), "\xE4\r\n日\r\n");
}

TEST(LineFile, RoundTripKeepsEveryLineAndMixesEncodingsPerLine) {
    t::TempDir dir;
    const auto file = dir / "list.mxp";
    const std::vector<std::string> lines{"C:\\mp3\\Ärzte.mp3", "/home/dj/日本.mp3", "", "plain"};
    writeLineFile(file, lines);
    const auto bytes = readFileBytes(file);
    EXPECT_EQ(bytes, "C:\\mp3\\\xC4rzte.mp3\r\n/home/dj/日本.mp3\r\n\r\nplain\r\n");
    EXPECT_EQ(readLineFile(file), lines);
}

TEST(LineFile, FailuresAreReportedAndLeaveTheOldFile) {
    t::TempDir dir;
    t::writeFile(dir / "plain", {'x'});
    // The parent of the target is a regular file: nothing can be created there.
    EXPECT_THROW(writeFileAtomically(dir.path() / "plain" / "f.txt", "data"), FileError);
    EXPECT_THROW(readFileBytes(dir.path() / "missing.txt"), FileError);
    // A folder where the file should be: the rename fails, the folder and its content stay.
    std::filesystem::create_directory(dir / "taken");
    t::writeFile(dir.path() / "taken" / "inside", {'y'});
    EXPECT_THROW(writeFileAtomically(dir / "taken", "data"), FileError);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "taken"));
    EXPECT_EQ(t::readFile(dir.path() / "taken" / "inside"), std::vector<std::uint8_t>{'y'});
    // No temporary file is left behind.
    int entries = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 2);
}

TEST(LineFile, TemporaryFileIsNeverOpenedThroughAPlantedLink) {
    t::TempDir dir;
    const auto file = dir / "kelox.ini";
    const auto victim = dir / "victim";
    t::writeFile(file, {'o', 'l', 'd'});
    t::writeFile(victim, {'v'});
    ::chmod(file.c_str(), 0600);
    // A link under the temporary name a writer would pick first, and a stale temporary file.
    std::filesystem::create_symlink(victim, file.string() + ".tmp" + std::to_string(::getpid()));
    writeFileAtomically(file, "new");
    EXPECT_EQ(t::readFile(victim), std::vector<std::uint8_t>{'v'});
    EXPECT_FALSE(std::filesystem::is_symlink(file));
    EXPECT_EQ(readFileBytes(file), "new");
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// Settings and playlists are replaced as tagged songs are: through a link, the file it names.
TEST(LineFile, ALinkStaysAndTheFileItNamesIsReplaced) {
    t::TempDir dir;
    t::writeFile(dir / "real.ini", {'o'});
    std::filesystem::create_symlink(dir / "real.ini", dir / "kelox.ini");
    writeFileAtomically(dir / "kelox.ini", "new");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "kelox.ini"));
    EXPECT_EQ(readFileBytes(dir / "real.ini"), "new");
}

TEST(LineFile, ReadingRefusesFifosDevicesAndHugeFiles) {
    t::TempDir dir;
    const auto fifo = dir / "list.m3u";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(readFileBytes(fifo), FileError); // instead of waiting for a writer for ever
    EXPECT_THROW(readFileBytes("/dev/zero"), FileError);
    const auto huge = dir / "huge.mxp";
    t::writeFile(huge, {'x'});
    std::filesystem::resize_file(huge, kMaxLineFileBytes + 1); // sparse: costs no disk
    EXPECT_THROW(readFileBytes(huge), FileError);
    std::filesystem::resize_file(huge, 3);
    EXPECT_EQ(readFileBytes(huge).size(), 3u);
    // A byte-order mark is no text.
    EXPECT_EQ(decodeLines("\xEF\xBB\xBF#EXTM3U\r\n/a.mp3"), (std::vector<std::string>{"#EXTM3U", "/a.mp3"}));
}
