// The few operations on the song table's one cursor that the playlist, the search boxes
// and auto-play need. The main window adapts the data module to it; tests use a small
// in-memory table. Field and index names are matched without regard to case.
#pragma once

#include <string>

namespace mixora::library {

class SongCursor {
public:
    virtual ~SongCursor() = default;
    // Makes the named index active; the current row stays.
    virtual void selectIndex(const std::string &indexName) = 0;
    // Moves to the first row whose key in the active index is at or after value
    // (case-insensitive), to the last row when none is, to no row on an empty table.
    virtual void keySearch(const std::string &value) = 0;
    // A field of the current row as text; empty when no row is current.
    virtual std::string field(const std::string &fieldName) const = 0;
    virtual bool hasCurrentRow() const = 0;
    virtual long recordCount() const = 0;
};

// Two file paths name the same song when they are equal but for letter case, as the
// file-name index compares them.
bool samePath(const std::string &a, const std::string &b);

} // namespace mixora::library
