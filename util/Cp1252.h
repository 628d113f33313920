// Text encodings: the program keeps every text as UTF-8; the files it shares with the outside
// world (ID3v1 tags, the settings file, playlists) are Windows-1252. All 256 bytes of
// Windows-1252 convert and convert back, the five bytes Windows leaves undefined included
// (they stand for the C1 control characters U+0081, U+008D, U+008F, U+0090, U+009D).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace mixora::text {

// The Unicode code point that a Windows-1252 byte stands for.
char32_t cp1252ToCodePoint(unsigned char byte);
// The Windows-1252 byte for a code point, or nothing when Windows-1252 cannot hold it.
std::optional<unsigned char> codePointToCp1252(char32_t codePoint);

// Windows-1252 bytes to UTF-8; never fails.
std::string cp1252ToUtf8(std::string_view bytes);
// UTF-8 to Windows-1252; every character Windows-1252 cannot hold (and every byte of
// invalid UTF-8) becomes "?". For fixed-width fields, which are lossy by nature.
std::string utf8ToCp1252(std::string_view utf8);
// UTF-8 to Windows-1252, or nothing when any character cannot be held (or the input is
// not valid UTF-8). For line files, which then keep the line as UTF-8.
std::optional<std::string> utf8ToCp1252Exact(std::string_view utf8);

bool isValidUtf8(std::string_view bytes);
// Number of characters (code points) in valid UTF-8; invalid bytes count one each.
std::size_t utf8Length(std::string_view utf8);
// The first maxChars characters of a UTF-8 text, never splitting a character.
std::string utf8Left(std::string_view utf8, std::size_t maxChars);

// Case folding used wherever the program matches names or keys without regard to case:
// ASCII, Latin-1 (umlauts), Latin Extended-A, Greek and Cyrillic capitals become small.
char32_t foldCase(char32_t codePoint);
std::string foldCase(std::string_view utf8);
// Three-way comparison of two UTF-8 texts by their case-folded code points (<0, 0, >0).
// Invalid bytes compare as themselves, after every valid character of the same lead.
int compareNoCase(std::string_view a, std::string_view b);
inline bool equalsNoCase(std::string_view a, std::string_view b) {
    return compareNoCase(a, b) == 0;
}

} // namespace mixora::text
