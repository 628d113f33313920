#include "playlist/TextCodec.h"

#include "util/Cp1252.h"
#include "util/LineFile.h"

namespace mixora::playlist {

std::string encodeLine(const std::string &utf8) {
    auto bytes = text::utf8ToCp1252Exact(utf8);
    // Windows-1252 bytes that happen to be valid UTF-8 ("Ã©" gives the bytes of "é") would
    // read back as other text; such a line goes out as UTF-8, which reads back as itself.
    if (!bytes || (*bytes != utf8 && text::isValidUtf8(*bytes)))
        return utf8;
    return *bytes;
}

std::string decodeLine(const std::string &bytes) {
    return text::decodeLine(bytes);
}

bool equalsNoCase(const std::string &a, const std::string &b) {
    return text::equalsNoCase(a, b);
}

} // namespace mixora::playlist
