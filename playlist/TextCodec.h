// Line encoding of playlist files: Windows-1252 where it can hold the text, UTF-8 where it
// cannot; a line that is valid UTF-8 reads as UTF-8, any other line as Windows-1252.
#pragma once

#include <string>

namespace mixora::playlist {

std::string encodeLine(const std::string &utf8);
std::string decodeLine(const std::string &bytes);
// Equal but for letter case, as the file-name index compares.
bool equalsNoCase(const std::string &a, const std::string &b);

} // namespace mixora::playlist
