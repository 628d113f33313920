#include "library/Id3Tag.h"
#include "library/SongTags.h"
#include "library/TagRewrite.h"
#include "tests/support/Fixtures.h"
#include "tests/tags/TagBuilders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace mixora;
namespace t = mixora::test;
using namespace mixora::test::tagbytes;
namespace fs = std::filesystem;

namespace {

bool contains(const Bytes &haystack, const Bytes &needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

Bytes tail(const Bytes &b, std::size_t n) {
    return Bytes(b.end() - static_cast<std::ptrdiff_t>(n), b.end());
}

mode_t modeOf(const fs::path &p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st.st_mode & 07777;
}

const TagTexts kNew{"New Title", "New Artist", "2001", "Rock"};

struct Song {
    Bytes picture = Bytes(30000, 0xAB);
    Bytes priv = frame(3, "PRIV", bytes("owner") + Bytes{0, 1, 2, 3});
    Bytes genre = text(3, "TCON", "(17)");
    Bytes audio = t::makeMp3({.seconds = 0.5});
    Bytes apeAlbum = bytes("Keep this album");
    Bytes file() const {
        const auto v2 =
            tag(3,
                {text(3, "TIT2", "Old"), text(3, "TPE1", "Old Artist", kUtf16), text(3, "TYER", "1999"),
                 genre, frame(3, "APIC", Bytes{0} + bytes("image/jpeg") + Bytes{0, 3, 0} + picture), priv},
                100);
        return v2 + audio + ape({{"Title", "Old"}, {"Album", "Keep this album"}}) +
               t::makeId3v1("Old", "Old Artist", "Album", "1999", "Rock");
    }
};

} // namespace

TEST(TagWrite, Id3v2AndApeTakeTheRowsTextsAndKeepEverythingElse) {
    t::TempDir dir;
    const Song song;
    fs::create_directory(dir / "music");
    const auto file = dir / "music" / "song.mp3";
    t::writeFile(file, song.file());
    ::chmod(file.c_str(), 0640);
    fs::create_symlink(file, dir / "link.mp3");

    const auto result = writeId3Tag(dir / "link.mp3", kNew); // through a link: its file changes
    ASSERT_EQ(result.status, TagWriteStatus::Written) << result.reason;
    EXPECT_TRUE(fs::is_symlink(dir / "link.mp3"));
    const auto now = t::readFile(file);
    const auto tags = readSongTags(file);
    EXPECT_EQ(tags.title, "New Title");
    EXPECT_EQ(tags.artist, "New Artist");
    EXPECT_EQ(tags.year, "2001");
    EXPECT_EQ(tags.genre, "Rock");
    EXPECT_TRUE(tags.id3v2 && tags.ape && tags.id3v1);
    // The APE tag says the same as ID3v2 (TagLib reads it on its own here).
    EXPECT_TRUE(contains(now, bytes("New Title")) && contains(now, song.apeAlbum));

    EXPECT_TRUE(contains(now, song.audio));   // the audio, byte for byte
    EXPECT_TRUE(contains(now, song.picture)); // frames the library does not keep stay
    EXPECT_TRUE(contains(now, song.priv));
    EXPECT_TRUE(contains(now, song.genre)); // "(17)" already says "Rock": left as it was
    EXPECT_EQ(tail(now, 128), t::makeId3v1("New Title", "New Artist", "Album", "2001", "Rock"));
    EXPECT_EQ(modeOf(file), 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "music"), fs::directory_iterator{}), 1);
}

TEST(TagWrite, NoTagIsAddedAndUnchangedTagsAreNotRewritten) {
    t::TempDir dir;
    const Bytes audio = t::makeMp3({.seconds = 0.2});
    // APE only: no ID3v2 appears.
    const auto apeOnly = dir / "ape.mp3";
    t::writeFile(apeOnly, audio + ape({{"Title", "Old"}}));
    ASSERT_TRUE(writeId3Tag(apeOnly, kNew).ok());
    auto now = t::readFile(apeOnly);
    EXPECT_EQ(Bytes(now.begin(), now.begin() + static_cast<std::ptrdiff_t>(audio.size())), audio);
    EXPECT_EQ(readSongTags(apeOnly).artist, "New Artist");
    EXPECT_FALSE(readSongTags(apeOnly).id3v2);

    // ID3v2 only: no APE appears, the ID3v1 tag is appended as it always was.
    const auto v2only = dir / "v2.mp3";
    const auto v2 = tag(4, {text(4, "TIT2", "Old")});
    t::writeFile(v2only, v2 + audio);
    ASSERT_TRUE(writeId3Tag(v2only, kNew).ok());
    now = t::readFile(v2only);
    EXPECT_FALSE(readSongTags(v2only).ape);
    EXPECT_EQ(readSongTags(v2only).title, "New Title");
    EXPECT_EQ(tail(now, 128), t::makeId3v1("New Title", "New Artist", "", "2001", "Rock"));

    // A second post of the same texts finds ID3v2 in agreement: only the ID3v1 tag is
    // written, in place (the file stays the same file).
    const TagTexts pop{"New Title", "New Artist", "2001", "Pop"};
    ASSERT_TRUE(writeId3Tag(v2only, pop).ok());
    struct stat before {
    }, after{};
    ::stat(v2only.c_str(), &before);
    ASSERT_TRUE(writeId3Tag(v2only, pop).ok());
    ::stat(v2only.c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST(TagWrite, AKilledWriterLeavesTheOldFileOrTheNewOne) {
    t::TempDir dir;
    Song song;
    song.audio = t::makeMp3({.seconds = 3.0});
    const Bytes old = song.file();
    t::writeFile(dir / "expected.mp3", old);
    ASSERT_TRUE(writeId3Tag(dir / "expected.mp3", kNew).ok());
    const Bytes written = t::readFile(dir / "expected.mp3");
    ASSERT_NE(written, old);

    using tags::RewriteStage;
    for (const auto stage :
         {RewriteStage::TempCreated, RewriteStage::HalfCopied, RewriteStage::Synced, RewriteStage::Renamed}) {
        const auto file = dir / "song.mp3";
        t::writeFile(file, old);
        ::chmod(file.c_str(), 0604);
        static RewriteStage killAt;
        killAt = stage;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            tags::rewriteHook = [](RewriteStage s) {
                if (s == killAt)
                    ::raise(SIGKILL);
            };
            writeId3Tag(file, kNew);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << static_cast<int>(stage);
        EXPECT_EQ(t::readFile(file), stage == RewriteStage::Renamed ? written : old)
            << static_cast<int>(stage);
        EXPECT_EQ(modeOf(file), 0604u);
    }
}

TEST(TagWrite, BrokenTagsNeitherCrashTheReaderNorTheWriter) {
    // Tags broken at random places (fixed seed): sizes, flags, encodings, IDs.
    t::TempDir dir;
    const Bytes good =
        tag(4,
            {text(4, "TIT2", "Title", kUtf16), text(4, "TPE1", "Artist"), text(4, "TCON", "(17)"),
             frame(4, "TIT2", Bytes{0, 'x'}, 0x000C), text(4, "TDRC", "2004")},
            20) +
        Bytes(200, 0x55) + ape({{"Title", "T"}, {"Year", "1999"}}) + t::makeId3v1("v1", "v1", "", "1", "");
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    const auto file = dir / "broken.mp3";
    for (int round = 0; round < 1500; ++round) {
        Bytes broken = good;
        for (int n = 1 + static_cast<int>(next() % 4); n > 0; --n)
            broken[(next() >> 8) % broken.size()] = static_cast<std::uint8_t>(next() >> 16);
        t::writeFile(file, broken);
        readSongTags(file);
        if (round % 10 == 0) {
            const auto result = writeId3Tag(file, kNew);
            if (result.ok()) { // the fields the library owns; a broken tag keeps its other bytes
                const auto v1 = readId3Tag(file);
                EXPECT_EQ(v1.title() + "|" + v1.artist() + "|" + v1.year() + "|" +
                              v1.text(ID3Tag::kCommentOffset, ID3Tag::kGenreReadWidth),
                          "New Title|New Artist|2001|Rock");
            }
        }
    }
}
