#include "library/Datamod.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using namespace mixora;
namespace t = mixora::test;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes expectedTag(const std::string &title, const std::string &artist, const std::string &year,
                  const std::string &comment) {
    Bytes tag(128, 0);
    std::memcpy(tag.data(), "TAG", 3);
    std::memcpy(tag.data() + 3, title.data(), std::min<std::size_t>(title.size(), 30));
    std::memcpy(tag.data() + 33, artist.data(), std::min<std::size_t>(artist.size(), 30));
    std::memcpy(tag.data() + 93, year.data(), std::min<std::size_t>(year.size(), 4));
    std::memcpy(tag.data() + 97, comment.data(), std::min<std::size_t>(comment.size(), 30));
    tag[127] = 255;
    return tag;
}

Bytes tail(const Bytes &bytes, std::size_t n) {
    return Bytes(bytes.end() - static_cast<std::ptrdiff_t>(n), bytes.end());
}
Bytes head(const Bytes &bytes, std::size_t n) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

class TagWriteBackTest : public ::testing::Test {
protected:
    void SetUp() override {
        module.openOrCreate(dir.path());
        module.editorShown = [this] { return editorShown; };
        module.tagWriteFailed = [this](const std::string &message) { messages.push_back(message); };
        audio = t::makeMp3({.seconds = 0.3});
    }

    // Adds a row for the file and edits it as the editor window does.
    void addRow(const std::filesystem::path &file) {
        SongRecord r;
        r[kFieldDateiname] = file.string();
        const bool shown = editorShown;
        editorShown = false; // the import never writes tags
        module.Table1.appendRecord(r);
        editorShown = shown;
    }

    void editRow(const std::string &title, const std::string &artist, const std::string &year,
                 const std::string &genre) {
        auto &table = module.Table1;
        table.edit();
        table.setFieldString("Titel", title);
        table.setFieldString("Interpret", artist);
        table.setFieldString("Jahr", year);
        table.setFieldString("Genre", genre);
        table.post();
        module.finishTagWrites(); // the file follows the row in the background
    }

    t::TempDir dir;
    TDataModule1 module;
    bool editorShown = true;
    std::vector<std::string> messages;
    Bytes audio;
};

} // namespace

// Once pinned the album, comment and genre number being blanked; they are the file's own.
TEST_F(TagWriteBackTest, ExistingTagKeepsEveryByteTheLibraryDoesNotOwn) {
    const auto file = dir / "tagged.mp3";
    Bytes original = audio;
    auto oldTag = t::makeId3v1("Old title", "Old artist", "Old album", "1970", "", 17);
    const std::string comment("Pop\0Ripped by me", 16); // ID3v1.1: zero at 125, track 7 at 126
    std::memcpy(oldTag.data() + 97, comment.data(), comment.size());
    oldTag[126] = 7;
    original.insert(original.end(), oldTag.begin(), oldTag.end());
    t::writeFile(file, original);
    addRow(file);
    editRow("New Title", "New Artist", "99", "A genre name of 28 letters!!");

    const auto now = t::readFile(file);
    ASSERT_EQ(now.size(), original.size());
    EXPECT_EQ(head(now, audio.size()), audio);
    Bytes expected = expectedTag("New Title", "New Artist", "99", "A genre name of 28 letters!!");
    std::memcpy(expected.data() + 63, "Old album", 9);
    expected[126] = 7;
    expected[127] = 17;
    EXPECT_EQ(tail(now, 128), expected); // the genre fills the comment up to the track

    editRow("New Title", "New Artist", "99", "Techno");
    std::memset(expected.data() + 97, 0, 28);
    std::memcpy(expected.data() + 97, "Techno", 6);
    EXPECT_EQ(tail(t::readFile(file), 128), expected);

    // Without a track, what follows the genre in the comment moves with it.
    oldTag[126] = 0;
    std::memcpy(oldTag.data() + 97, comment.data(), comment.size());
    Bytes untracked = audio;
    untracked.insert(untracked.end(), oldTag.begin(), oldTag.end());
    t::writeFile(file, untracked);
    editRow("T", "A", "1", "Techno");
    const auto v1 = tail(t::readFile(file), 128);
    EXPECT_EQ(std::string(v1.begin() + 97, v1.begin() + 127),
              std::string("Techno\0Ripped by me", 19) + std::string(11, '\0'));
    EXPECT_EQ(std::string(v1.begin() + 63, v1.begin() + 72), "Old album");
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(module.lastTagWrite().status, TagWriteStatus::Written);
}

TEST_F(TagWriteBackTest, MissingTagOrLowerCaseTagIsAppended) {
    const auto plain = dir / "plain.mp3";
    t::writeFile(plain, audio);
    addRow(plain);
    editRow("T", "A", "2001", "Pop");
    auto now = t::readFile(plain);
    ASSERT_EQ(now.size(), audio.size() + 128);
    EXPECT_EQ(head(now, audio.size()), audio);
    EXPECT_EQ(tail(now, 128), expectedTag("T", "A", "2001", "Pop"));

    const auto lower = dir / "lower.mp3";
    Bytes withLower = audio;
    auto fake = t::makeId3v1("x", "y", "z", "1", "c");
    std::memcpy(fake.data(), "tag", 3);
    withLower.insert(withLower.end(), fake.begin(), fake.end());
    t::writeFile(lower, withLower);
    addRow(lower);
    editRow("T", "A", "2001", "Pop");
    now = t::readFile(lower);
    ASSERT_EQ(now.size(), withLower.size() + 128);
    EXPECT_EQ(head(now, withLower.size()), withLower);
    EXPECT_EQ(tail(now, 128), expectedTag("T", "A", "2001", "Pop"));

    // A second post finds the appended tag and replaces it.
    editRow("Again", "A", "2001", "Pop");
    EXPECT_EQ(t::readFile(lower).size(), withLower.size() + 128);
}

TEST_F(TagWriteBackTest, FilesShorterThanATagGetOneAppended) {
    for (std::size_t size : {0u, 3u, 127u}) {
        const auto file = dir / ("short" + std::to_string(size) + ".mp3");
        Bytes small(size, 'T'); // even "TAG…" at the start of a short file is no tag
        t::writeFile(file, small);
        addRow(file);
        editRow("S", "B", "1", "G");
        const auto now = t::readFile(file);
        ASSERT_EQ(now.size(), size + 128) << size;
        EXPECT_EQ(head(now, size), small);
        EXPECT_EQ(tail(now, 128), expectedTag("S", "B", "1", "G"));
    }
    // Exactly 128 bytes that begin with "TAG" are a tag: replaced, not appended.
    const auto exact = dir / "exact.mp3";
    t::writeFile(exact, t::makeId3v1("a", "b", "c", "d", "e"));
    addRow(exact);
    editRow("S", "B", "1", "G");
    auto kept = expectedTag("S", "B", "1", "G");
    kept[63] = 'c'; // the album is the file's
    EXPECT_EQ(t::readFile(exact), kept);
}

TEST_F(TagWriteBackTest, FullWidthTextsHaveNoTerminatingZeroAndOtherCharactersBecomeQuestionMarks) {
    const auto file = dir / "wide.mp3";
    t::writeFile(file, audio);
    addRow(file);
    const std::string title30 = "123456789012345678901234567890";
    editRow(title30, "Ärzte 日本", "2024", "Hip-Hop");
    const auto tag = tail(t::readFile(file), 128);
    EXPECT_EQ(Bytes(tag.begin() + 3, tag.begin() + 33), Bytes(title30.begin(), title30.end()));
    EXPECT_EQ(tag[33], 0xC4); // "Ä" in Windows-1252
    const std::string artist(reinterpret_cast<const char *>(tag.data()) + 34, 8);
    EXPECT_EQ(artist, std::string("rzte ??") + '\0');
    EXPECT_EQ(Bytes(tag.begin() + 93, tag.begin() + 97), (Bytes{'2', '0', '2', '4'}));
    EXPECT_EQ(Bytes(tag.begin() + 63, tag.begin() + 93), Bytes(30, 0));
    EXPECT_EQ(tag[127], 255);

    // Reading the tag back gives the texts as the import will see them.
    const auto read = readId3Tag(file);
    EXPECT_TRUE(read.hasIdentifier());
    EXPECT_EQ(read.title(), title30);
    EXPECT_EQ(read.artist(), "Ärzte ??");
    EXPECT_EQ(read.text(ID3Tag::kCommentOffset, 10), "Hip-Hop");

    editRow("", "", "", "");
    EXPECT_EQ(tail(t::readFile(file), 128), expectedTag("", "", "", ""));
}

TEST_F(TagWriteBackTest, PostsWhileTheEditorIsHiddenLeaveFilesAlone) {
    const auto file = dir / "hidden.mp3";
    t::writeFile(file, audio);
    addRow(file);
    editorShown = false;
    editRow("T", "A", "1", "G");
    EXPECT_EQ(t::readFile(file), audio);

    TDataModule1 bare; // no editor hooked in at all
    bare.openOrCreate(dir.path() / "other");
    SongRecord r;
    r[kFieldDateiname] = file.string();
    bare.Table1.appendRecord(r);
    EXPECT_EQ(t::readFile(file), audio);
}

TEST_F(TagWriteBackTest, FilesThatCannotBeWrittenKeepTheRowAndTellTheUser) {
    // Missing: nothing is created.
    const auto missing = dir / "gone.mp3";
    addRow(missing);
    editRow("T", "A", "1", "G");
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_EQ(module.lastTagWrite().status, TagWriteStatus::FileMissing);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("gone.mp3"), std::string::npos);
    EXPECT_NE(messages[0].find("Datensatz ist gespeichert"), std::string::npos);
    EXPECT_EQ(module.Table1.fieldAsString("Titel"), "T"); // the row is saved

    // A folder where the file should be.
    const auto folder = dir / "folder.mp3";
    std::filesystem::create_directory(folder);
    addRow(folder);
    editRow("T", "A", "1", "G");
    EXPECT_EQ(module.lastTagWrite().status, TagWriteStatus::NotWritable);
    EXPECT_EQ(messages.size(), 2u);
    EXPECT_TRUE(std::filesystem::is_empty(folder));

    // A path below a regular file.
    const auto plain = dir / "plain.mp3";
    t::writeFile(plain, audio);
    addRow(plain.string() + "/inner.mp3");
    editRow("T", "A", "1", "G");
    EXPECT_EQ(module.lastTagWrite().status, TagWriteStatus::FileMissing);
    EXPECT_EQ(t::readFile(plain), audio);

    // A new row without a file name: nothing to write, nothing to say.
    module.Table1.insert();
    module.Table1.setFieldString("Titel", "no file");
    module.Table1.post();
    module.finishTagWrites();
    EXPECT_EQ(module.lastTagWrite().status, TagWriteStatus::NoFileName);
    EXPECT_EQ(messages.size(), 3u);
}

TEST_F(TagWriteBackTest, ImmutableFileIsReportedAndLeftUnchanged) {
    const auto file = dir / "locked.mp3";
    t::writeFile(file, audio);
    // As root, permission bits stop nothing; the immutable attribute does.
    const std::string quotedPath = "'" + file.string() + "'";
    if (std::system(("chattr +i " + quotedPath + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not available here";
    addRow(file);
    editRow("T", "A", "1", "G");
    const auto status = module.lastTagWrite().status;
    const auto now = t::readFile(file);
    [[maybe_unused]] int rc = std::system(("chattr -i " + quotedPath).c_str());
    EXPECT_EQ(status, TagWriteStatus::NotWritable);
    EXPECT_EQ(now, audio);
    EXPECT_EQ(module.Table1.fieldAsString("Titel"), "T");
    EXPECT_EQ(messages.size(), 1u);
}

TEST(Id3Tag, ReadingShortMissingAndUntaggedFilesGivesTheZeroRecord) {
    t::TempDir dir;
    t::writeFile(dir / "short.mp3", Bytes{'T', 'A', 'G'});
    EXPECT_FALSE(readId3Tag(dir / "short.mp3").hasIdentifier());
    EXPECT_EQ(readId3Tag(dir / "short.mp3").bytes, ID3Tag{}.bytes);
    EXPECT_EQ(readId3Tag(dir / "none.mp3").bytes, ID3Tag{}.bytes);
    std::filesystem::create_directory(dir / "dir.mp3");
    EXPECT_EQ(readId3Tag(dir / "dir.mp3").bytes, ID3Tag{}.bytes);
    Bytes file(200, 1);
    const auto tag = t::makeId3v1(std::string(30, 'T'), "Artist", "Album", "1999", std::string(19, 'c'));
    file.insert(file.end(), tag.begin(), tag.end());
    t::writeFile(dir / "tagged.mp3", file);
    const auto read = readId3Tag(dir / "tagged.mp3");
    EXPECT_EQ(read.title(), std::string(30, 'T')); // nothing of the artist after it
    EXPECT_EQ(read.artist(), "Artist");
    EXPECT_EQ(read.year(), "1999");
    EXPECT_EQ(read.text(ID3Tag::kCommentOffset, 10), std::string(10, 'c'));
}
