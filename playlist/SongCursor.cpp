#include "playlist/SongCursor.h"

#include "playlist/TextCodec.h"

namespace mixora::playlist {

bool samePath(const std::string &a, const std::string &b) {
    return equalsNoCase(a, b);
}

} // namespace mixora::playlist
