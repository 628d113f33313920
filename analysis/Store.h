// Where a song's analysis is kept: the precise figures and the overview in a table of their
// own ("Analysis", keyed by the song's "Index"), and the song row's own columns that a DJ sees
// and older program versions read ("Beats", "Analyse", "EndZeit").
//
// Works over the song table's connection, so it runs on the thread that owns the table. The
// table is added to an existing data.db when the store attaches; a trigger removes a song's
// results with its row and forgets them when the row is given another file, whoever changes
// the row (this program, an older one, the sqlite3 shell).
//
// "Beats" belongs to the user once corrected: the store remembers what it last wrote there and
// overwrites only that value or an empty field; never while the DJ's own grid (UserGrid.h)
// exists, which "Beats" follows. The store's results leave that grid alone.
#pragma once

#include "analysis/Analysis.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mixora {
class SongTable;
}

namespace mixora::analysis {

// A song the library wants analysed.
struct SongRef {
    std::int64_t index = 0;
    std::string path;
};

class Store {
public:
    explicit Store(SongTable &table);

    // Adds the results table, the DJ's grid table and their triggers when they are missing;
    // harmless to repeat.
    // Throws DatabaseError when the table is closed or the file cannot be changed.
    void attach();

    // Stores the results of the song's row in one step and sets its "Beats", "Analyse" and
    // "EndZeit". False when the row is gone or names another file by now (changed while the
    // song was being analysed).
    bool save(const SongRef &song, const Result &result);
    // The stored results; nothing when the song has none.
    std::optional<Result> load(std::int64_t index) const;

    // The song's file could not be analysed: remembered with the file's size and time, so it is
    // tried again only once the file has changed (or is replaced). Nothing when the row is gone
    // or names another file by now.
    void saveFailure(const SongRef &song);

    // Rows whose "Analyse" is not true, in "Index" order, but for those that failed on the file
    // they still name.
    std::vector<SongRef> unanalysed() const;
    // The row with this "Index" when it is not analysed yet and worth trying.
    std::optional<SongRef> unanalysed(std::int64_t index) const;

private:
    SongTable &table_;
};

} // namespace mixora::analysis
