#include "settings/IniFile.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>

using mixora::settings::IniError;
using mixora::settings::IniFile;
namespace t = mixora::test;

namespace {

std::string bytesOf(const std::filesystem::path &file) {
    const auto v = t::readFile(file);
    return std::string(v.begin(), v.end());
}

void put(const std::filesystem::path &file, const std::string &text) {
    t::writeFile(file, std::vector<std::uint8_t>(text.begin(), text.end()));
}

} // namespace

TEST(IniFile, WritesWindows1252AndReadsItBackWithoutRegardToCase) {
    t::TempDir dir;
    IniFile ini(dir / "kelox.ini");
    EXPECT_FALSE(ini.exists());
    EXPECT_EQ(ini.readString("Geräteeinteilung", "Aux", "none"), "none");

    ini.writeString("Geräteeinteilung", "Aux", "Primärer Soundtreiber");
    ini.writeString("Geräteeinteilung", "Head", "");
    ini.writeString("vorhandene Soundkarten", "Primärer Soundtreiber",
                    "{0A1B2C3D-0000-1111-2222-333344445555}");

    // Every write reached the disk at once, in Windows-1252, with CR LF line ends.
    EXPECT_EQ(bytesOf(dir / "kelox.ini"),
              "[Ger\xE4teeinteilung]\r\n"
              "Aux=Prim\xE4rer Soundtreiber\r\n"
              "Head=\r\n"
              "\r\n"
              "[vorhandene Soundkarten]\r\n"
              "Prim\xE4rer Soundtreiber={0A1B2C3D-0000-1111-2222-333344445555}\r\n");

    IniFile other(dir / "kelox.ini"); // a second object sees the writes of the first
    EXPECT_EQ(other.readString("GERÄTEEINTEILUNG", "aux"), "Primärer Soundtreiber");
    EXPECT_EQ(other.readString("geräteeinteilung", "HEAD", "x"), "");
    EXPECT_EQ(other.readString("VORHANDENE SOUNDKARTEN", "PRIMÄRER SOUNDTREIBER"),
              "{0A1B2C3D-0000-1111-2222-333344445555}");
    EXPECT_EQ(other.readSections(), (std::vector<std::string>{"Geräteeinteilung", "vorhandene Soundkarten"}));
    EXPECT_EQ(other.readSection("geräteeinteilung"), (std::vector<std::string>{"Aux", "Head"}));
    EXPECT_TRUE(other.valueExists("Geräteeinteilung", "head"));
    EXPECT_FALSE(other.valueExists("Geräteeinteilung", "Tail"));
}

TEST(IniFile, UpdatesInPlaceAndKeepsCommentsGarbageAndUnknownEntries) {
    t::TempDir dir;
    const auto file = dir / "kelox.ini";
    put(file, "; settings of the mixer\r\n"
              "stray line before any section\r\n"
              "[Ger\xE4teeinteilung]\r\n"
              "  AUX = old card  \r\n"
              "this line is garbage\r\n"
              "Extra=kept\r\n"
              "\r\n"
              "[Other]\r\n"
              "Key=Value\r\n");
    IniFile ini(file);
    EXPECT_EQ(ini.readString("geräteeinteilung", "aux"), "old card");
    ini.writeString("Geräteeinteilung", "Aux", "new card");
    ini.writeString("Geräteeinteilung", "Head", "Kopfhörer");
    ini.writeString("Third", "k", "v");
    EXPECT_EQ(bytesOf(file), "; settings of the mixer\r\n"
                             "stray line before any section\r\n"
                             "[Ger\xE4teeinteilung]\r\n"
                             "AUX=new card\r\n"
                             "this line is garbage\r\n"
                             "Extra=kept\r\n"
                             "Head=Kopfh\xF6rer\r\n"
                             "\r\n"
                             "[Other]\r\n"
                             "Key=Value\r\n"
                             "\r\n"
                             "[Third]\r\n"
                             "k=v\r\n");
    ini.deleteKey("OTHER", "key");
    ini.eraseSection("third");
    EXPECT_EQ(ini.readString("Other", "Key", "gone"), "gone");
    EXPECT_FALSE(ini.sectionExists("Third"));
    EXPECT_TRUE(ini.sectionExists("other"));
}

TEST(IniFile, ValuesAreTrimmedUnquotedAndKeptOnOneLine) {
    t::TempDir dir;
    const auto file = dir / "kelox.ini";
    put(file, "[S]\nA=\"  quoted  \"\nB= plain \t\nC='x'\nD=\"half\n");
    IniFile ini(file);
    EXPECT_EQ(ini.readString("s", "a"), "  quoted  ");
    EXPECT_EQ(ini.readString("s", "b"), "plain");
    EXPECT_EQ(ini.readString("s", "c"), "x");
    EXPECT_EQ(ini.readString("s", "d"), "\"half");
    ini.writeString("S", "E", "two\nlines");
    EXPECT_EQ(ini.readString("s", "e"), "two lines");
    EXPECT_EQ(ini.readString("s", "a"), "  quoted  ");
    // A file with LF line ends keeps them.
    EXPECT_EQ(bytesOf(file).find('\r'), std::string::npos);
}

TEST(IniFile, LinesWindows1252CannotHoldStayUtf8AndUtf8FilesAreRead) {
    t::TempDir dir;
    const auto file = dir / "kelox.ini";
    IniFile ini(file);
    ini.writeString("vorhandene Soundkarten", "USB Audio 日本", "{11111111-2222-3333-4444-555555555555}");
    ini.writeString("vorhandene Soundkarten", "Onboard Ä", "{AAAAAAAA-2222-3333-4444-555555555555}");
    const auto bytes = bytesOf(file);
    EXPECT_NE(bytes.find("USB Audio 日本={11111111"), std::string::npos); // UTF-8 line
    EXPECT_NE(bytes.find("Onboard \xC4={AAAAAAAA"), std::string::npos);   // Windows-1252 line
    EXPECT_EQ(ini.readString("vorhandene soundkarten", "usb audio 日本"),
              "{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(ini.readString("vorhandene soundkarten", "onboard ä"),
              "{AAAAAAAA-2222-3333-4444-555555555555}");

    // A file saved as UTF-8 (with a byte-order mark) by an editor on Linux.
    const auto utf8File = dir / "utf8.ini";
    put(utf8File, "\xEF\xBB\xBF[Geräteeinteilung]\nAux=Primärer Treiber\n");
    IniFile utf8(utf8File);
    EXPECT_EQ(utf8.readString("Geräteeinteilung", "Aux"), "Primärer Treiber");
    utf8.writeString("Geräteeinteilung", "Head", "x");
    // Untouched lines keep their bytes.
    EXPECT_EQ(bytesOf(utf8File), "\xEF\xBB\xBF[Geräteeinteilung]\nAux=Primärer Treiber\nHead=x\n");
}

TEST(IniFile, FilesThatCannotBeReadOrWrittenRaiseClearErrors) {
    t::TempDir dir;
    put(dir / "plain", "x");
    IniFile beneathFile(dir.path() / "plain" / "kelox.ini");
    EXPECT_EQ(beneathFile.readString("S", "K", "default"), "default");
    try {
        beneathFile.writeString("S", "K", "V");
        FAIL() << "writing below a regular file succeeded";
    } catch (const IniError &e) {
        EXPECT_NE(std::string(e.what()).find("kelox.ini"), std::string::npos) << e.what();
    }

    std::filesystem::create_directory(dir / "folder.ini");
    IniFile folder(dir / "folder.ini");
    EXPECT_THROW(folder.readString("S", "K"), IniError);
    EXPECT_THROW(folder.writeString("S", "K", "V"), IniError);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "folder.ini"));
}

TEST(IniFile, AFailedWriteLeavesTheOldFileWhole) {
    t::TempDir dir;
    const auto folder = dir / "program";
    std::filesystem::create_directory(folder);
    const auto file = folder / "kelox.ini";
    put(file, "[Ger\xE4teeinteilung]\r\nAux=card\r\n");
    // Nothing can be created in an immutable folder, not even the temporary file.
    const std::string quotedPath = "'" + folder.string() + "'";
    if (std::system(("chattr +i " + quotedPath + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not available here";
    IniFile ini(file);
    bool thrown = false;
    try {
        ini.writeString("Geräteeinteilung", "Head", "other");
    } catch (const IniError &) {
        thrown = true;
    }
    const auto after = bytesOf(file);
    [[maybe_unused]] int rc = std::system(("chattr -i " + quotedPath).c_str());
    EXPECT_TRUE(thrown);
    EXPECT_EQ(after, "[Ger\xE4teeinteilung]\r\nAux=card\r\n");
    EXPECT_EQ(ini.readString("Geräteeinteilung", "Aux"), "card");
}
