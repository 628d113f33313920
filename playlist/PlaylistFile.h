// Playlist files: the program's own ".mxp" (one path per line, CR LF after every line)
// and imported ".m3u" lists. Files are Windows-1252; a line that Windows-1252 cannot hold
// is written in UTF-8, and a line that is valid UTF-8 is read as UTF-8, so no path is lost.
// Paths inside the program are UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mixora::playlist {

// Splits at CR LF, a lone CR and a lone LF; a zero byte ends the text; a last line
// without a break counts; an empty line in the middle is kept as an empty entry.
std::vector<std::string> splitLines(std::string_view bytes);

// The own format's bytes for these entries (empty list → empty file).
std::string encodeMxp(const std::vector<std::string> &entries);

// Reads a playlist file's lines, decoded to UTF-8; nothing when it cannot be read.
std::optional<std::vector<std::string>> readPlaylistLines(const std::string &file);

// Writes the entries in the own format. The old file is replaced only once the new one
// is complete, so a failed save never destroys a playlist. False when it cannot be created.
bool writeMxp(const std::string &file, const std::vector<std::string> &entries);

// The entry an ".m3u" line gives, or nothing for comments and empty lines. A "\" line
// gets the drive of a drive-letter list path; a relative line is taken relative to the
// list's folder; absolute paths ("/…", "X:…") stay as they are.
std::optional<std::string> m3uEntry(const std::string &line, const std::string &m3uFile);

// All entries of an ".m3u" list's lines, in order.
std::vector<std::string> m3uEntries(const std::vector<std::string> &lines, const std::string &m3uFile);

// The ".mxp" beside an imported list: its last three characters replaced by "mxp".
std::string convertedName(const std::string &m3uFile);

// What a chosen file's ending asks for; the comparison is exact, with case.
enum class PlaylistKind { None, Mxp, M3u };
PlaylistKind kindOf(const std::string &file);

// The last component of a path, for an entry that has no library row.
std::string fileNameOf(const std::string &path);

} // namespace mixora::playlist
