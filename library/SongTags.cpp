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
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mixora {
namespace tags {
namespace {

// Control characters have no place in a grid; broken UTF-16 may leave invalid bytes.
std::string cleaned(std::string out) {
    if (!text::isValidUtf8(out))
        out = text::cp1252ToUtf8(text::utf8ToCp1252(out));
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    return out;
}

// A text's values as UTF-8. Latin-1 texts hold Windows-1252 in practice ("€", curly quotes).
std::vector<std::string> utf8Values(const TagLib::StringList &values, bool latin1) {
    std::vector<std::string> out;
    for (const auto &v : values) {
        if (v.isEmpty())
            continue;
        if (latin1) {
            std::string raw;
            raw.reserve(v.size());
            for (auto c : v)
                raw += static_cast<char>(static_cast<unsigned char>(c));
            out.push_back(cleaned(text::cp1252ToUtf8(raw)));
        } else {
            out.push_back(cleaned(v.to8Bit(true)));
        }
    }
    return out;
}

std::string joined(const std::vector<std::string> &values) {
    std::string out;
    for (const auto &v : values) {
        if (v.empty())
            continue;
        if (!out.empty())
            out += " / ";
        out += v;
    }
    return out;
}

// TagLib builds each name anew from wide characters; every import of a tagged file asks.
const std::string &id3v1GenreName(int number) {
    static const std::array<std::string, 256> names = [] {
        std::array<std::string, 256> all;
        for (int i = 0; i < 256; ++i)
            all[static_cast<std::size_t>(i)] = TagLib::ID3v1::genre(i).to8Bit(true);
        return all;
    }();
    static const std::string none;
    return number >= 0 && number < 256 ? names[static_cast<std::size_t>(number)] : none;
}

std::string genreOf(const std::string &reference) {
    if (!reference.empty() && reference.size() <= 3 &&
        reference.find_first_not_of("0123456789") == std::string::npos) {
        const auto &name = id3v1GenreName(std::stoi(reference));
        if (!name.empty())
            return name;
    }
    if (reference == "RX")
        return "Remix";
    if (reference == "CR")
        return "Cover";
    return reference;
}

// Genres as names: "(17)", "17", "(4)(17)", "(17)Rock" (the name after a reference only
// when it says more), "((text" for a text beginning with "(".
std::string genreName(const std::vector<std::string> &fields) {
    std::vector<std::string> names;
    for (std::string field : fields) {
        std::string last;
        while (field.size() > 1 && field[0] == '(' && field[1] != '(') {
            const auto close = field.find(')');
            if (close == std::string::npos)
                break;
            last = genreOf(field.substr(1, close - 1));
            names.push_back(last);
            field.erase(0, close + 1);
        }
        if (field.rfind("((", 0) == 0)
            field.erase(0, 1);
        if (!field.empty() && field != last)
            names.push_back(genreOf(field));
    }
    return joined(names);
}

bool isAscii(std::string_view s) {
    for (const char c : s)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// The values of a text frame's payload (encoding byte and text), decoded by TagLib's strings.
// ASCII in a Latin-1 or UTF-8 text reads the same in either: taken as it stands.
std::vector<std::string> payloadValues(std::string_view data) {
    if (data.empty())
        return {};
    const auto encoding = static_cast<unsigned char>(data[0]);
    data.remove_prefix(1);
    std::vector<std::string> out;
    const auto take = [&](std::string_view part) {
        if (part.empty())
            return;
        if (encoding != 1 && encoding != 2 && isAscii(part)) {
            std::string &value = out.emplace_back(part);
            for (char &c : value)
                if (static_cast<unsigned char>(c) < 0x20)
                    c = ' ';
            return;
        }
        if (encoding == 0 || encoding > 3) {
            out.push_back(cleaned(text::cp1252ToUtf8(part)));
            return;
        }
        // UTF-16 without a byte-order mark: little-endian, as most writers of such text mean.
        const bool marked = part.size() >= 2 && ((part[0] == '\xFF' && part[1] == '\xFE') ||
                                                 (part[0] == '\xFE' && part[1] == '\xFF'));
        const TagLib::String::Type type = encoding == 1
                                              ? (marked ? TagLib::String::UTF16 : TagLib::String::UTF16LE)
                                          : encoding == 2 ? TagLib::String::UTF16BE
                                                          : TagLib::String::UTF8;
        const TagLib::String decoded(TagLib::ByteVector(part.data(), static_cast<unsigned int>(part.size())),
                                     type);
        if (!decoded.isEmpty())
            out.push_back(cleaned(decoded.to8Bit(true)));
    };
    const std::size_t unit = encoding == 1 || encoding == 2 ? 2 : 1;
    std::size_t start = 0;
    for (std::size_t i = 0; i + unit <= data.size(); i += unit) {
        if (data[i] == '\0' && (unit == 1 || data[i + 1] == '\0')) {
            take(data.substr(start, i - start));
            start = i + unit;
        }
    }
    take(data.substr(start));
    return out;
}

enum Field { kTitle, kArtist, kYear, kGenre, kNone };

std::vector<std::string> frameValues(const TagLib::ID3v2::Tag &tag, const char *id) {
    const auto &list = tag.frameListMap()[id];
    if (list.isEmpty())
        return {};
    const auto *frame = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame *>(list.front());
    if (frame == nullptr)
        return {}; // encrypted or otherwise unreadable
    return utf8Values(frame->fieldList(), frame->textEncoding() == TagLib::String::Latin1);
}

} // namespace

int songFieldOfFrame(std::string_view id) {
    if (id == "TIT2" || id == "TT2")
        return kTitle;
    if (id == "TPE1" || id == "TP1")
        return kArtist;
    if (id == "TDRC" || id == "TYER" || id == "TYE")
        return kYear;
    if (id == "TCON" || id == "TCO")
        return kGenre;
    return -1;
}

// Frames without flags hold their text as it stands: TagLib's strings decode it. Frames with
// flags (compressed, encrypted, unsynchronised, grouped) go, one of each field, through
// TagLib's whole tag parser. Either way no frame the library does not take is parsed, so a tag
// of countless frames or a huge picture costs no more than reading it.
SongTags id3v2Texts(std::string_view body, const Id3v2Header &header) {
    std::array<std::vector<std::string>, 4> values;
    std::array<bool, 4> taken{};
    std::string mini(kId3v2HeaderSize, '\0');
    forEachFrame(body, header, [&](const FrameSpan &frame) {
        const int found = songFieldOfFrame(frame.id);
        const auto field = found < 0 ? kNone : static_cast<Field>(found);
        if (field == kNone || taken[field] || frame.size == frame.headerSize)
            return true; // an empty frame says nothing: a later one of its field may
        taken[field] = true;
        const std::size_t headerSize = frame.headerSize;
        const bool flagged = headerSize == 10 && (body[frame.offset + 8] != 0 || body[frame.offset + 9] != 0);
        const bool tagUnsynchronised = header.version == 4 && (header.flags & kUnsynchronisation);
        if (headerSize == 6 || (!flagged && !tagUnsynchronised)) {
            values[field] = payloadValues(body.substr(frame.offset + headerSize, frame.size - headerSize));
            return true;
        }
        const std::size_t at = mini.size();
        mini.append(body.substr(frame.offset, frame.size));
        if (header.version == 4) // our reading of the size, whatever the writer meant
            putSynchsafe(reinterpret_cast<unsigned char *>(mini.data() + at + 4),
                         static_cast<std::uint32_t>(frame.size - 10));
        return true;
    });
    if (mini.size() > kId3v2HeaderSize) {
        auto *h = reinterpret_cast<unsigned char *>(mini.data());
        std::memcpy(h, "ID3", 3);
        h[3] = static_cast<unsigned char>(header.version);
        h[4] = 0;
        h[5] = header.version == 4 ? (header.flags & kUnsynchronisation) : 0;
        putSynchsafe(h + 6, static_cast<std::uint32_t>(mini.size() - kId3v2HeaderSize));
        // One file per thread, repointed: TagLib then allocates only for the tag itself.
        thread_local MemoryFile file;
        file.reset(mini);
        const TagLib::ID3v2::Tag tag(&file, 0);
        // TagLib names 2.2 and 2.3 frames as 2.4 does (TYER and TYE become TDRC).
        const std::array<const char *, 4> ids{"TIT2", "TPE1", "TDRC", "TCON"};
        for (int f = 0; f < 4; ++f)
            if (values[f].empty())
                values[f] = frameValues(tag, ids[f]);
    }
    SongTags out;
    out.title = joined(values[kTitle]);
    out.artist = joined(values[kArtist]);
    out.year = joined(values[kYear]);
    out.genre = genreName(values[kGenre]);
    return out;
}

SongTags apeTexts(std::string_view bytes) {
    SongTags out;
    if (bytes.size() < kApeFooterSize)
        return out;
    thread_local MemoryFile file;
    file.reset(bytes);
    const TagLib::APE::Tag tag(&file, static_cast<long>(bytes.size() - kApeFooterSize));
    const auto &items = tag.itemListMap();
    auto item = [&](const char *key) -> std::string {
        const auto it = items.find(key);
        if (it == items.end() || it->second.type() != TagLib::APE::Item::Text)
            return {};
        return joined(utf8Values(it->second.values(), false));
    };
    out.title = item("TITLE");
    out.artist = item("ARTIST");
    out.year = item("YEAR");
    out.genre = item("GENRE");
    return out;
}

} // namespace tags

namespace {

void readId3v2(std::string_view body, const tags::Id3v2Header &header, SongTags &out) {
    std::string resynchronised;
    if (header.version <= 3 && (header.flags & tags::kUnsynchronisation))
        body = resynchronised = tags::resynchronise(body);
    auto texts = tags::id3v2Texts(body, header);
    out.title = std::move(texts.title);
    out.artist = std::move(texts.artist);
    out.year = std::move(texts.year);
    out.genre = std::move(texts.genre);
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
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return readSongTags(fd, static_cast<std::uint64_t>(st.st_size));
}

SongTags readSongTags(int fd, std::uint64_t size) {
    SongTags result;
    // One read takes the ID3v2 header with the usual tag after it (a small file whole, its end
    // included). The room is reused from file to file (no allocation, no zero-filling); a rare
    // huge tag's room is given back at once.
    constexpr std::size_t kHeadBytes = 4096;
    constexpr std::size_t kKeptBytes = std::size_t{1} << 20;
    thread_local std::string buffer;
    if (buffer.size() < kHeadBytes)
        buffer.resize(kHeadBytes);
    struct GiveBack {
        std::string &buffer;
        ~GiveBack() {
            if (buffer.size() > kKeptBytes)
                std::string().swap(buffer);
        }
    } giveBack{buffer};
    std::size_t have = tags::readAt(fd, buffer.data(),
                                    static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeadBytes)), 0);

    std::uint64_t floor = 0;
    if (have >= tags::kId3v2HeaderSize) {
        if (const auto header =
                tags::parseId3v2Header(reinterpret_cast<const unsigned char *>(buffer.data()))) {
            result.id3v2 = true;
            floor = std::min<std::uint64_t>(size, tags::kId3v2HeaderSize + std::uint64_t{header->size});
            const std::size_t end = tags::kId3v2HeaderSize +
                                    static_cast<std::size_t>(std::min<std::uint64_t>(
                                        {header->size, size - tags::kId3v2HeaderSize, tags::kMaxId3v2Bytes}));
            if (have < end) {
                if (buffer.size() < end)
                    buffer.resize(end);
                have += tags::readAt(fd, buffer.data() + have, end - have, have);
            }
            readId3v2(std::string_view(buffer).substr(tags::kId3v2HeaderSize,
                                                      std::min(have, end) - tags::kId3v2HeaderSize),
                      *header, result);
        }
    }

    const std::size_t tailSize = static_cast<std::size_t>(std::min<std::uint64_t>(size, tags::kTailBytes));
    char tailBytes[tags::kTailBytes];
    std::string_view tail;
    if (have >= size) {
        tail = std::string_view(buffer.data() + (size - tailSize), tailSize);
    } else {
        if (tags::readAt(fd, tailBytes, tailSize, size - tailSize) != tailSize)
            return result;
        tail = std::string_view(tailBytes, tailSize);
    }
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
        fillEmpty(result.genre, v1.text(ID3Tag::kCommentOffset, ID3Tag::kGenreReadWidth));
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
    auto fit = [](std::string &s, SongField field) {
        const auto size = static_cast<std::size_t>(kSongFields[field].size);
        if (s.size() > size) // no more bytes than characters allowed: nothing to cut
            s = text::utf8Left(s, size);
    };
    fit(tags.artist, kFieldInterpret);
    fit(tags.title, kFieldTitel);
    fit(tags.year, kFieldJahr);
    fit(tags.genre, kFieldGenre);
    return tags;
}

} // namespace mixora
