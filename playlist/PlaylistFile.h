// Playlist files: the program's own ".mxp" (one path per line, CR LF after every line)
// and imported ".m3u"/".m3u8" lists. Lines follow util/LineFile.h: Windows-1252 where it
// holds the text, UTF-8 where it does not, so no path is lost. Paths inside the program
// are UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mixora::playlist {

// Decoded lines of a playlist file's bytes: split at CR LF, a lone CR and a lone LF; a zero
// byte ends the text; a last line without a break counts; an empty line in the middle is
// kept as an empty entry; a byte-order mark in front is dropped.
std::vector<std::string> splitLines(std::string_view bytes);

// The own format's bytes for these entries (empty list → empty file).
std::string encodeMxp(const std::vector<std::string> &entries);

// Reads a playlist file's lines, decoded to UTF-8; nothing when it cannot be read, is no
// regular file or is too big to be a playlist.
std::optional<std::vector<std::string>> readPlaylistLines(const std::string &file);

// Writes the entries in the own format. The old file is replaced only once the new one
// is complete, so a failed save never destroys a playlist. False when it cannot be created.
bool writeMxp(const std::string &file, const std::vector<std::string> &entries);

// The entry an ".m3u" line gives, or nothing for comments and blank lines. A "\" line
// gets the drive of a drive-letter list path; a relative line is taken relative to the
// list's folder; absolute paths ("/…", "X:…") stay as they are; a "file://" address
// becomes its path.
std::optional<std::string> m3uEntry(const std::string &line, const std::string &m3uFile);

// All entries of an ".m3u" list's lines, in order.
std::vector<std::string> m3uEntries(const std::vector<std::string> &lines, const std::string &m3uFile);

// The ".mxp" beside an imported list: "list.m3u" and "list.m3u8" give "list.mxp".
std::string convertedName(const std::string &m3uFile);

// What a chosen file's ending asks for; the comparison is exact, with case.
// ".m3u8" is an ".m3u" in UTF-8, which the line rule reads anyway.
enum class PlaylistKind { None, Mxp, M3u };
PlaylistKind kindOf(const std::string &file);

// The last component of a path, for an entry that has no library row.
std::string fileNameOf(const std::string &path);

} // namespace mixora::playlist
