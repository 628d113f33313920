#include "library/HotCues.h"

#include "library/SongTable.h"
#include "library/SqlQuery.h"

#include <sqlite3.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace mixora {
namespace {

// WITHOUT ROWID: the key is the row, so eight cues of a song sit together and cost no rowid.
constexpr const char *kSchema = R"sql(
CREATE TABLE IF NOT EXISTS HotCues (
    "Index" INTEGER NOT NULL,
    Pad INTEGER NOT NULL CHECK (Pad BETWEEN 1 AND 8),
    Sample REAL NOT NULL,
    LoopSamples REAL,
    Colour INTEGER NOT NULL,
    PRIMARY KEY ("Index", Pad)
) WITHOUT ROWID;
CREATE TRIGGER IF NOT EXISTS HotCuesGoWithSong AFTER DELETE ON Songs
BEGIN
    DELETE FROM HotCues WHERE "Index" = old."Index";
END;
)sql";

constexpr const char *kWhat = "Hot-Cue-Datenbankfehler";

struct Statement : sql::Query {
    Statement(sqlite3 *db, const char *text) : sql::Query(db, text, kWhat) {}
};

using sql::connection;

bool hasTable(sqlite3 *db) {
    Statement q(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'HotCues'");
    return q.step();
}

void checkPad(int pad) {
    if (pad < 1 || pad > kHotCuePads)
        throw std::invalid_argument("hot cue pad " + std::to_string(pad) + " outside 1 … 8");
}

} // namespace

std::uint32_t defaultHotCueColour(int pad) {
    return pad >= 1 && pad <= kHotCuePads ? kHotCueColours[static_cast<std::size_t>(pad - 1)] : 0;
}

HotCueStore::HotCueStore(SongTable &table) : table_(table) {}

void HotCueStore::attach() {
    sqlite3 *db = connection(table_);
    char *message = nullptr;
    // One savepoint: a file never holds the table without its trigger.
    const std::string sql = std::string("SAVEPOINT hotcues_attach;") + kSchema + "RELEASE hotcues_attach;";
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string reason = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        sqlite3_exec(db, "ROLLBACK TO hotcues_attach; RELEASE hotcues_attach", nullptr, nullptr, nullptr);
        throw DatabaseError("Hot-Cue-Datenbankfehler: " + reason);
    }
}

std::vector<HotCue> HotCueStore::load(std::int64_t index) const {
    sqlite3 *db = connection(table_);
    std::vector<HotCue> cues;
    if (!hasTable(db))
        return cues;
    Statement q(db, "SELECT Pad, Sample, LoopSamples, Colour FROM HotCues WHERE \"Index\" = ?1 ORDER BY Pad");
    sqlite3_bind_int64(q.get(), 1, index);
    while (q.step()) {
        HotCue cue;
        cue.pad = sqlite3_column_int(q.get(), 0);
        cue.sample = sqlite3_column_double(q.get(), 1);
        if (sqlite3_column_type(q.get(), 2) != SQLITE_NULL)
            cue.loopSamples = sqlite3_column_double(q.get(), 2);
        cue.rgb = static_cast<std::uint32_t>(sqlite3_column_int64(q.get(), 3)) & 0xFFFFFFu;
        cues.push_back(cue);
    }
    return cues;
}

bool HotCueStore::save(std::int64_t index, const HotCue &cue) {
    checkPad(cue.pad);
    if (!std::isfinite(cue.sample) || cue.sample < 0.0)
        throw std::invalid_argument("hot cue position " + std::to_string(cue.sample));
    if (cue.loopSamples && !(std::isfinite(*cue.loopSamples) && *cue.loopSamples > 0.0))
        throw std::invalid_argument("hot cue loop length " + std::to_string(*cue.loopSamples));
    sqlite3 *db = connection(table_);
    // Only for a row that exists: a cue of a deleted song would outlive it (the trigger has run).
    Statement q(db, "INSERT OR REPLACE INTO HotCues (\"Index\", Pad, Sample, LoopSamples, Colour) "
                    "SELECT \"Index\", ?2, ?3, ?4, ?5 FROM Songs WHERE \"Index\" = ?1");
    sqlite3_bind_int64(q.get(), 1, index);
    sqlite3_bind_int(q.get(), 2, cue.pad);
    sqlite3_bind_double(q.get(), 3, cue.sample);
    if (cue.loopSamples)
        sqlite3_bind_double(q.get(), 4, *cue.loopSamples);
    else
        sqlite3_bind_null(q.get(), 4);
    sqlite3_bind_int64(q.get(), 5, cue.rgb & 0xFFFFFFu);
    q.step();
    return sqlite3_changes(db) > 0;
}

void HotCueStore::remove(std::int64_t index, int pad) {
    checkPad(pad);
    sqlite3 *db = connection(table_);
    if (!hasTable(db))
        return;
    Statement q(db, "DELETE FROM HotCues WHERE \"Index\" = ?1 AND Pad = ?2");
    sqlite3_bind_int64(q.get(), 1, index);
    sqlite3_bind_int(q.get(), 2, pad);
    q.step();
}

} // namespace mixora
