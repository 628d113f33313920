#include "analysis/UserGrid.h"

#include "engine/GridMath.h"
#include "library/SongTable.h"
#include "library/SqlQuery.h"

#include <sqlite3.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace mixora::analysis {
namespace {

constexpr const char *kSchema = R"sql(
CREATE TABLE IF NOT EXISTS UserGrid (
    "Index" INTEGER PRIMARY KEY,
    Bpm REAL NOT NULL,
    FirstBeat REAL NOT NULL
);
CREATE TRIGGER IF NOT EXISTS UserGridGoesWithSong AFTER DELETE ON Songs
BEGIN
    DELETE FROM UserGrid WHERE "Index" = old."Index";
END;
)sql";

constexpr const char *kWhat = "Beatgrid-Datenbankfehler";

void exec(sqlite3 *db, const std::string &text) {
    sql::exec(db, text.c_str(), kWhat);
}

struct Statement : sql::Query {
    Statement(sqlite3 *db, const char *text) : sql::Query(db, text, kWhat) {}
};

using sql::connection;

bool hasTable(sqlite3 *db, const char *name) {
    Statement q(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
    sqlite3_bind_text(q.get(), 1, name, -1, SQLITE_STATIC);
    return q.step();
}

} // namespace

std::optional<engine::BeatGrid> userGridOf(sqlite3 *db, std::int64_t index) {
    if (!hasTable(db, "UserGrid"))
        return std::nullopt;
    Statement q(db, "SELECT Bpm, FirstBeat FROM UserGrid WHERE \"Index\" = ?1");
    sqlite3_bind_int64(q.get(), 1, index);
    if (!q.step())
        return std::nullopt;
    return engine::BeatGrid{sqlite3_column_double(q.get(), 0), sqlite3_column_double(q.get(), 1)};
}

UserGrid::UserGrid(SongTable &table) : table_(table) {}

void UserGrid::attach() {
    sqlite3 *db = connection(table_);
    exec(db, "SAVEPOINT usergrid_attach");
    try {
        exec(db, kSchema);
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK TO usergrid_attach; RELEASE usergrid_attach", nullptr, nullptr, nullptr);
        throw;
    }
    exec(db, "RELEASE usergrid_attach");
}

std::optional<engine::BeatGrid> UserGrid::load(std::int64_t index) const {
    return userGridOf(connection(table_), index);
}

bool UserGrid::save(std::int64_t index, const engine::BeatGrid &grid) {
    if (!engine::acceptableBpm(grid.bpm))
        throw std::invalid_argument("grid tempo " + std::to_string(grid.bpm));
    if (!std::isfinite(grid.firstBeatSeconds) || grid.firstBeatSeconds < 0.0)
        throw std::invalid_argument("grid first beat " + std::to_string(grid.firstBeatSeconds));
    sqlite3 *db = connection(table_);
    // A savepoint nests inside a scan's open transaction and is a transaction of its own outside one.
    exec(db, "SAVEPOINT usergrid_save");
    try {
        Statement store(db, "INSERT OR REPLACE INTO UserGrid (\"Index\", Bpm, FirstBeat) "
                            "SELECT \"Index\", ?2, ?3 FROM Songs WHERE \"Index\" = ?1");
        sqlite3_bind_int64(store.get(), 1, index);
        sqlite3_bind_double(store.get(), 2, grid.bpm);
        sqlite3_bind_double(store.get(), 3, grid.firstBeatSeconds);
        store.step();
        if (sqlite3_changes(db) == 0) {
            exec(db, "ROLLBACK TO usergrid_save; RELEASE usergrid_save");
            return false;
        }
        Statement beats(db, "UPDATE Songs SET \"Beats\" = ?2 WHERE \"Index\" = ?1");
        sqlite3_bind_int64(beats.get(), 1, index);
        sqlite3_bind_int64(beats.get(), 2, std::llround(grid.bpm));
        beats.step();
        if (hasTable(db, "Analysis")) {
            // "Beats" is the DJ's now: what the analysis wrote there no longer stands in it.
            Statement ours(db, "UPDATE Analysis SET BeatsWritten = NULL WHERE \"Index\" = ?1");
            sqlite3_bind_int64(ours.get(), 1, index);
            ours.step();
        }
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK TO usergrid_save; RELEASE usergrid_save", nullptr, nullptr, nullptr);
        throw;
    }
    exec(db, "RELEASE usergrid_save");
    return true;
}

void UserGrid::remove(std::int64_t index) {
    sqlite3 *db = connection(table_);
    if (!hasTable(db, "UserGrid"))
        return;
    Statement q(db, "DELETE FROM UserGrid WHERE \"Index\" = ?1");
    sqlite3_bind_int64(q.get(), 1, index);
    q.step();
}

} // namespace mixora::analysis
