#include "library/BytePositions.h"

#include "library/SongTable.h"
#include "library/TagLayout.h"

#include <sqlite3.h>

#include <fstream>
#include <optional>
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

constexpr const char *kPendingSchema = "CREATE TABLE IF NOT EXISTS PendingTagWrites (\"Index\" INTEGER "
                                       "PRIMARY KEY, \"Dateiname\" TEXT NOT NULL, "
                                       "AudioStart INTEGER, Delta INTEGER)";

void exec(sqlite3 *db, const char *sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        throw DatabaseError(std::string("Datenbankfehler: ") + sqlite3_errmsg(db));
}

// Where a file's audio starts: after its ID3v2 tag, if it has one; nothing when it cannot be read.
std::optional<std::uint64_t> audioStartOf(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    unsigned char ten[tags::kId3v2HeaderSize] = {};
    if (!in.read(reinterpret_cast<char *>(ten), sizeof ten))
        return std::nullopt;
    const auto header = tags::parseId3v2Header(ten);
    if (!header)
        return 0;
    return tags::kId3v2HeaderSize + std::uint64_t{header->size} +
           (header->version == 4 && (header->flags & tags::kFooter) ? 10 : 0);
}

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

bool RowPositionsMove::connect(std::string &reason) {
    if (db_ != nullptr)
        return true;
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
    return true;
}

bool RowPositionsMove::begin() {
    std::string reason;
    if (!connect(reason))
        return false;
    try {
        exec(db_, kPendingSchema);
        Statement note(db_,
                       "INSERT OR REPLACE INTO PendingTagWrites (\"Index\", \"Dateiname\") VALUES (?1, ?2)");
        sqlite3_bind_int64(note.stmt, 1, index_);
        sqlite3_bind_text(note.stmt, 2, file_.c_str(), int(file_.size()), SQLITE_STATIC);
        return sqlite3_step(note.stmt) == SQLITE_DONE;
    } catch (const DatabaseError &) {
        return false;
    }
}

void RowPositionsMove::end() {
    std::string reason;
    if (db_ != nullptr)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    if (!connect(reason) || !hasTable(db_, "PendingTagWrites"))
        return;
    Statement forget(db_, "DELETE FROM PendingTagWrites WHERE \"Index\" = ?1");
    sqlite3_bind_int64(forget.stmt, 1, index_);
    sqlite3_step(forget.stmt);
}

bool RowPositionsMove::prepare(std::uint64_t from, std::int64_t delta, std::string &reason) {
    if (db_ != nullptr)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    if (!connect(reason))
        return false;
    try {
        // The move is noted first and on its own, so a kill after the rename still knows it.
        exec(db_, kPendingSchema);
        Statement note(db_, "INSERT OR REPLACE INTO PendingTagWrites VALUES (?1, ?2, ?3, ?4)");
        sqlite3_bind_int64(note.stmt, 1, index_);
        sqlite3_bind_text(note.stmt, 2, file_.c_str(), int(file_.size()), SQLITE_STATIC);
        sqlite3_bind_int64(note.stmt, 3, static_cast<sqlite3_int64>(from));
        sqlite3_bind_int64(note.stmt, 4, delta);
        if (sqlite3_step(note.stmt) != SQLITE_DONE)
            throw DatabaseError(sqlite3_errmsg(db_));
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
        Statement done(db_, "DELETE FROM PendingTagWrites WHERE \"Index\" = ?1");
        sqlite3_bind_int64(done.stmt, 1, index_);
        if (sqlite3_step(done.stmt) != SQLITE_DONE)
            throw DatabaseError(sqlite3_errmsg(db_));
    } catch (const DatabaseError &error) {
        reason = "die Positionen des Titels lassen sich nicht anpassen: " + std::string(error.what());
        close();
        return false;
    }
    return true;
}

void RowPositionsMove::finish(bool replaced) {
    if (db_ != nullptr && replaced && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
        return;
    if (db_ != nullptr)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

std::vector<std::int64_t> settlePendingTagWrites(sqlite3 *db) {
    std::vector<std::int64_t> rows;
    if (!hasTable(db, "PendingTagWrites"))
        return rows;
    exec(db, "BEGIN IMMEDIATE");
    try {
        Statement notes(db, "SELECT \"Index\", \"Dateiname\", AudioStart, Delta FROM PendingTagWrites");
        while (sqlite3_step(notes.stmt) == SQLITE_ROW) {
            const std::int64_t index = sqlite3_column_int64(notes.stmt, 0);
            const std::string file(reinterpret_cast<const char *>(sqlite3_column_text(notes.stmt, 1)),
                                   static_cast<std::size_t>(sqlite3_column_bytes(notes.stmt, 1)));
            rows.push_back(index);
            if (sqlite3_column_type(notes.stmt, 2) == SQLITE_NULL)
                continue; // killed before its move was known: the write again does it
            const auto from = static_cast<std::uint64_t>(sqlite3_column_int64(notes.stmt, 2));
            const std::int64_t delta = sqlite3_column_int64(notes.stmt, 3);
            Statement row(db, "SELECT 1 FROM Songs WHERE \"Index\" = ?1 AND \"Dateiname\" = ?2");
            sqlite3_bind_int64(row.stmt, 1, index);
            sqlite3_bind_text(row.stmt, 2, file.c_str(), int(file.size()), SQLITE_STATIC);
            // The new file stands (renamed, its positions not yet moved): the move is made now. The old
            // one still stands: its positions are as they were.
            if (sqlite3_step(row.stmt) == SQLITE_ROW &&
                audioStartOf(file) == static_cast<std::uint64_t>(static_cast<std::int64_t>(from) + delta))
                moveBytePositions(db, index, from, delta);
        }
        exec(db, "DELETE FROM PendingTagWrites");
        exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return rows;
}

} // namespace mixora
