#include "library/TagLayout.h"

#include <cstring>

namespace mixora::tags {
namespace {

std::uint32_t bigEndian(const unsigned char *p, int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

std::uint32_t littleEndian32(const unsigned char *p) {
    return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

bool synchsafe(const unsigned char *p) {
    return ((p[0] | p[1] | p[2] | p[3]) & 0x80) == 0;
}

std::uint32_t fromSynchsafe(const unsigned char *p) {
    return (std::uint32_t{p[0]} << 21) | (std::uint32_t{p[1]} << 14) | (std::uint32_t{p[2]} << 7) | p[3];
}

bool isIdChar(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

const unsigned char *bytes(std::string_view s) {
    return reinterpret_cast<const unsigned char *>(s.data());
}

// Where a frame of a version 2.4 tag may end: the end of the tag, padding, or the next frame.
bool plausibleEnd(std::string_view rest, std::size_t at) {
    if (at == rest.size())
        return true;
    if (at > rest.size())
        return false;
    if (rest[at] == '\0')
        return true;
    if (rest.size() - at < 10)
        return false;
    for (std::size_t i = 0; i < 4; ++i)
        if (!isIdChar(static_cast<unsigned char>(rest[at + i])))
            return false;
    return true;
}

} // namespace

std::optional<Id3v2Header> parseId3v2Header(const unsigned char *ten) {
    if (std::memcmp(ten, "ID3", 3) != 0 || ten[3] < 2 || ten[3] > 4 || ten[4] == 0xFF || !synchsafe(ten + 6))
        return std::nullopt;
    return Id3v2Header{ten[3], ten[5], fromSynchsafe(ten + 6)};
}

std::optional<std::size_t> framesStart(std::string_view body, const Id3v2Header &header) {
    if (!(header.flags & kExtendedHeader))
        return std::size_t{0};
    if (header.version == 2 || body.size() < 4)
        return std::nullopt; // 2.2 calls this flag compression and defines none
    const auto *p = bytes(body);
    std::size_t size;
    if (header.version == 3) {
        size = std::size_t{4} + bigEndian(p, 4);
    } else {
        if (!synchsafe(p))
            return std::nullopt;
        size = fromSynchsafe(p);
        if (size < 6)
            return std::nullopt;
    }
    if (size > body.size())
        return std::nullopt;
    return size;
}

std::optional<FrameSpan> frameAt(std::string_view rest, int version) {
    const auto *p = bytes(rest);
    // Some writers put frames of version 2.2 into tags that say 2.3: a three-character ID and
    // then no fourth ID character.
    const bool oldLayout = version == 2 || (rest.size() >= 6 && isIdChar(p[0]) && isIdChar(p[1]) &&
                                            isIdChar(p[2]) && (rest.size() < 10 || !isIdChar(p[3])));
    const std::size_t idSize = oldLayout ? 3 : 4;
    const std::size_t headerSize = oldLayout ? 6 : 10;
    if (rest.size() < headerSize || p[0] == 0)
        return std::nullopt;
    std::uint64_t size;
    if (oldLayout) {
        size = bigEndian(p + 3, 3);
    } else if (version == 3 || !synchsafe(p + 4)) {
        size = bigEndian(p + 4, 4);
    } else {
        size = fromSynchsafe(p + 4);
        // Some writers put plain sizes into 2.4 tags; believe whichever reading lands on the
        // next frame.
        const std::uint64_t plain = bigEndian(p + 4, 4);
        if (size > 127 && plain != size && !plausibleEnd(rest, headerSize + size) &&
            plausibleEnd(rest, headerSize + plain))
            size = plain;
    }
    // A frame cut off by the tag's end keeps what the tag holds of it.
    size = std::min<std::uint64_t>(size, rest.size() - headerSize);
    return FrameSpan{rest.substr(0, idSize), 0, headerSize + static_cast<std::size_t>(size), headerSize};
}

std::string resynchronise(std::string_view data) {
    std::string out;
    out.reserve(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        out += data[i];
        if (static_cast<unsigned char>(data[i]) == 0xFF && i + 1 < data.size() && data[i + 1] == '\0')
            ++i;
    }
    return out;
}

void putSynchsafe(unsigned char *out, std::uint32_t value) {
    out[0] = static_cast<unsigned char>((value >> 21) & 0x7F);
    out[1] = static_cast<unsigned char>((value >> 14) & 0x7F);
    out[2] = static_cast<unsigned char>((value >> 7) & 0x7F);
    out[3] = static_cast<unsigned char>(value & 0x7F);
}

TailLayout parseTail(std::string_view tail, std::uint64_t size, std::uint64_t floor) {
    TailLayout layout;
    const std::uint64_t tailStart = size - tail.size();
    const auto *p = bytes(tail);
    if (size >= 128 && size - 128 >= floor && tail.size() >= 128 &&
        std::memcmp(p + tail.size() - 128, "TAG", 3) == 0)
        layout.id3v1 = true;
    const std::uint64_t end = size - (layout.id3v1 ? 128 : 0);
    if (end < kApeFooterSize || end - kApeFooterSize < tailStart)
        return layout;
    const auto *footer = p + (end - kApeFooterSize - tailStart);
    if (std::memcmp(footer, "APETAGEX", 8) != 0)
        return layout;
    const std::uint64_t tagSize = littleEndian32(footer + 12); // items and footer
    const bool hasHeader = (footer[23] & 0x80) != 0;
    const std::uint64_t whole = tagSize + (hasHeader ? kApeFooterSize : 0);
    if (tagSize < kApeFooterSize || whole > end || end - whole < floor)
        return layout;
    layout.ape = true;
    layout.apeStart = end - whole;
    layout.apeEnd = end;
    return layout;
}

} // namespace mixora::tags
