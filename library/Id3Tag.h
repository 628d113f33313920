// The ID3v1 tag: the last 128 bytes of an MP3 file. The library keeps the genre as a name
// at the start of the comment field; a new tag gets 255 as its genre number. Texts are
// Windows-1252 in the tag and UTF-8 everywhere else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace mixora {

struct ID3Tag {
    static constexpr std::size_t kSize = 128;
    static constexpr std::size_t kIdentifierOffset = 0, kIdentifierWidth = 3;
    static constexpr std::size_t kTitleOffset = 3, kTitleWidth = 30;
    static constexpr std::size_t kArtistOffset = 33, kArtistWidth = 30;
    static constexpr std::size_t kAlbumOffset = 63, kAlbumWidth = 30;
    static constexpr std::size_t kYearOffset = 93, kYearWidth = 4;
    static constexpr std::size_t kCommentOffset = 97, kCommentWidth = 30;
    static constexpr std::size_t kGenreOffset = 127;
    static constexpr std::uint8_t kGenreNone = 255;
    // How much of the comment the import takes as the genre.
    static constexpr std::size_t kGenreReadWidth = 10;
    // ID3v1.1: a zero at this offset and a non-zero byte after it make that byte the track.
    static constexpr std::size_t kTrackZeroOffset = 125, kTrackOffset = 126;

    std::array<std::uint8_t, kSize> bytes{}; // a new record is all zero

    // True when the first three bytes are exactly "TAG" (upper case).
    bool hasIdentifier() const;
    // The bytes from offset up to the first zero byte, at most width of them, as UTF-8.
    std::string text(std::size_t offset, std::size_t width) const;
    // Puts the first width Windows-1252 bytes of a UTF-8 text at offset and zero bytes up
    // to the width; a text of exactly the width gets no terminating zero. Characters
    // Windows-1252 cannot hold become "?".
    void setText(std::size_t offset, std::size_t width, std::string_view utf8);

    std::string title() const { return text(kTitleOffset, kTitleWidth); }
    std::string artist() const { return text(kArtistOffset, kArtistWidth); }
    std::string year() const { return text(kYearOffset, kYearWidth); }
    std::string comment() const { return text(kCommentOffset, kCommentWidth); }
    bool hasTrack() const { return bytes[kTrackZeroOffset] == 0 && bytes[kTrackOffset] != 0; }
};

// Reads the last 128 bytes of a file into a fresh record. A file that cannot be opened or
// is shorter than 128 bytes gives the all-zero record (so: no tag).
ID3Tag readId3Tag(const std::filesystem::path &file);

enum class TagWriteStatus {
    Written,     // tag replaced in place or appended
    NoFileName,  // the row names no file: nothing to do
    FileMissing, // no such file (nothing is created)
    NotWritable, // the file cannot be opened for writing (a folder, locked, read-only, ...)
    WriteFailed, // opened, but reading or writing failed (the file may be unchanged)
};

struct TagWriteResult {
    TagWriteStatus status = TagWriteStatus::Written;
    std::string reason; // the system's reason, when there is one
    bool ok() const { return status == TagWriteStatus::Written || status == TagWriteStatus::NoFileName; }
};

struct TagTexts {
    std::string title, artist, year, genre; // UTF-8
};

// The tag the write-back puts into a file whose last 128 bytes are `old`: title, artist and
// year from the texts, the genre name at the start of the comment. Everything else of a tag
// the file already has stays as it is: the album, the genre number, the ID3v1.1 track and
// whatever of the comment follows the zero that ends its leading text. A comment that already
// begins with the genre name, and reads back as it, is left whole. Without an old tag the
// new one is zero but for the texts, with genre number 255.
ID3Tag tagForTexts(const ID3Tag &old, const TagTexts &texts);

// The tag write-back: builds a tag from the texts and the file's old tag (tagForTexts) and
// writes it over the file's tag when its last 128 bytes begin with "TAG", else appends it.
// A file that also carries an ID3v2 or APE tag gets their title, artist, year and genre set
// to the same texts, through a new file that replaces it atomically (see TagRewrite.h);
// otherwise no other byte of the file is touched. The file is never created.
//
// When that rewrite must move the audio (the ID3v2 tag grows past its room), `moves` is asked
// first: its positions of the file's bytes move with the audio, or the file stays as it was.
class AudioMove;
TagWriteResult writeId3Tag(const std::filesystem::path &file, const TagTexts &texts,
                           AudioMove *moves = nullptr);

// Whoever keeps byte positions of a file's audio. prepare() moves every position at or after
// `from` (the old start of the audio) by `delta` without making that final; finish() makes it
// final when the new file took the old one's place, or undoes it. prepare() returning false
// (with a reason) leaves the file untouched.
class AudioMove {
public:
    virtual ~AudioMove() = default;
    virtual bool prepare(std::uint64_t from, std::int64_t delta, std::string &reason) = 0;
    virtual void finish(bool replaced) = 0;
};

// A message for the user about a failed write-back (German), empty when result.ok().
std::string tagWriteMessage(const std::filesystem::path &file, const TagWriteResult &result);

} // namespace mixora
