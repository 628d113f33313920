// What the source files of SongTable share: the schema's names, the statement helpers, the
// value conversions and the table's state. Included only by SongTable*.cpp.
#pragma once

#include "library/SongTable.h"

#include <sqlite3.h>

#include <optional>
#include <string>
#include <string_view>

namespace mixora {
namespace songtable {

inline constexpr const char *kCollation = "MIXORA_NOCASE";
inline constexpr const char *kTable = "Songs";
// 2: "Dateiname" is unique byte for byte (index "uDateiname"); "iDateiname" folds case for
// sorting and search only.
inline constexpr int kSchemaVersion = 2;
inline constexpr const char *kExactPathIndex = "uDateiname";

std::string quoted(std::string_view name);
std::string schemaSql();
// The unique index of the exact path, and the change of a file of version 1 to it.
std::string exactPathIndexSql();
std::string pathIndexMigrationSql();
std::string columnList();
// The INSERT of `rows` rows, with plain "?" parameters, ten per row, in field order.
std::string insertSql(int rows, bool orIgnore);

std::optional<std::int64_t> parseInteger(std::string_view s);
// `copy` false: the text outlives the statement's use (bound without a copy).
void bindValue(sqlite3_stmt *stmt, int position, const FieldValue &value, bool copy = true);
// The eleven columns of a row selected with columnList().
SongRecord readRow(sqlite3_stmt *stmt);
SongRecord emptyRecord();
// The last error of the connection as the user should read it: the cause in German where
// it is one the user can act on (a full disk, a lock), with the engine's own words.
std::string errorCause(sqlite3 *db);
// What a field holds after being set to `value`: texts cut to their size, numbers and truth
// values converted; throws DatabaseError for a value the field cannot take.
FieldValue storedValue(int field, const FieldValue &value);

// A statement that lives as long as the connection and is reset after every use.
class Statement {
public:
    Statement() = default;
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    ~Statement() { sqlite3_finalize(stmt_); }

    void prepare(sqlite3 *db, const std::string &sql) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        if (sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK)
            throw DatabaseError(std::string("Datenbankfehler: ") + sqlite3_errmsg(db));
    }
    void finalize() {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
    sqlite3_stmt *get() const { return stmt_; }

private:
    sqlite3_stmt *stmt_ = nullptr;
};

// Resets a statement when a use of it ends, also by an exception.
struct Use {
    explicit Use(sqlite3_stmt *s) : stmt(s) {}
    ~Use() {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }
    Use(const Use &) = delete;
    Use &operator=(const Use &) = delete;
    sqlite3_stmt *stmt;
};

} // namespace songtable

struct SongTable::Impl {
    std::filesystem::path folder;
    std::string tableName = "data.db";
    int busyTimeoutMs = 2000;

    sqlite3 *db = nullptr;
    TableState state = TableState::Inactive;
    int index = 3; // "iInterpret"

    // The cursor: the current row as last read, or none.
    std::optional<SongRecord> current;
    bool eof = true;
    bool bof = true;

    SongRecord buffer;   // the row being edited or inserted
    SongRecord original; // the row as edit() found it: a post writes only what differs
    bool modified = false;
    std::string keyText;
    mutable std::optional<std::int64_t> countCache;

    std::function<void()> afterPost;
    std::vector<std::pair<int, std::function<void(TableChange)>>> listeners;
    int nextListenerId = 1;

    // Per index: first, last, next, prior, nearest, all keys.
    struct Queries {
        songtable::Statement first, last, next, prior, nearest, keys;
    };
    std::array<Queries, kSongIndexCount> queries;
    songtable::Statement byKey, paths, insertRow, deleteRow, count, fillTexts, newestPaths;
    // INSERT OR IGNORE of n rows at [n - 1], prepared when first needed.
    std::array<songtable::Statement, SongTable::kMaxAppendRows> insertRows;

    std::filesystem::path path() const { return folder / tableName; }

    [[noreturn]] void fail(const std::string &what) const {
        throw DatabaseError(what + ": " + (db ? songtable::errorCause(db) : "unbekannter Fehler"));
    }

    void notify(TableChange change) {
        auto copy = listeners;
        for (auto &[id, listener] : copy)
            if (listener)
                listener(change);
    }

    int keyField() const { return kSongIndexes[static_cast<std::size_t>(index)].field; }

    // Prepares every statement; throws DatabaseError when the file's layout is not ours.
    void prepareAll();
    void finalizeAll();

    // Runs a one-row query; the row, or nothing.
    std::optional<SongRecord> fetchOne(sqlite3_stmt *stmt) {
        songtable::Use use(stmt);
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW)
            return songtable::readRow(stmt);
        if (rc != SQLITE_DONE)
            fail("Die Datenbank kann nicht gelesen werden");
        return std::nullopt;
    }

    std::optional<SongRecord> step(songtable::Statement &query, const SongRecord &from) {
        songtable::bindValue(query.get(), 1, from[static_cast<std::size_t>(keyField())]);
        songtable::bindValue(query.get(), 2, from[kFieldIndex]);
        return fetchOne(query.get());
    }

    void setCurrent(std::optional<SongRecord> row) {
        current = std::move(row);
        eof = bof = !current;
    }

    void requireActive() const {
        if (state == TableState::Inactive)
            throw DatabaseError("Die Tabelle ist nicht geöffnet");
    }

    void invalidate() { countCache.reset(); }

    [[noreturn]] void failWrite(const SongRecord &row) {
        const int code = sqlite3_extended_errcode(db);
        if (code == SQLITE_CONSTRAINT_UNIQUE || code == SQLITE_CONSTRAINT_PRIMARYKEY)
            throw KeyViolation("Schlüsselverletzung: Die Datei \"" + fieldValueText(row[kFieldDateiname]) +
                               "\" steht schon in der Bibliothek.");
        fail("Der Datensatz kann nicht gespeichert werden");
    }

    // Field i goes to parameter base + i.
    void bindRow(sqlite3_stmt *stmt, const SongRecord &row, int base = 1) {
        for (int i = 1; i < kSongFieldCount; ++i) {
            const auto &value = row[static_cast<std::size_t>(i)];
            // Texts are never NULL, so every index orders and finds empty texts alike.
            if (kSongFields[static_cast<std::size_t>(i)].type == FieldType::Text &&
                std::holds_alternative<std::monostate>(value))
                sqlite3_bind_text(stmt, base + i, "", 0, SQLITE_STATIC);
            else
                songtable::bindValue(stmt, base + i, value, false); // the row outlives the step
        }
    }

    std::int64_t insert(const SongRecord &row) {
        songtable::Use use(insertRow.get());
        bindRow(insertRow.get(), row);
        if (sqlite3_step(insertRow.get()) != SQLITE_DONE)
            failWrite(row);
        invalidate();
        return sqlite3_last_insert_rowid(db);
    }

    // Writes the fields the edit changed and no other: the analysis, a deck's cue point or a
    // tag rewrite may have stored others since the row was copied.
    void update(const SongRecord &row, const SongRecord &before) {
        std::string sets;
        for (int i = 1; i < kSongFieldCount; ++i)
            if (row[static_cast<std::size_t>(i)] != before[static_cast<std::size_t>(i)])
                sets += (sets.empty() ? "" : ", ") +
                        songtable::quoted(kSongFields[static_cast<std::size_t>(i)].name) + " = ?" +
                        std::to_string(i + 1);
        if (sets.empty())
            return;
        songtable::Statement statement;
        statement.prepare(db, "UPDATE " + std::string(songtable::kTable) + " SET " + sets +
                                  " WHERE \"Index\" = ?1");
        songtable::Use use(statement.get());
        bindRow(statement.get(), row); // parameters of unchanged fields are not in the statement
        songtable::bindValue(statement.get(), 1, row[kFieldIndex]);
        if (sqlite3_step(statement.get()) != SQLITE_DONE)
            failWrite(row);
    }

    // Gives a row to be appended the form the table stores (texts cut to their fields, never
    // empty values); true when every value then is as a read would give it back.
    static bool toStoredForm(SongRecord &row);
    // Makes an appended row current and tells everyone, as a post does.
    void appended(SongRecord &&row, std::int64_t key, bool asStored);

    std::optional<SongRecord> byIndex(std::int64_t key) {
        songtable::bindValue(byKey.get(), 1, FieldValue(key));
        return fetchOne(byKey.get());
    }

    void exec(const char *sql, const char *what) {
        char *message = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            std::string reason = message ? message : sqlite3_errmsg(db);
            sqlite3_free(message);
            throw DatabaseError(std::string(what) + ": " + reason);
        }
    }
};

} // namespace mixora
