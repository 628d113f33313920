#include "library/BytePositions.h"

#include "library/SongTable.h"

#include <sqlite3.h>

#include <string_view>

namespace mixora {
namespace {

// How long a writer off the window thread waits for a scan's open transaction.
constexpr int kBusyTimeoutMs = 10000;

struct Statement {
    sqlite3_stmt *stmt = nullptr;
    Statement(sqlite3 *db, const std::string &sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
            throw DatabaseError(std::string("Datenbankfehler: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
};

bool hasTable(sqlite3 *db, const char *name) {
    Statement q(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
    sqlite3_bind_text(q.stmt, 1, name, -1, SQLITE_STATIC);
    return sqlite3_step(q.stmt) == SQLITE_ROW;
}

std::string moved(std::string_view column) {
    const std::string c = "\"" + std::string(column) + "\"";
    return c + " = CASE WHEN " + c + " >= ?2 THEN " + c + " + ?3 ELSE min(" + c + ", ?2 + ?3) END";
}

void run(sqlite3 *db, const std::string &sql, std::int64_t index, std::uint64_t from, std::int64_t delta) {
    Statement q(db, sql);
    sqlite3_bind_int64(q.stmt, 1, index);
    sqlite3_bind_int64(q.stmt, 2, static_cast<sqlite3_int64>(from));
    sqlite3_bind_int64(q.stmt, 3, delta);
    if (sqlite3_step(q.stmt) != SQLITE_DONE)
        throw DatabaseError(std::string("Die Positionen können nicht verschoben werden: ") +
                            sqlite3_errmsg(db));
}

} // namespace

void moveBytePositions(sqlite3 *db, std::int64_t index, std::uint64_t from, std::int64_t delta) {
    if (delta == 0)
        return;
    run(db, "UPDATE Songs SET " + moved("Startzeit") + ", " + moved("EndZeit") + " WHERE \"Index\" = ?1",
        index, from, delta);
    if (hasTable(db, "Analysis"))
        run(db,
            "UPDATE Analysis SET " + moved("AudibleStartByte") + ", " + moved("AudibleEndByte") +
                " WHERE \"Index\" = ?1",
            index, from, delta);
}

RowPositionsMove::RowPositionsMove(std::filesystem::path database, std::int64_t index, std::string file)
    : database_(std::move(database)), index_(index), file_(std::move(file)) {}

RowPositionsMove::~RowPositionsMove() {
    close();
}

void RowPositionsMove::close() {
    if (db_ != nullptr) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool RowPositionsMove::prepare(std::uint64_t from, std::int64_t delta, std::string &reason) {
    close();
    if (sqlite3_open_v2(database_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        reason = "die Datenbank lässt sich nicht öffnen: " +
                 std::string(db_ ? sqlite3_errmsg(db_) : "kein Speicher");
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return false;
    }
    registerNoCaseCollation(db_);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    try {
        if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
            throw DatabaseError(sqlite3_errmsg(db_));
        Statement row(db_, "SELECT \"Dateiname\" FROM Songs WHERE \"Index\" = ?1");
        sqlite3_bind_int64(row.stmt, 1, index_);
        const bool same =
            sqlite3_step(row.stmt) == SQLITE_ROW &&
            std::string_view(reinterpret_cast<const char *>(sqlite3_column_text(row.stmt, 0)),
                             static_cast<std::size_t>(sqlite3_column_bytes(row.stmt, 0))) == file_;
        if (same)
            moveBytePositions(db_, index_, from, delta);
    } catch (const DatabaseError &error) {
        reason = "die Positionen des Titels lassen sich nicht anpassen: " + std::string(error.what());
        close();
        return false;
    }
    return true;
}

void RowPositionsMove::finish(bool replaced) {
    if (db_ != nullptr && replaced && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return;
    }
    close();
}

} // namespace mixora
