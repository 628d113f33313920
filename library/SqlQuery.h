// One-shot SQLite statements for the tables that live beside the song table (analysis results, the
// DJ's grids, hot cues): each error raises DatabaseError with the caller's words in front.
#pragma once

#include "library/SongTable.h"

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mixora::sql {

class Query {
public:
    // what: the error's first words, e.g. "Analyse-Datenbankfehler".
    Query(sqlite3 *db, const char *sql, const char *what) : db_(db), what_(what) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            fail();
    }
    ~Query() { sqlite3_finalize(stmt_); }
    Query(const Query &) = delete;
    Query &operator=(const Query &) = delete;

    Query &bind(int position, std::int64_t value) {
        sqlite3_bind_int64(stmt_, position, value);
        return *this;
    }
    Query &bind(int position, const std::optional<double> &value) {
        if (value)
            sqlite3_bind_double(stmt_, position, *value);
        else
            sqlite3_bind_null(stmt_, position);
        return *this;
    }
    Query &bind(int position, const std::optional<std::int64_t> &value) {
        if (value)
            sqlite3_bind_int64(stmt_, position, *value);
        else
            sqlite3_bind_null(stmt_, position);
        return *this;
    }
    Query &bindText(int position, const std::string &text) {
        sqlite3_bind_text(stmt_, position, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
        return *this;
    }
    Query &bind(int position, const std::vector<std::uint8_t> &blob) {
        if (blob.empty()) // a null pointer would bind NULL, not an empty overview
            sqlite3_bind_zeroblob(stmt_, position, 0);
        else
            sqlite3_bind_blob(stmt_, position, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
        return *this;
    }
    sqlite3_stmt *get() const { return stmt_; }
    // True while rows come; throws on an error.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            fail();
        return false;
    }
    std::optional<std::int64_t> integer(int column) const {
        if (sqlite3_column_type(stmt_, column) == SQLITE_NULL)
            return std::nullopt;
        return sqlite3_column_int64(stmt_, column);
    }
    std::optional<double> real(int column) const {
        if (sqlite3_column_type(stmt_, column) == SQLITE_NULL)
            return std::nullopt;
        return sqlite3_column_double(stmt_, column);
    }
    std::string text(int column) const {
        const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, column));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
    }
    std::vector<std::uint8_t> blob(int column) const {
        const auto *p = static_cast<const std::uint8_t *>(sqlite3_column_blob(stmt_, column));
        return p ? std::vector<std::uint8_t>(p, p + sqlite3_column_bytes(stmt_, column))
                 : std::vector<std::uint8_t>();
    }

private:
    [[noreturn]] void fail() const { throw DatabaseError(std::string(what_) + ": " + sqlite3_errmsg(db_)); }
    sqlite3 *db_;
    const char *what_;
    sqlite3_stmt *stmt_ = nullptr;
};

inline void exec(sqlite3 *db, const char *sql, const char *what) {
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string reason = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw DatabaseError(std::string(what) + ": " + reason);
    }
}

inline sqlite3 *connection(const SongTable &table) {
    sqlite3 *db = table.handle();
    if (db == nullptr)
        throw DatabaseError("Die Liedertabelle ist nicht geöffnet");
    return db;
}

} // namespace mixora::sql
