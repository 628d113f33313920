#include "library/Id3Tag.h"
#include "library/SongTags.h"
#include "tests/support/Fixtures.h"
#include "tests/tags/TagBuilders.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <new>

#include <zlib.h>

using namespace mixora;
namespace t = mixora::test;
using namespace mixora::test::tagbytes;

// Live heap bytes and their peak, to see that a lying size field costs no memory.
namespace {
std::atomic<long long> liveBytes{0}, peakBytes{0};
void *track(void *p) {
    if (p == nullptr)
        throw std::bad_alloc();
    const long long now = liveBytes += static_cast<long long>(malloc_usable_size(p));
    long long peak = peakBytes.load();
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
    return p;
}
void untrack(void *p) {
    if (p != nullptr) {
        liveBytes -= static_cast<long long>(malloc_usable_size(p));
        std::free(p);
    }
}
} // namespace
void *operator new(std::size_t n) {
    return track(std::malloc(n ? n : 1));
}
void *operator new[](std::size_t n) {
    return track(std::malloc(n ? n : 1));
}
void operator delete(void *p) noexcept {
    untrack(p);
}
void operator delete[](void *p) noexcept {
    untrack(p);
}
void operator delete(void *p, std::size_t) noexcept {
    untrack(p);
}
void operator delete[](void *p, std::size_t) noexcept {
    untrack(p);
}

namespace {

const Bytes kAudio = {0xFF, 0xFB, 0x90, 0x64, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

SongTags readBytes(const t::TempDir &dir, const Bytes &file) {
    const auto path = dir / "song.mp3";
    t::writeFile(path, file);
    return readSongTags(path);
}

// Peak heap while reading, above what was live before.
SongTags readMeasured(const t::TempDir &dir, const Bytes &file, long long &peak) {
    const auto path = dir / "song.mp3";
    t::writeFile(path, file);
    const long long before = liveBytes.load();
    peakBytes = before;
    SongTags tags = readSongTags(path);
    peak = peakBytes.load() - before;
    return tags;
}

Bytes compressed(const Bytes &data) {
    uLongf size = compressBound(data.size());
    Bytes out(size);
    compress(out.data(), &size, data.data(), data.size());
    out.resize(size);
    return out;
}

} // namespace

TEST(TagReader, EachFieldComesFromTheFirstTagThatHasIt) {
    t::TempDir dir;
    const auto v2 = tag(3, {text(3, "TIT2", "Größe 日本", kUtf16), text(3, "TPE1", "")});
    const auto apeTag = ape({{"Artist", "APE Artist"}, {"Title", "not this"}});
    const auto v1 = t::makeId3v1("v1 title", "v1 artist", "album", "1999", "House music");
    const auto tags = readBytes(dir, v2 + kAudio + apeTag + v1);
    EXPECT_EQ(tags.title, "Größe 日本");
    EXPECT_EQ(tags.artist, "APE Artist");
    EXPECT_EQ(tags.year, "1999");
    EXPECT_EQ(tags.genre, "House musi"); // ten characters of the ID3v1 comment, as ever
    EXPECT_TRUE(tags.id3v2 && tags.ape && tags.id3v1);

    // Without ID3v2 and APE, ID3v1 gives what the import always took: 30 characters with no
    // zero byte, spaces kept, Windows-1252.
    const auto only = t::makeId3v1(std::string(30, 'A'), "Die \xC4rzte  ", "x", "2024", std::string(19, 'c'));
    const auto v1only = readBytes(dir, kAudio + only);
    const auto record = readId3Tag(dir / "song.mp3");
    EXPECT_EQ(v1only.title, record.title());
    EXPECT_EQ(v1only.artist, "Die Ärzte  ");
    EXPECT_EQ(v1only.year, "2024");
    EXPECT_EQ(v1only.genre, std::string(10, 'c'));
    EXPECT_FALSE(v1only.id3v2 || v1only.ape);
}

TEST(TagReader, EveryVersionEncodingAndGenreReference) {
    t::TempDir dir;
    struct Case {
        Bytes tag;
        std::string title, artist, year, genre;
    };
    const std::string longTitle(70, 'L');
    const std::vector<Case> cases = {
        // 2.2 with Windows-1252 bytes in a Latin-1 frame; genre reference in parentheses.
        {tag(2, {text(2, "TT2", "Caf\xE9 \x80"), text(2, "TP1", "Ab"), text(2, "TYE", "1987"),
                 text(2, "TCO", "(17)")}),
         "Café €", "Ab", "1987", "Rock"},
        {tag(3, {text(3, "TIT2", longTitle), text(3, "TCON", "(4)(17)"), text(3, "TYER", "1999")}), longTitle,
         "", "1999", "Disco / Rock"},
        {tag(4, {text(4, "TIT2", "Ünïcode", kUtf8), text(4, "TPE1", "Bé", kUtf16BE),
                 text(4, "TDRC", "2004-05-12"), text(4, "TCON", "17")}),
         "Ünïcode", "Bé", "2004-05-12", "Rock"},
        {tag(4, {text(4, "TCON", "RX")}), "", "", "", "Remix"},
        {tag(3, {text(3, "TCON", "Techno")}), "", "", "", "Techno"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto tags = readBytes(dir, cases[i].tag + kAudio);
        EXPECT_EQ(tags.title, cases[i].title) << i;
        EXPECT_EQ(tags.artist, cases[i].artist) << i;
        EXPECT_EQ(tags.year, cases[i].year) << i;
        EXPECT_EQ(tags.genre, cases[i].genre) << i;
    }
    // What the import stores: the year's first four characters.
    EXPECT_EQ(fitToFields(readBytes(dir, cases[2].tag + kAudio)).year, "2004");
}

TEST(TagReader, TagsAreFoundWhereverTheFileAndItsFirstReadEnd) {
    t::TempDir dir;
    const auto v1 = t::makeId3v1("v1 title", "v1 artist", "", "1999", "");
    // A frame of k bytes before the texts moves the tag's end across the first few kilobytes
    // the reader takes at once; m bytes of audio move the file's end.
    for (const std::size_t k : {0, 3000, 4040, 4041, 4042, 4043, 4050, 9000})
        for (const std::size_t m : {0, 16, 3913, 3914, 3915, 5000}) {
            const Bytes v2 = tag(3, {frame(3, "PRIV", Bytes(k + 1, 0x11)), text(3, "TIT2", "Title"),
                                     text(3, "TPE1", "Artist")});
            const auto tags = readBytes(dir, v2 + Bytes(m, 0x55) + v1);
            EXPECT_EQ(tags.title, "Title") << k << " " << m;
            EXPECT_EQ(tags.artist, "Artist") << k << " " << m;
            EXPECT_EQ(tags.year, "1999") << k << " " << m;
            EXPECT_TRUE(tags.id3v2 && tags.id3v1 && !tags.ape) << k << " " << m;
        }
}

TEST(TagReader, BrokenTagsGiveWhatCanBeRead) {
    t::TempDir dir;
    const auto title = text(4, "TIT2", "Kept");
    const auto artist = text(4, "TPE1", "Artist");

    // Unsynchronised 2.3 tag: 0xFF 0x00 0xE0 stands for 0xFF 0xE0 (the frame's size counts
    // the bytes before unsynchronisation).
    Bytes unsync = tag(3, {frame(3, "TIT2", Bytes{0, 'x', 0xFF, 0x00, 0xE0, 'y'}, 0, 5)}, 0, 0x80);
    EXPECT_EQ(readBytes(dir, unsync + kAudio).title, "xÿày");

    // Compressed frame (zlib, with the data length), one that does not inflate, an encrypted one.
    const Bytes plain = Bytes{0} + bytes("Packed");
    const Bytes packed = bigEndian(static_cast<std::uint32_t>(plain.size()), 4) + compressed(plain);
    EXPECT_EQ(readBytes(dir, tag(4, {frame(4, "TIT2", packed, 0x0009), artist}) + kAudio).title, "Packed");
    const Bytes junk = bigEndian(50, 4) + Bytes(20, 0x55);
    EXPECT_EQ(readBytes(dir, tag(4, {frame(4, "TIT2", junk, 0x0009), artist}) + kAudio).artist, "Artist");
    EXPECT_EQ(readBytes(dir, tag(4, {frame(4, "TIT2", Bytes(12, 7), 0x0004), artist}) + kAudio).artist,
              "Artist");

    // UTF-16 without byte-order mark and of odd length; the next frame still counts.
    const auto odd = frame(3, "TIT2", Bytes{1, 'a', 0, 'b'});
    const auto tags = readBytes(dir, tag(3, {odd, text(3, "TPE1", "After")}) + kAudio);
    EXPECT_EQ(tags.artist, "After");

    // A frame running past the tag ends the frames; those before it stay.
    EXPECT_EQ(readBytes(dir, tag(4, {title, frame(4, "TPE1", Bytes{0, 'a'}, 0, 5000)}) + kAudio).title,
              "Kept");
    // Extended header claiming more than the tag: no frames, no crash.
    EXPECT_EQ(readBytes(dir, tag(4, {synchsafe(100000), title}, 0, 0x40) + kAudio).title, "");
    // 2.4 tag whose writer put plain sizes of 128 bytes and more.
    const Bytes big = Bytes{0} + Bytes(200, 'T');
    const Bytes itunes =
        bytes("TIT2") + bigEndian(static_cast<std::uint32_t>(big.size()), 4) + Bytes{0, 0} + big;
    EXPECT_EQ(readBytes(dir, tag(4, {itunes, artist}) + kAudio).artist, "Artist");
    // APE footer with a size beyond the file and an item count of four billion.
    auto lying = ape({{"Title", "T"}}, 0xFFFFFFFF);
    EXPECT_EQ(readBytes(dir, kAudio + lying).title, "T");
    lying[lying.size() - 20] = 0xFF;
    lying[lying.size() - 19] = 0xFF;
    EXPECT_EQ(readBytes(dir, kAudio + lying).title, "");
    // Files that are only a tag, too short for one, or empty.
    EXPECT_EQ(readBytes(dir, tag(3, {text(3, "TIT2", "Only")})).title, "Only");
    for (const Bytes &tiny : {Bytes{}, bytes("ID3"), bytes("ID3\x04"), bytes("TAG")})
        EXPECT_EQ(readBytes(dir, tiny).title, "");
}

// Patterns that real files carry and careful readers accept; each once ended the frames.
TEST(TagReader, FramesOtherReadersAcceptAreRead) {
    t::TempDir dir;
    const auto title = text(3, "TIT2", "Title");
    const auto artist = text(3, "TPE1", "Artist");
    // An ID that is no valid one is passed over, and so is an empty frame.
    auto tags = readBytes(dir, tag(3, {frame(3, "Date", bytes("2001")), title, artist}) + kAudio);
    EXPECT_EQ(tags.title + "|" + tags.artist, "Title|Artist");
    tags = readBytes(dir, tag(3, {frame(3, "TIT2", {}), frame(3, "TPE1", {}), title, artist}) + kAudio);
    EXPECT_EQ(tags.title + "|" + tags.artist, "Title|Artist");
    // Frames of 2.2 (three-character IDs, six-byte headers) in a tag that says 2.3.
    tags = readBytes(dir, tag(3, {text(2, "TT2", "Old layout"), text(2, "TP1", "Two")}, 20) + kAudio);
    EXPECT_EQ(tags.title + "|" + tags.artist, "Old layout|Two");
    // UTF-16 without byte-order mark: little-endian.
    tags = readBytes(dir, tag(3, {frame(3, "TIT2", Bytes{1} + utf16le("Größe")), artist}) + kAudio);
    EXPECT_EQ(tags.title, "Größe");
    // A size running past the tag's end: the frame reaches to the end.
    tags = readBytes(dir, tag(3, {artist, frame(3, "TIT2", Bytes{0} + bytes("Cut"), 0, 5000)}) + kAudio);
    EXPECT_EQ(tags.title + "|" + tags.artist, "Cut|Artist");
}

TEST(TagReader, MemoryStaysBoundedWhateverTheTagClaims) {
    t::TempDir dir;
    long long peak = 0;
    // A size field of 256 MB on a small file.
    auto tags = readMeasured(dir, tag(4, {text(4, "TIT2", "Small")}, 0, 0, 0x0FFFFFFF) + kAudio, peak);
    EXPECT_EQ(tags.title, "Small");
    EXPECT_LT(peak, 1 << 20);

    // Half a million tiny frames before the title: read, not kept.
    std::vector<Bytes> frames(500000, frame(4, "TXXX", Bytes{0}));
    frames.push_back(text(4, "TIT2", "Last"));
    const Bytes many = tag(4, frames);
    tags = readMeasured(dir, many + kAudio, peak);
    EXPECT_EQ(tags.title, "Last");
    EXPECT_LT(peak, static_cast<long long>(many.size()) + (1 << 20));

    // A 2.3 tag claiming 256 MB and an APE tag claiming 4 GB in a 40 MB file of zeros read
    // at most their fixed bounds.
    Bytes huge = tag(3, {text(3, "TIT2", "Huge")}, 0, 0, 0x0FFFFFFF);
    huge.resize(40u << 20, 0);
    tags = readMeasured(dir, huge + ape({{"Artist", "A"}}), peak);
    EXPECT_EQ(tags.title, "Huge");
    EXPECT_LT(peak, (16 << 20) + (1 << 20));
}

TEST(TagReader, CorpusFilesAreReadWithoutHarm) {
    MIXORA_REQUIRE_CORPUS();
    for (const char *folder : {"malformed", "stress", "mpeg-conformance"})
        for (const auto &entry : std::filesystem::directory_iterator(t::corpusDir() / folder))
            readSongTags(entry.path()); // ASan/UBSan watch this
    EXPECT_EQ(readSongTags(t::corpusDir() / "stress" / "l3-nonstandard-id3v2.bit").title, "test title");
    EXPECT_EQ(readSongTags(t::corpusDir() / "malformed" / "l3-nonstandard-id3v2-only.bit").title,
              "test title");
    EXPECT_EQ(readSongTags(t::corpusDir() / "stress" / "l3-nonstandard-apetag.bit").title, "test");
}

TEST(TagReader, ToolPrintsWhatTheImportStores) {
    t::TempDir dir;
    t::writeFile(dir / "a b.mp3", tag(3, {text(3, "TIT2", std::string(300, 'x')), text(3, "TCON", "(17)")}) +
                                      kAudio + t::makeId3v1("", "Artist", "", "1999", ""));
    const std::string command = std::string(MIXORA_BIN_DIR) + "/dj-mixora-tags '" +
                                (dir / "a b.mp3").string() + "' '" + (dir / "none").string() +
                                "' 2>/dev/null";
    const t::CommandRun run = t::runCommand(command);
    EXPECT_EQ(run.status, 1); // one file could not be opened
    const std::string expected = "file=" + (dir / "a b.mp3").string() +
                                 "\ntags=ID3v2 ID3v1\nInterpret=Artist\nTitel=" + std::string(255, 'x') +
                                 "\nJahr=1999\nGenre=Rock\n\nfile=" + (dir / "none").string() +
                                 "\nerror=No such file or directory\n";
    EXPECT_EQ(run.out, expected);
}
