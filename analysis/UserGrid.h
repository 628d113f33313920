// The DJ's own beat grid of a song: the tempo and first beat the DJ corrected by hand. It wins
// over the analysed grid and outlives every later analysis. Kept in data.db in a table of its
// own ("UserGrid", keyed by the row's "Index"), beside the analysis' results.
//
// Works over the song table's connection, on the thread that owns the table. A trigger removes
// the grid with its row, whoever deletes it; a rescan keeps the row and so the grid, and so does
// a new "Dateiname" (the DJ moved the file). The row's "Beats" follows the grid, whole as the
// column stores it, and is then the DJ's own figure: the analysis store no longer counts it as
// one it wrote, so no analysis (of this version or an older one) overwrites it, and an older
// program version, which knows nothing of this table, still shows the corrected tempo.
#pragma once

#include "engine/BeatSync.h"

#include <cstdint>
#include <optional>

struct sqlite3;

namespace mixora {
class SongTable;
}

namespace mixora::analysis {

class UserGrid {
public:
    explicit UserGrid(SongTable &table);

    // Adds the table and its trigger when they are missing; harmless to repeat. Throws
    // DatabaseError when the table is closed or the file cannot be changed.
    void attach();

    // The DJ's grid of the song; nothing when there is none (or the file has no table yet).
    std::optional<engine::BeatGrid> load(std::int64_t index) const;
    // Stores the grid and sets the row's "Beats" to its tempo, in one step. False when no row
    // has this "Index". Throws std::invalid_argument for a tempo engine::acceptableBpm refuses
    // or a first beat that is negative or not finite.
    bool save(std::int64_t index, const engine::BeatGrid &grid);
    // Forgets the DJ's grid, so the analysed one counts again; "Beats" keeps the DJ's figure.
    void remove(std::int64_t index);

private:
    SongTable &table_;
};

// For the analysis store, inside its own transaction: the DJ's grid of the row, when the file
// has the table and the row a grid.
std::optional<engine::BeatGrid> userGridOf(sqlite3 *db, std::int64_t index);

} // namespace mixora::analysis
