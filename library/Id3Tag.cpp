#include "library/Id3Tag.h"

#include "library/TagIo.h"
#include "library/TagLayout.h"
#include "library/TagRewrite.h"
#include "util/Cp1252.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mixora {
namespace {

// Closes a descriptor on every way out.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

// The last 128 bytes of a file of size bytes, whole or not at all.
bool readLast(int fd, ID3Tag &tag, off_t size) {
    return tags::readAt(fd, tag.bytes.data(), ID3Tag::kSize,
                        static_cast<std::uint64_t>(size) - ID3Tag::kSize) == ID3Tag::kSize;
}

} // namespace

bool ID3Tag::hasIdentifier() const {
    return bytes[0] == 'T' && bytes[1] == 'A' && bytes[2] == 'G';
}

std::string ID3Tag::text(std::size_t offset, std::size_t width) const {
    const auto *begin = reinterpret_cast<const char *>(bytes.data()) + offset;
    const auto length = std::min(width, kSize - offset);
    const auto *end = std::find(begin, begin + length, '\0');
    return text::cp1252ToUtf8(std::string_view(begin, static_cast<std::size_t>(end - begin)));
}

void ID3Tag::setText(std::size_t offset, std::size_t width, std::string_view utf8) {
    const std::string encoded = text::utf8ToCp1252(text::utf8Left(utf8, width));
    const auto n = std::min(encoded.size(), width);
    std::memcpy(bytes.data() + offset, encoded.data(), n);
    std::memset(bytes.data() + offset + n, 0, width - n);
}

ID3Tag tagForTexts(const ID3Tag &old, const TagTexts &texts) {
    ID3Tag tag;
    if (old.hasIdentifier()) {
        tag = old;
    } else {
        tag.bytes[0] = 'T';
        tag.bytes[1] = 'A';
        tag.bytes[2] = 'G';
        tag.bytes[ID3Tag::kGenreOffset] = ID3Tag::kGenreNone;
    }
    tag.setText(ID3Tag::kTitleOffset, ID3Tag::kTitleWidth, texts.title);
    tag.setText(ID3Tag::kArtistOffset, ID3Tag::kArtistWidth, texts.artist);
    tag.setText(ID3Tag::kYearOffset, ID3Tag::kYearWidth, texts.year);

    // The comment's leading text is the genre; the track of ID3v1.1 shortens it by two bytes.
    const std::size_t width =
        tag.hasTrack() ? ID3Tag::kTrackZeroOffset - ID3Tag::kCommentOffset : ID3Tag::kCommentWidth;
    auto *comment = tag.bytes.data() + ID3Tag::kCommentOffset;
    const std::string genre = text::utf8ToCp1252(text::utf8Left(texts.genre, width));
    const std::size_t g = std::min(genre.size(), width);
    const std::size_t oldLength = static_cast<std::size_t>(std::find(comment, comment + width, 0) - comment);
    const bool extendsGenre = oldLength >= g && std::memcmp(comment, genre.data(), g) == 0 &&
                              (oldLength == g || g >= ID3Tag::kGenreReadWidth);
    if (!extendsGenre) {
        // What followed the old leading text follows the new one.
        std::string rest;
        if (oldLength < width) {
            rest.assign(reinterpret_cast<const char *>(comment) + oldLength + 1, width - oldLength - 1);
            rest.erase(rest.find_last_not_of('\0') + 1);
        }
        std::string next = genre.substr(0, g);
        if (!rest.empty())
            next += '\0' + rest;
        next.resize(width, '\0');
        std::memcpy(comment, next.data(), width);
    }
    return tag;
}

ID3Tag readId3Tag(const std::filesystem::path &file) {
    ID3Tag tag;
    Fd f{::open(file.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0)
        return tag;
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(ID3Tag::kSize))
        return tag;
    if (!readLast(f.fd, tag, st.st_size))
        tag = ID3Tag{};
    return tag;
}

TagWriteResult writeId3Tag(const std::filesystem::path &file, const TagTexts &texts, AudioMove *moves) {
    if (file.empty())
        return {TagWriteStatus::NoFileName, {}};
    // No O_CREAT: a row whose file is gone must not bring an empty file into being.
    Fd f{::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY)};
    if (f.fd < 0) {
        const int error = errno;
        return {error == ENOENT || error == ENOTDIR ? TagWriteStatus::FileMissing
                                                    : TagWriteStatus::NotWritable,
                std::strerror(error)};
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0)
        return {TagWriteStatus::WriteFailed, std::strerror(errno)};
    if (!S_ISREG(st.st_mode))
        return {TagWriteStatus::NotWritable, "keine gewöhnliche Datei"};

    // A file that also carries ID3v2 or APE gets those updated too, in a new file that
    // replaces it whole; the ID3v1 tag alone is written in place, as it always was.
    unsigned char head[tags::kId3v2HeaderSize];
    std::optional<tags::Id3v2Header> id3v2;
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    if (fileSize >= sizeof head && tags::readAt(f.fd, head, sizeof head, 0) == sizeof head)
        id3v2 = tags::parseId3v2Header(head);
    const std::uint64_t floor =
        id3v2 ? std::min<std::uint64_t>(fileSize, tags::kId3v2HeaderSize + id3v2->size) : 0;
    std::string tail(static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, tags::kTailBytes)), '\0');
    if (tags::readAt(f.fd, tail.data(), tail.size(), fileSize - tail.size()) != tail.size())
        return {TagWriteStatus::WriteFailed, std::strerror(errno ? errno : EIO)};
    const auto layout = tags::parseTail(tail, fileSize, floor);
    ID3Tag old;
    const off_t size = st.st_size;
    const bool hasRoom = size >= static_cast<off_t>(ID3Tag::kSize);
    if (hasRoom)
        std::memcpy(old.bytes.data(), tail.data() + tail.size() - ID3Tag::kSize, ID3Tag::kSize);
    const bool replace = hasRoom && old.hasIdentifier();
    const ID3Tag tag = tagForTexts(old, texts);
    if (id3v2 || layout.ape) {
        if (auto result = tags::rewriteTags(f.fd, st, file, id3v2, layout, texts, tag, moves))
            return *result;
    }

    const off_t at = replace ? size - static_cast<off_t>(ID3Tag::kSize) : size;
    if (!tags::writeAll(f.fd, tag.bytes.data(), ID3Tag::kSize, static_cast<std::uint64_t>(at))) {
        const int error = errno;
        // A partly appended tag would leave garbage after the audio: cut it off again.
        if (!replace && ::ftruncate(f.fd, size) != 0) {
        }
        return {TagWriteStatus::WriteFailed, std::strerror(error)};
    }
    if (::close(f.fd) != 0) {
        f.fd = -1;
        return {TagWriteStatus::WriteFailed, std::strerror(errno)};
    }
    f.fd = -1;
    return {TagWriteStatus::Written, {}};
}

std::string tagWriteMessage(const std::filesystem::path &file, const TagWriteResult &result) {
    if (result.ok())
        return {};
    std::string text = "Der ID3-Tag der Datei " + file.string() + " konnte nicht geschrieben werden";
    switch (result.status) {
    case TagWriteStatus::FileMissing:
        text += ": Die Datei existiert nicht.";
        break;
    case TagWriteStatus::NotWritable:
        text += ": Die Datei lässt sich nicht zum Schreiben öffnen (" + result.reason + ").";
        break;
    default:
        text += " (" + result.reason + ").";
        break;
    }
    return text + "\nDer Datensatz ist gespeichert.";
}

} // namespace mixora
