#include "library/TagRewrite.h"

#include "library/SongTags.h"
#include "library/TagIo.h"
#include "util/LineFile.h"

#include <taglib/apeitem.h>
#include <taglib/apetag.h>
#include <taglib/tstring.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace mixora::tags {

void (*rewriteHook)(RewriteStage stage) = nullptr;

namespace {

// A tag larger than this is not rewritten (the write-back reports it instead).
constexpr std::uint64_t kMaxRewriteTagBytes = std::uint64_t{64} << 20;
constexpr std::size_t kGrowthPadding = 1024;

void reach(RewriteStage stage) {
    if (rewriteHook != nullptr)
        rewriteHook(stage);
}

TagWriteResult failed(const std::string &reason) {
    return {TagWriteStatus::WriteFailed, reason};
}

enum Field { kTitle, kArtist, kYear, kGenre, kFieldCount };

std::array<std::string, kFieldCount> fields(const SongTags &t) {
    return {t.title, t.artist, t.year, t.genre};
}

// The frame ID each field is written with.
std::array<std::string_view, kFieldCount> frameIds(int version) {
    if (version == 2)
        return {"TT2", "TP1", "TYE", "TCO"};
    if (version == 3)
        return {"TIT2", "TPE1", "TYER", "TCON"};
    return {"TIT2", "TPE1", "TDRC", "TCON"};
}

void putBigEndian(std::string &out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string textFrame(std::string_view id, const std::string &utf8, int version) {
    const TagLib::String text(utf8, TagLib::String::UTF8);
    bool latin1 = true;
    for (auto c : text)
        latin1 = latin1 && static_cast<unsigned long>(c) <= 0xFF;
    char encoding;
    TagLib::ByteVector data;
    if (latin1) {
        encoding = 0;
        data = text.data(TagLib::String::Latin1);
    } else if (version == 4) {
        encoding = 3;
        data = text.data(TagLib::String::UTF8);
    } else {
        encoding = 1; // UTF-16 with byte-order mark: 2.2 and 2.3 know no UTF-8
        data = text.data(TagLib::String::UTF16);
    }
    const auto size = static_cast<std::uint32_t>(data.size() + 1);
    std::string frame(id);
    if (version == 2) {
        putBigEndian(frame, size, 3);
    } else if (version == 3) {
        putBigEndian(frame, size, 4);
    } else {
        unsigned char b[4];
        putSynchsafe(b, size);
        frame.append(reinterpret_cast<const char *>(b), 4);
    }
    if (version != 2)
        frame.append(2, '\0'); // flags
    frame += encoding;
    frame.append(data.data(), data.size());
    return frame;
}

// The new ID3v2 tag, or nothing when the tag already says what the row says. `raw` is the
// whole old tag, header included.
std::optional<std::string> newId3v2(std::string_view raw, const Id3v2Header &header,
                                    const std::array<std::string, kFieldCount> &wanted) {
    std::string body(raw.substr(kId3v2HeaderSize, header.size));
    if (header.version <= 3 && (header.flags & kUnsynchronisation))
        body = resynchronise(body);
    const auto current = fields(fitToFields(id3v2Texts(body, header)));
    std::array<bool, kFieldCount> change{};
    bool any = false;
    for (int f = 0; f < kFieldCount; ++f)
        any |= change[f] = current[f] != wanted[f];
    if (!any)
        return std::nullopt;

    const auto ids = frameIds(header.version);
    // Every frame of a changed field goes, whatever version's ID it carries: a reader takes
    // the first one it meets.
    auto fieldOf = [](std::string_view id) { return songFieldOfFrame(id); };
    std::string frames;
    std::array<bool, kFieldCount> written{};
    std::size_t end = framesStart(body, header).value_or(0);
    forEachFrame(body, header, [&](const FrameSpan &frame) {
        end = frame.offset + frame.size;
        const int f = fieldOf(frame.id);
        if (f < 0 || !change[f]) {
            frames.append(body, frame.offset, frame.size);
        } else if (!written[f]) { // the new value takes the place of the first old frame
            written[f] = true;
            if (!wanted[f].empty())
                frames += textFrame(ids[f], wanted[f], header.version);
        }
        return true;
    });
    for (int f = 0; f < kFieldCount; ++f)
        if (change[f] && !written[f] && !wanted[f].empty())
            frames += textFrame(ids[f], wanted[f], header.version);

    // What follows the frames is padding; anything else there is kept as it stands, for a
    // tag whose size says more than its frames may hold audio a player skips with it.
    const std::string_view rest = std::string_view(body).substr(end);
    if (rest.find_first_not_of('\0') != std::string_view::npos)
        frames += rest;
    // The new tag takes the old one's room (an unsynchronised body, an extended header or a
    // footer included), so the audio stays where every stored position expects it; only
    // frames that do not fit move it, and then by some room to spare for the next edit.
    const std::size_t room = raw.size() - kId3v2HeaderSize;
    frames.append(frames.size() <= room ? room - frames.size() : kGrowthPadding, '\0');

    std::string tag = "ID3";
    tag += static_cast<char>(header.version);
    tag += raw[4];
    tag += static_cast<char>(header.flags & kExperimental); // no unsynchronisation, extended header or footer
    unsigned char size[4];
    putSynchsafe(size, static_cast<std::uint32_t>(frames.size()));
    tag.append(reinterpret_cast<const char *>(size), 4);
    return tag + frames;
}

std::optional<std::string> newApe(std::string_view raw, const std::array<std::string, kFieldCount> &wanted) {
    const auto current = fields(fitToFields(apeTexts(raw)));
    if (current == wanted)
        return std::nullopt;
    MemoryFile file(raw);
    TagLib::APE::Tag tag(&file, static_cast<long>(raw.size() - kApeFooterSize));
    static constexpr std::array<const char *, kFieldCount> kKeys{"Title", "Artist", "Year", "Genre"};
    for (int f = 0; f < kFieldCount; ++f) {
        if (current[f] == wanted[f])
            continue;
        tag.removeItem(kKeys[f]);
        if (!wanted[f].empty())
            tag.setItem(kKeys[f],
                        TagLib::APE::Item(kKeys[f], TagLib::String(wanted[f], TagLib::String::UTF8)));
    }
    const TagLib::ByteVector rendered = tag.render();
    return std::string(rendered.data(), rendered.size());
}

// Copies [from, to) of the old file; reports the half-way point to the hook.
bool copyRange(int in, int out, std::uint64_t from, std::uint64_t to) {
    std::string buffer(std::size_t{1} << 18, '\0');
    const std::uint64_t half = from + (to - from) / 2;
    bool halfReported = false;
    for (std::uint64_t at = from; at < to;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), to - at));
        if (!halfReported && at + want > half) {
            const auto first = static_cast<std::size_t>(half - at);
            if (first > 0) {
                if (readAt(in, buffer.data(), first, at) != first) {
                    errno = errno ? errno : EIO;
                    return false;
                }
                if (!writeAll(out, buffer.data(), first))
                    return false;
                at += first;
            }
            reach(RewriteStage::HalfCopied);
            halfReported = true;
            continue;
        }
        errno = 0;
        if (readAt(in, buffer.data(), want, at) != want) {
            errno = errno ? errno : EIO; // the file shrank under us
            return false;
        }
        if (!writeAll(out, buffer.data(), want))
            return false;
        at += want;
    }
    if (!halfReported)
        reach(RewriteStage::HalfCopied);
    return true;
}

} // namespace

std::optional<TagWriteResult> rewriteTags(int fd, const struct stat &st, const std::filesystem::path &file,
                                          const std::optional<Id3v2Header> &id3v2, const TailLayout &tail,
                                          const TagTexts &texts, const ID3Tag &v1, AudioMove *moves) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    SongTags row;
    row.title = texts.title;
    row.artist = texts.artist;
    row.year = texts.year;
    row.genre = texts.genre;
    const auto wanted = fields(fitToFields(row));

    // The file as it will be: head (ID3v2 tag), audio, APE tag, ID3v1 tag.
    bool changed = false;
    std::uint64_t audioStart = 0;
    std::string head;
    if (id3v2) {
        audioStart = kId3v2HeaderSize + std::uint64_t{id3v2->size} +
                     (id3v2->version == 4 && (id3v2->flags & kFooter) ? 10 : 0);
        if (audioStart > size)
            return failed("der ID3v2-Tag ist länger als die Datei");
        if (audioStart > kMaxRewriteTagBytes)
            return failed("der ID3v2-Tag ist zu groß");
        head.resize(static_cast<std::size_t>(audioStart));
        errno = 0;
        if (readAt(fd, head.data(), head.size(), 0) != head.size())
            return failed(errno ? std::strerror(errno) : "Lesefehler");
        if (auto updated = newId3v2(head, *id3v2, wanted)) {
            head = std::move(*updated);
            changed = true;
        }
    }
    const std::uint64_t v1Start = tail.id3v1 ? size - ID3Tag::kSize : size;
    const std::uint64_t audioEnd = tail.ape ? tail.apeStart : v1Start;
    std::string ape;
    if (tail.ape) {
        if (tail.apeEnd - tail.apeStart > kMaxRewriteTagBytes)
            return failed("der APE-Tag ist zu groß");
        ape.resize(static_cast<std::size_t>(tail.apeEnd - tail.apeStart));
        errno = 0;
        if (readAt(fd, ape.data(), ape.size(), tail.apeStart) != ape.size())
            return failed(errno ? std::strerror(errno) : "Lesefehler");
        if (auto updated = newApe(ape, wanted)) {
            ape = std::move(*updated);
            changed = true;
        }
    }
    if (!changed)
        return std::nullopt;
    if (audioStart > audioEnd)
        return failed("die Tags der Datei überlappen sich");

    // Positions kept of the audio move with it in the same step, or the file stays as it was.
    const auto delta = static_cast<std::int64_t>(head.size()) - static_cast<std::int64_t>(audioStart);
    const bool moving = delta != 0 && moves != nullptr;
    text::ReplaceSteps steps;
    steps.fill = [&](int out) {
        errno = 0;
        if (!writeAll(out, head.data(), head.size()) || !copyRange(fd, out, audioStart, audioEnd) ||
            !writeAll(out, ape.data(), ape.size()) || !writeAll(out, v1.bytes.data(), ID3Tag::kSize))
            return errno ? errno : EIO;
        return 0;
    };
    steps.beforeRename = [&](std::string &reason) {
        return !moving || moves->prepare(audioStart, delta, reason);
    };
    steps.afterRename = [&](bool renamed) {
        if (moving)
            moves->finish(renamed);
    };
    steps.reached = [](text::ReplaceStage stage) {
        reach(stage == text::ReplaceStage::TempCreated ? RewriteStage::TempCreated
              : stage == text::ReplaceStage::Synced    ? RewriteStage::Synced
                                                       : RewriteStage::Renamed);
    };
    const text::ReplaceResult result = text::replaceFile(file, steps);
    // Once renamed, the new file stands: a folder that would not sync changes nothing we can undo.
    if (result.renamed)
        return TagWriteResult{TagWriteStatus::Written, {}};
    return failed(result.reason.empty() ? std::strerror(result.error) : result.reason);
}

} // namespace mixora::tags
