#include "analysis/Store.h"

#include "analysis/UserGrid.h"
#include "library/SongTable.h"
#include "library/SqlQuery.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace mixora::analysis {
namespace {

// Triggers run for every program that changes the song table, old versions included, so the
// results can never outlive their row or describe another file than the row names.
constexpr const char *kSchema = R"sql(
CREATE TABLE IF NOT EXISTS Analysis (
    "Index" INTEGER PRIMARY KEY,
    Bpm REAL,
    FirstBeat REAL,
    Loudness REAL,
    AudibleStart REAL NOT NULL,
    AudibleEnd REAL NOT NULL,
    AudibleStartByte INTEGER NOT NULL,
    AudibleEndByte INTEGER NOT NULL,
    Duration REAL NOT NULL,
    Overview BLOB NOT NULL,
    BeatsWritten INTEGER
);
CREATE TABLE IF NOT EXISTS AnalysisFailure (
    "Index" INTEGER PRIMARY KEY,
    Size INTEGER NOT NULL,
    MTime INTEGER NOT NULL
);
CREATE TRIGGER IF NOT EXISTS AnalysisFailureGoesWithSong AFTER DELETE ON Songs
BEGIN
    DELETE FROM AnalysisFailure WHERE "Index" = old."Index";
END;
CREATE TRIGGER IF NOT EXISTS AnalysisFailureFollowsFile AFTER UPDATE OF "Dateiname" ON Songs
WHEN old."Dateiname" COLLATE BINARY IS NOT new."Dateiname"
BEGIN
    DELETE FROM AnalysisFailure WHERE "Index" = old."Index";
END;
CREATE TRIGGER IF NOT EXISTS AnalysisGoesWithSong AFTER DELETE ON Songs
BEGIN
    DELETE FROM Analysis WHERE "Index" = old."Index";
END;
CREATE TRIGGER IF NOT EXISTS AnalysisFollowsFile AFTER UPDATE OF "Dateiname" ON Songs
WHEN old."Dateiname" COLLATE BINARY IS NOT new."Dateiname"
BEGIN
    UPDATE Songs SET "Analyse" = 0, "EndZeit" = NULL,
        "Beats" = CASE WHEN "Beats" = (SELECT BeatsWritten FROM Analysis WHERE "Index" = old."Index")
                  THEN NULL ELSE "Beats" END
        WHERE "Index" = old."Index";
    DELETE FROM Analysis WHERE "Index" = old."Index";
END;
)sql";

constexpr const char *kWhat = "Analyse-Datenbankfehler";

struct Query : sql::Query {
    Query(sqlite3 *db, const char *text) : sql::Query(db, text, kWhat) {}
};

void exec(sqlite3 *db, const char *text) {
    sql::exec(db, text, kWhat);
}

using sql::connection;

// "Beats" is a 16-bit column and "EndZeit" a 32-bit one.
std::optional<std::int64_t> wholeBpm(const std::optional<double> &bpm) {
    if (!bpm || !std::isfinite(*bpm) || *bpm <= 0.0)
        return std::nullopt;
    return std::min<std::int64_t>(std::llround(*bpm), std::numeric_limits<std::int16_t>::max());
}

std::int64_t endZeit(std::int64_t byte) {
    return std::clamp<std::int64_t>(byte, 0, std::numeric_limits<std::int32_t>::max());
}

// What tells that a file has changed since it failed: its size and modification time (in
// nanoseconds); -1 for both when it cannot be looked at.
std::pair<std::int64_t, std::int64_t> fileStamp(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {-1, -1};
    return {static_cast<std::int64_t>(st.st_size),
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// A song to analyse unless it failed before and its file has not changed since.
bool worthTrying(const Query &q, int sizeColumn, const std::string &path) {
    const auto size = q.integer(sizeColumn);
    const auto mtime = q.integer(sizeColumn + 1);
    if (!size || !mtime)
        return true;
    return fileStamp(path) != std::make_pair(*size, *mtime);
}

} // namespace

Store::Store(SongTable &table) : table_(table) {}

void Store::saveFailure(const SongRef &song) {
    sqlite3 *db = connection(table_);
    const auto [size, mtime] = fileStamp(song.path);
    Query failure(db, "INSERT OR REPLACE INTO AnalysisFailure (\"Index\", Size, MTime) "
                      "SELECT \"Index\", ?2, ?3 FROM Songs WHERE \"Index\" = ?1 AND \"Dateiname\" = ?4 "
                      "COLLATE BINARY");
    failure.bind(1, song.index).bind(2, size).bind(3, mtime).bindText(4, song.path);
    failure.step();
}

void Store::attach() {
    sqlite3 *db = connection(table_);
    exec(db, "SAVEPOINT analysis_attach");
    try {
        exec(db, kSchema);
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK TO analysis_attach; RELEASE analysis_attach", nullptr, nullptr, nullptr);
        throw;
    }
    exec(db, "RELEASE analysis_attach");
    UserGrid(table_).attach(); // save() asks it
}

bool Store::save(const SongRef &songRef, const Result &result) {
    const std::int64_t index = songRef.index;
    sqlite3 *db = connection(table_);
    // A savepoint nests inside a scan's open transaction and is a transaction of its own outside one.
    exec(db, "SAVEPOINT analysis_save");
    try {
        Query song(db, "SELECT \"Beats\", \"Dateiname\" FROM Songs WHERE \"Index\" = ?1");
        song.bind(1, index);
        if (!song.step() || song.text(1) != songRef.path) {
            exec(db, "ROLLBACK TO analysis_save; RELEASE analysis_save");
            return false;
        }
        const std::optional<std::int64_t> beats = song.integer(0);

        // The DJ's grid decides "Beats" while it exists, and then the figure there is not ours.
        const std::optional<engine::BeatGrid> own = userGridOf(db, index);
        Query previous(db, "SELECT BeatsWritten FROM Analysis WHERE \"Index\" = ?1");
        previous.bind(1, index);
        const std::optional<std::int64_t> written =
            !own && previous.step() ? previous.integer(0) : std::nullopt;

        // The user's own figure stays; ours may be replaced by a newer one of ours.
        const bool ours = !own && (!beats || *beats == 0 || beats == written);
        const std::optional<std::int64_t> tempo = wholeBpm(result.bpm);
        const std::optional<std::int64_t> newBeats = ours ? tempo : own ? wholeBpm(own->bpm) : beats;
        const std::optional<std::int64_t> newWritten = ours ? tempo : written;

        Query store(db, "INSERT OR REPLACE INTO Analysis (\"Index\", Bpm, FirstBeat, Loudness, AudibleStart, "
                        "AudibleEnd, AudibleStartByte, AudibleEndByte, Duration, Overview, BeatsWritten) "
                        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
        store.bind(1, index)
            .bind(2, result.bpm)
            .bind(3, result.firstBeatSeconds)
            .bind(4, result.loudnessLufs)
            .bind(5, std::optional<double>(result.audibleStartSeconds))
            .bind(6, std::optional<double>(result.audibleEndSeconds))
            .bind(7, result.audibleStartByte)
            .bind(8, result.audibleEndByte)
            .bind(9, std::optional<double>(result.durationSeconds))
            .bind(10, result.overview)
            .bind(11, newWritten);
        store.step();

        Query row(db,
                  "UPDATE Songs SET \"Beats\" = ?2, \"Analyse\" = 1, \"EndZeit\" = ?3 WHERE \"Index\" = ?1");
        row.bind(1, index).bind(2, newBeats).bind(3, endZeit(result.audibleEndByte));
        row.step();
        Query failed(db, "DELETE FROM AnalysisFailure WHERE \"Index\" = ?1");
        failed.bind(1, index);
        failed.step();
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK TO analysis_save; RELEASE analysis_save", nullptr, nullptr, nullptr);
        throw;
    }
    exec(db, "RELEASE analysis_save");
    return true;
}

std::optional<Result> Store::load(std::int64_t index) const {
    Query q(connection(table_),
            "SELECT Bpm, FirstBeat, Loudness, AudibleStart, AudibleEnd, AudibleStartByte, "
            "AudibleEndByte, Duration, Overview FROM Analysis WHERE \"Index\" = ?1");
    q.bind(1, index);
    if (!q.step())
        return std::nullopt;
    Result r;
    r.bpm = q.real(0);
    r.firstBeatSeconds = q.real(1);
    r.loudnessLufs = q.real(2);
    r.audibleStartSeconds = q.real(3).value_or(0.0);
    r.audibleEndSeconds = q.real(4).value_or(0.0);
    r.audibleStartByte = q.integer(5).value_or(0);
    r.audibleEndByte = q.integer(6).value_or(0);
    r.durationSeconds = q.real(7).value_or(0.0);
    r.overview = q.blob(8);
    return r;
}

namespace {

// A file the store has not attached to yet knows no failures.
std::string failures(sqlite3 *db) {
    Query q(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'AnalysisFailure'");
    return q.step() ? "AnalysisFailure" : "(SELECT NULL AS \"Index\", NULL AS Size, NULL AS MTime)";
}

} // namespace

std::vector<SongRef> Store::unanalysed() const {
    sqlite3 *db = connection(table_);
    const std::string sql =
        "SELECT s.\"Index\", s.\"Dateiname\", f.Size, f.MTime FROM Songs s LEFT JOIN " + failures(db) +
        " f ON f.\"Index\" = s.\"Index\" WHERE s.\"Analyse\" IS NOT 1 ORDER BY s.\"Index\"";
    Query q(db, sql.c_str());
    std::vector<SongRef> songs;
    while (q.step()) {
        SongRef song{q.integer(0).value_or(0), q.text(1)};
        if (worthTrying(q, 2, song.path))
            songs.push_back(std::move(song));
    }
    return songs;
}

std::optional<SongRef> Store::unanalysed(std::int64_t index) const {
    sqlite3 *db = connection(table_);
    const std::string sql =
        "SELECT s.\"Dateiname\", f.Size, f.MTime FROM Songs s LEFT JOIN " + failures(db) +
        " f ON f.\"Index\" = s.\"Index\" WHERE s.\"Index\" = ?1 AND s.\"Analyse\" IS NOT 1";
    Query q(db, sql.c_str());
    q.bind(1, index);
    if (!q.step())
        return std::nullopt;
    SongRef song{index, q.text(0)};
    if (!worthTrying(q, 1, song.path))
        return std::nullopt;
    return song;
}

} // namespace mixora::analysis
