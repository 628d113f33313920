#include "library/SongTags.h"

#include "library/Id3Tag.h"
#include "library/SongTable.h"
#include "library/TagIo.h"
#include "library/TagLayout.h"
#include "util/Cp1252.h"

#include <taglib/apeitem.h>
#include <taglib/apetag.h>
#include <taglib/id3v1genres.h>
#include <taglib/id3v2tag.h>
#include <taglib/textidentificationframe.h>

#include <array>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mixora {
namespace tags {

std::string utf8Text(const TagLib::String &s, bool latin1) {
    std::string out;
    if (latin1) {
        // Latin-1 frames hold Windows-1252 in practice ("€", curly quotes).
        std::string raw;
        raw.reserve(s.size());
        for (auto c : s)
            raw += static_cast<char>(static_cast<unsigned char>(c));
        out = text::cp1252ToUtf8(raw);
    } else {
        out = s.to8Bit(true);
    }
    // Broken UTF-16 may leave invalid bytes; control characters have no place in a grid.
    if (!text::isValidUtf8(out))
        out = text::cp1252ToUtf8(text::utf8ToCp1252(out));
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    return out;
}

std::string joined(const TagLib::StringList &values, bool latin1) {
    std::string out;
    for (const auto &v : values) {
        if (v.isEmpty())
            continue;
        if (!out.empty())
            out += " / ";
        out += utf8Text(v, latin1);
    }
    return out;
}

std::string genreName(const TagLib::StringList &fields, bool latin1) {
    TagLib::StringList names;
    for (const auto &field : fields) {
        bool number = false;
        const int n = field.toInt(&number);
        if (number && n >= 0 && n <= 255 && !TagLib::ID3v1::genre(n).isEmpty())
            names.append(TagLib::ID3v1::genre(n));
        else if (field == "RX")
            names.append("Remix");
        else if (field == "CR")
            names.append("Cover");
        else
            names.append(field);
    }
    return joined(names, latin1);
}

} // namespace tags

namespace {

using tags::joined;
using tags::MemoryFile;

// The frames the library takes, by the IDs of 2.2 and of 2.3/2.4.
constexpr std::array<std::string_view, 9> kWantedFrames{"TT2",  "TP1",  "TYE",  "TCO", "TIT2",
                                                        "TPE1", "TYER", "TDRC", "TCON"};

std::string frameText(const TagLib::ID3v2::Tag &tag, const char *id, bool genre = false) {
    const auto &list = tag.frameListMap()[id];
    if (list.isEmpty())
        return {};
    const auto *frame = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame *>(list.front());
    if (frame == nullptr)
        return {}; // encrypted or otherwise unreadable
    const bool latin1 = frame->textEncoding() == TagLib::String::Latin1;
    return genre ? tags::genreName(frame->fieldList(), latin1) : joined(frame->fieldList(), latin1);
}

} // namespace

namespace tags {

// Only the frames we take go to TagLib, one of each, so a tag of countless frames or a huge
// picture costs nothing more than reading it.
SongTags id3v2Texts(std::string_view body, const Id3v2Header &header) {
    SongTags out;
    std::string mini(kId3v2HeaderSize, '\0');
    std::array<bool, kWantedFrames.size()> taken{};
    forEachFrame(body, header, [&](const FrameSpan &frame) {
        for (std::size_t i = 0; i < kWantedFrames.size(); ++i) {
            if (frame.id != kWantedFrames[i] || taken[i])
                continue;
            taken[i] = true;
            const std::size_t at = mini.size();
            mini.append(body, frame.offset, frame.size);
            if (header.version == 4) // our reading of the size, whatever the writer meant
                putSynchsafe(reinterpret_cast<unsigned char *>(mini.data() + at + 4),
                             static_cast<std::uint32_t>(frame.size - 10));
        }
        return true;
    });
    if (mini.size() == kId3v2HeaderSize)
        return out;
    auto *h = reinterpret_cast<unsigned char *>(mini.data());
    std::memcpy(h, "ID3", 3);
    h[3] = static_cast<unsigned char>(header.version);
    h[4] = 0;
    h[5] = header.version == 4 ? (header.flags & kUnsynchronisation) : 0;
    putSynchsafe(h + 6, static_cast<std::uint32_t>(mini.size() - kId3v2HeaderSize));

    MemoryFile file(TagLib::ByteVector(mini.data(), static_cast<unsigned int>(mini.size())));
    const TagLib::ID3v2::Tag tag(&file, 0);
    // TagLib names 2.2 and 2.3 frames as 2.4 does (TYER and TYE become TDRC).
    out.title = frameText(tag, "TIT2");
    out.artist = frameText(tag, "TPE1");
    out.year = frameText(tag, "TDRC");
    out.genre = frameText(tag, "TCON", true);
    return out;
}

SongTags apeTexts(std::string_view bytes) {
    SongTags out;
    if (bytes.size() < kApeFooterSize)
        return out;
    MemoryFile file(TagLib::ByteVector(bytes.data(), static_cast<unsigned int>(bytes.size())));
    const TagLib::APE::Tag tag(&file, static_cast<long>(bytes.size() - kApeFooterSize));
    const auto &items = tag.itemListMap();
    auto item = [&](const char *key) -> std::string {
        const auto it = items.find(key);
        if (it == items.end() || it->second.type() != TagLib::APE::Item::Text)
            return {};
        return joined(it->second.values(), false);
    };
    out.title = item("TITLE");
    out.artist = item("ARTIST");
    out.year = item("YEAR");
    out.genre = item("GENRE");
    return out;
}

} // namespace tags

namespace {

void readId3v2(int fd, std::uint64_t fileSize, const tags::Id3v2Header &header, SongTags &out) {
    const std::uint64_t available = fileSize - tags::kId3v2HeaderSize;
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>({header.size, available, tags::kMaxId3v2Bytes}));
    std::string body(want, '\0');
    body.resize(tags::readAt(fd, body.data(), want, tags::kId3v2HeaderSize));
    if (header.version <= 3 && (header.flags & tags::kUnsynchronisation))
        body = tags::resynchronise(body);
    const auto texts = tags::id3v2Texts(body, header);
    out.title = texts.title;
    out.artist = texts.artist;
    out.year = texts.year;
    out.genre = texts.genre;
}

void readApe(int fd, const tags::TailLayout &layout, SongTags &out) {
    const std::uint64_t size = layout.apeEnd - layout.apeStart;
    if (size > tags::kMaxApeBytes)
        return;
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (tags::readAt(fd, bytes.data(), bytes.size(), layout.apeStart) != bytes.size())
        return;
    out = tags::apeTexts(bytes);
}

void fillEmpty(std::string &field, std::string from) {
    if (field.empty())
        field = std::move(from);
}

} // namespace

SongTags readSongTags(int fd) {
    SongTags result;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return result;
    const auto size = static_cast<std::uint64_t>(st.st_size);

    std::uint64_t floor = 0;
    unsigned char head[tags::kId3v2HeaderSize];
    if (size >= tags::kId3v2HeaderSize && tags::readAt(fd, head, sizeof head, 0) == sizeof head) {
        if (const auto header = tags::parseId3v2Header(head)) {
            result.id3v2 = true;
            floor = std::min<std::uint64_t>(size, tags::kId3v2HeaderSize + std::uint64_t{header->size});
            readId3v2(fd, size, *header, result);
        }
    }

    const std::size_t tailSize = static_cast<std::size_t>(std::min<std::uint64_t>(size, tags::kTailBytes));
    std::string tail(tailSize, '\0');
    if (tags::readAt(fd, tail.data(), tailSize, size - tailSize) != tailSize)
        return result;
    const auto layout = tags::parseTail(tail, size, floor);
    if (layout.ape) {
        result.ape = true;
        SongTags ape;
        readApe(fd, layout, ape);
        fillEmpty(result.title, std::move(ape.title));
        fillEmpty(result.artist, std::move(ape.artist));
        fillEmpty(result.year, std::move(ape.year));
        fillEmpty(result.genre, std::move(ape.genre));
    }
    if (layout.id3v1) {
        result.id3v1 = true;
        ID3Tag v1;
        std::memcpy(v1.bytes.data(), tail.data() + tailSize - ID3Tag::kSize, ID3Tag::kSize);
        fillEmpty(result.title, v1.title());
        fillEmpty(result.artist, v1.artist());
        fillEmpty(result.year, v1.year());
        // The write-back keeps the genre name in the comment; its first ten bytes are the genre.
        fillEmpty(result.genre, v1.text(ID3Tag::kCommentOffset, 10));
    }
    return result;
}

SongTags readSongTags(const std::filesystem::path &file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return {};
    SongTags tags = readSongTags(fd);
    ::close(fd);
    return tags;
}

SongTags fitToFields(SongTags tags) {
    auto fit = [](std::string &s, SongField field) { s = text::utf8Left(s, kSongFields[field].size); };
    fit(tags.artist, kFieldInterpret);
    fit(tags.title, kFieldTitel);
    fit(tags.year, kFieldJahr);
    fit(tags.genre, kFieldGenre);
    return tags;
}

} // namespace mixora
