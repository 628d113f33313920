// Where the tags sit in an MP3 file and how an ID3v2 tag divides into frames: the part of
// tag handling shared by the reader and the write-back. TagLib parses frame contents; the
// layout is ours, so that a lying size or a tag of a million frames never makes us read or
// allocate more than a fixed bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mixora::tags {

// The most of an ID3v2 tag we read; a larger tag is read this far (frames come first,
// pictures usually last).
inline constexpr std::size_t kMaxId3v2Bytes = std::size_t{16} << 20;
// The largest APE tag we take; APE tags are texts, a larger one is passed over.
inline constexpr std::size_t kMaxApeBytes = std::size_t{1} << 20;

inline constexpr std::size_t kId3v2HeaderSize = 10;
inline constexpr std::size_t kApeFooterSize = 32;

enum Id3v2Flag : std::uint8_t {
    kUnsynchronisation = 0x80,
    kExtendedHeader = 0x40, // compression in version 2.2
    kExperimental = 0x20,
    kFooter = 0x10,
};

struct Id3v2Header {
    int version = 0; // 2, 3 or 4
    std::uint8_t flags = 0;
    std::uint32_t size = 0; // of what follows the header (footer not counted)
};

// The header at the start of a file, when the first ten bytes are a sound one.
std::optional<Id3v2Header> parseId3v2Header(const unsigned char *ten);

// The frames of an ID3v2 tag, given what follows its header (already freed of the tag-wide
// unsynchronisation of versions 2.2 and 2.3): each frame's ID and its span, header included.
struct FrameSpan {
    std::string_view id; // three characters for a frame of version 2.2's layout
    std::size_t offset = 0;
    std::size_t size = 0;
    std::size_t headerSize = 10; // 6 in version 2.2's layout
};
// Frames end at padding (a zero byte where a frame would begin) or at the end. A frame whose ID
// is no valid one is passed over by its size, as is an empty frame; a frame whose size runs
// past the end reaches to the end; a frame of version 2.2's layout (three-character ID, six-byte
// header) inside a later version's tag is taken as such. Calls visit(span) for each; visit
// returns false to stop.
template <class Visit> void forEachFrame(std::string_view body, const Id3v2Header &header, Visit &&visit);

// The offset at which the frames begin (after an extended header), or nothing when the
// extended header is broken.
std::optional<std::size_t> framesStart(std::string_view body, const Id3v2Header &header);
// The frame at the start of `rest` (its ID, size and header size; the offset is 0), or nothing
// when no frame starts there: padding, or too few bytes left for a header.
std::optional<FrameSpan> frameAt(std::string_view rest, int version);

// Undoes ID3v2 unsynchronisation (0xFF 0x00 becomes 0xFF).
std::string resynchronise(std::string_view data);
// A 28-bit number as four bytes of seven bits.
void putSynchsafe(unsigned char *out, std::uint32_t value);

// Where the tags at the end of a file sit: the ID3v1 tag (last 128 bytes beginning with
// "TAG") and an APE tag before it or at the very end.
struct TailLayout {
    bool id3v1 = false;
    bool ape = false;
    std::uint64_t apeStart = 0; // header included, when it has one
    std::uint64_t apeEnd = 0;   // just past its footer
};
// `tail` holds the last bytes of the file (160 of them, or the whole file when smaller);
// `size` is the file's size; no tag may begin before `floor` (the end of the ID3v2 tag).
TailLayout parseTail(std::string_view tail, std::uint64_t size, std::uint64_t floor);
inline constexpr std::size_t kTailBytes = 160;

template <class Visit> void forEachFrame(std::string_view body, const Id3v2Header &header, Visit &&visit) {
    const auto start = framesStart(body, header);
    if (!start)
        return;
    std::size_t pos = *start;
    while (pos < body.size()) {
        auto frame = frameAt(body.substr(pos), header.version);
        if (!frame)
            return;
        frame->offset = pos;
        if (!visit(*frame))
            return;
        pos += frame->size;
    }
}

} // namespace mixora::tags
