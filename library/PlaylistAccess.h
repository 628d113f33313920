// What the search boxes and auto-play need of the playlist window. It lives with the library
// search, which fills the playlist, so the library never depends on the playlist's code.
#pragma once

#include <string>

namespace mixora::library {

class PlaylistAccess {
public:
    virtual ~PlaylistAccess() = default;
    // Whether a playlist exists: its window is shown.
    virtual bool isShown() const = 0;
    virtual int count() const = 0;
    virtual std::string entry(int index) const = 0;
    virtual int nextIndex() const = 0;
    virtual void setNextIndex(int index) = 0;
    // Highlights the line so the user sees which entry is being played.
    virtual void selectLine(int index) = 0;
    // Appends an entry and its display line at the same position of both lists.
    virtual void append(const std::string &path, const std::string &displayLine) = 0;
};

} // namespace mixora::library
