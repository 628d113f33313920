#include "library/SongCursor.h"

#include "util/Cp1252.h"

namespace mixora::library {

bool samePath(const std::string &a, const std::string &b) {
    return text::equalsNoCase(a, b);
}

} // namespace mixora::library
