// The ID3v1 tag: the last 128 bytes of an MP3 file. The library keeps the genre as a name
// in the comment field and always writes 255 as the genre number. Texts are Windows-1252
// in the tag and UTF-8 everywhere else.
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

// The tag write-back: builds a tag from the texts (album cleared, genre name in the
// comment, genre number 255) and writes it over the file's tag when its last 128 bytes
// begin with "TAG", else appends it. A file that also carries an ID3v2 or APE tag gets
// their title, artist, year and genre set to the same texts, through a new file that
// replaces it atomically (see TagRewrite.h); otherwise no other byte of the file is
// touched. The file is never created.
TagWriteResult writeId3Tag(const std::filesystem::path &file, const TagTexts &texts);

// A message for the user about a failed write-back (German), empty when result.ok().
std::string tagWriteMessage(const std::filesystem::path &file, const TagWriteResult &result);

} // namespace mixora
