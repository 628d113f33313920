// What a file's tags say about its song: artist, title, year and genre, each taken from the
// first tag that has it: ID3v2 (2.2, 2.3, 2.4), then APE, then ID3v1. ID3v1 is read as the
// library always has (Windows-1252, the genre from the first ten bytes of the comment), so a
// file with only an ID3v1 tag gives exactly what it always gave. Nothing of the file but its
// tags is read; a broken or lying tag gives whatever could be read, within a fixed bound of
// memory.
#pragma once

#include "library/TagLayout.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace mixora {

struct SongTags {
    std::string artist, title, year, genre; // UTF-8, whole (not cut to the table's widths)
    // Which tags the file carries.
    bool id3v2 = false, ape = false, id3v1 = false;
};

// Reads the tags of an open file (the file position is not used). A file that cannot be
// read gives no texts.
SongTags readSongTags(int fd);
// The same for a regular file whose size the caller has just taken.
SongTags readSongTags(int fd, std::uint64_t size);
SongTags readSongTags(const std::filesystem::path &file);

// The texts as the song table keeps them: each cut to its field's width.
SongTags fitToFields(SongTags tags);

namespace tags {
// The texts of an ID3v2 tag, given what follows its header (freed of the tag-wide
// unsynchronisation), and of an APE tag's bytes (header, items and footer).
SongTags id3v2Texts(std::string_view body, const Id3v2Header &header);
SongTags apeTexts(std::string_view bytes);
// Which of title (0), artist (1), year (2) and genre (3) an ID3v2 frame holds, by its ID of
// any version; -1 for none of them.
int songFieldOfFrame(std::string_view id);
} // namespace tags

} // namespace mixora
