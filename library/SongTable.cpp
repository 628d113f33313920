#include "library/SongTable.h"

#include "util/Cp1252.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace mixora {
namespace {

constexpr const char *kCollation = "MIXORA_NOCASE";
constexpr const char *kTable = "Songs";
constexpr int kSchemaVersion = 1;

int noCaseCompare(void *, int lengthA, const void *a, int lengthB, const void *b) {
    return text::compareNoCase(
        std::string_view(static_cast<const char *>(a), static_cast<std::size_t>(lengthA)),
        std::string_view(static_cast<const char *>(b), static_cast<std::size_t>(lengthB)));
}

std::string quoted(std::string_view name) {
    return "\"" + std::string(name) + "\"";
}

std::string declaredType(const FieldDef &field) {
    switch (field.type) {
    case FieldType::AutoInc:
        return "INTEGER PRIMARY KEY AUTOINCREMENT";
    case FieldType::Text:
        return "VARCHAR(" + std::to_string(field.size) + ") NOT NULL DEFAULT '' COLLATE " + kCollation;
    case FieldType::SmallInt:
        return "SMALLINT";
    case FieldType::Integer:
        return "INTEGER";
    case FieldType::Boolean:
        return "BOOLEAN";
    }
    return "";
}

std::string schemaSql() {
    std::string sql = "CREATE TABLE " + std::string(kTable) + " (";
    for (std::size_t i = 0; i < kSongFields.size(); ++i) {
        if (i)
            sql += ", ";
        sql += quoted(kSongFields[i].name) + " " + declaredType(kSongFields[i]);
    }
    sql += ");\n";
    for (const auto &index : kSongIndexes) {
        if (index.primary)
            continue;
        sql += std::string(index.unique ? "CREATE UNIQUE INDEX " : "CREATE INDEX ") + quoted(index.name) +
               " ON " + kTable + " (" + quoted(kSongFields[static_cast<std::size_t>(index.field)].name) +
               (index.caseInsensitive ? std::string(" COLLATE ") + kCollation : std::string()) + ");\n";
    }
    sql += "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";\n";
    return sql;
}

std::string columnList() {
    std::string list;
    for (std::size_t i = 0; i < kSongFields.size(); ++i) {
        if (i)
            list += ", ";
        list += quoted(kSongFields[i].name);
    }
    return list;
}

std::optional<std::int64_t> parseInteger(std::string_view s) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size())
        return std::nullopt;
    return value;
}

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

void bindValue(sqlite3_stmt *stmt, int position, const FieldValue &value) {
    if (std::holds_alternative<std::int64_t>(value))
        sqlite3_bind_int64(stmt, position, std::get<std::int64_t>(value));
    else if (std::holds_alternative<std::string>(value)) {
        const auto &s = std::get<std::string>(value);
        sqlite3_bind_text(stmt, position, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    } else if (std::holds_alternative<bool>(value))
        sqlite3_bind_int(stmt, position, std::get<bool>(value) ? 1 : 0);
    else
        sqlite3_bind_null(stmt, position);
}

SongRecord readRow(sqlite3_stmt *stmt) {
    SongRecord record;
    for (int i = 0; i < kSongFieldCount; ++i) {
        const auto &def = kSongFields[static_cast<std::size_t>(i)];
        auto &out = record[static_cast<std::size_t>(i)];
        if (sqlite3_column_type(stmt, i) == SQLITE_NULL) {
            out = def.type == FieldType::Text ? FieldValue(std::string()) : FieldValue();
            continue;
        }
        switch (def.type) {
        case FieldType::Text: {
            const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(stmt, i));
            out = std::string(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)));
            break;
        }
        case FieldType::Boolean:
            out = sqlite3_column_int64(stmt, i) != 0;
            break;
        default:
            out = static_cast<std::int64_t>(sqlite3_column_int64(stmt, i));
            break;
        }
    }
    return record;
}

SongRecord emptyRecord() {
    SongRecord record;
    for (int i = 0; i < kSongFieldCount; ++i)
        if (kSongFields[static_cast<std::size_t>(i)].type == FieldType::Text)
            record[static_cast<std::size_t>(i)] = std::string();
    return record;
}

} // namespace

std::string fieldValueText(const FieldValue &value) {
    if (std::holds_alternative<std::string>(value))
        return std::get<std::string>(value);
    if (std::holds_alternative<std::int64_t>(value))
        return std::to_string(std::get<std::int64_t>(value));
    if (std::holds_alternative<bool>(value))
        return std::get<bool>(value) ? "True" : "False";
    return {};
}

void registerNoCaseCollation(sqlite3 *db) {
    sqlite3_create_collation_v2(db, kCollation, SQLITE_UTF8, nullptr, noCaseCompare, nullptr);
}

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

    SongRecord buffer; // the row being edited or inserted
    bool modified = false;
    std::string keyText;
    mutable std::optional<std::int64_t> countCache;

    std::function<void()> afterPost;
    std::vector<std::pair<int, std::function<void(TableChange)>>> listeners;
    int nextListenerId = 1;

    // Per index: first, last, next, prior, nearest, all keys.
    struct Queries {
        Statement first, last, next, prior, nearest, keys;
    };
    std::array<Queries, kSongIndexCount> queries;
    Statement byKey, insertRow, updateRow, deleteRow, count;

    std::filesystem::path path() const { return folder / tableName; }

    [[noreturn]] void fail(const std::string &what) const {
        throw DatabaseError(what + ": " + (db ? sqlite3_errmsg(db) : "unbekannter Fehler"));
    }

    void notify(TableChange change) {
        auto copy = listeners;
        for (auto &[id, listener] : copy)
            if (listener)
                listener(change);
    }

    int keyField() const { return kSongIndexes[static_cast<std::size_t>(index)].field; }

    void prepareAll() {
        const std::string cols = columnList();
        const std::string from = " FROM " + std::string(kTable);
        for (int i = 0; i < kSongIndexCount; ++i) {
            const auto &def = kSongIndexes[static_cast<std::size_t>(i)];
            auto &q = queries[static_cast<std::size_t>(i)];
            const std::string key = quoted(kSongFields[static_cast<std::size_t>(def.field)].name);
            const std::string select = "SELECT " + cols + from;
            if (def.primary) {
                q.first.prepare(db, select + " ORDER BY \"Index\" LIMIT 1");
                q.last.prepare(db, select + " ORDER BY \"Index\" DESC LIMIT 1");
                q.next.prepare(db, select + " WHERE \"Index\" > ?2 ORDER BY \"Index\" LIMIT 1");
                q.prior.prepare(db, select + " WHERE \"Index\" < ?2 ORDER BY \"Index\" DESC LIMIT 1");
                q.nearest.prepare(db, select + " WHERE \"Index\" >= ?1 ORDER BY \"Index\" LIMIT 1");
                q.keys.prepare(db, "SELECT \"Index\"" + from + " ORDER BY \"Index\"");
            } else {
                const std::string asc = " ORDER BY " + key + ", \"Index\"";
                const std::string desc = " ORDER BY " + key + " DESC, \"Index\" DESC";
                q.first.prepare(db, select + asc + " LIMIT 1");
                q.last.prepare(db, select + desc + " LIMIT 1");
                q.next.prepare(db, select + " WHERE (" + key + ", \"Index\") > (?1, ?2)" + asc + " LIMIT 1");
                q.prior.prepare(db,
                                select + " WHERE (" + key + ", \"Index\") < (?1, ?2)" + desc + " LIMIT 1");
                q.nearest.prepare(db, select + " WHERE " + key + " >= ?1" + asc + " LIMIT 1");
                q.keys.prepare(db, "SELECT \"Index\"" + from + asc);
            }
        }
        byKey.prepare(db, "SELECT " + cols + from + " WHERE \"Index\" = ?1");
        std::string names;
        std::string marks;
        std::string sets;
        for (int i = 1; i < kSongFieldCount; ++i) {
            const auto name = quoted(kSongFields[static_cast<std::size_t>(i)].name);
            names += (i > 1 ? ", " : "") + name;
            marks += (i > 1 ? ", ?" : "?") + std::to_string(i + 1);
            sets += (i > 1 ? ", " : "") + name + " = ?" + std::to_string(i + 1);
        }
        insertRow.prepare(db,
                          "INSERT INTO " + std::string(kTable) + " (" + names + ") VALUES (" + marks + ")");
        updateRow.prepare(db, "UPDATE " + std::string(kTable) + " SET " + sets + " WHERE \"Index\" = ?1");
        deleteRow.prepare(db, "DELETE FROM " + std::string(kTable) + " WHERE \"Index\" = ?1");
        count.prepare(db, "SELECT count(*)" + from);
    }

    void finalizeAll() {
        for (auto &q : queries) {
            q.first.finalize();
            q.last.finalize();
            q.next.finalize();
            q.prior.finalize();
            q.nearest.finalize();
            q.keys.finalize();
        }
        byKey.finalize();
        insertRow.finalize();
        updateRow.finalize();
        deleteRow.finalize();
        count.finalize();
    }

    // Runs a one-row query; the row, or nothing.
    std::optional<SongRecord> fetchOne(sqlite3_stmt *stmt) {
        Use use(stmt);
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW)
            return readRow(stmt);
        if (rc != SQLITE_DONE)
            fail("Die Datenbank kann nicht gelesen werden");
        return std::nullopt;
    }

    std::optional<SongRecord> step(Statement &query, const SongRecord &from) {
        bindValue(query.get(), 1, from[static_cast<std::size_t>(keyField())]);
        bindValue(query.get(), 2, from[kFieldIndex]);
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

    void bindRow(sqlite3_stmt *stmt, const SongRecord &row) {
        for (int i = 1; i < kSongFieldCount; ++i) {
            const auto &value = row[static_cast<std::size_t>(i)];
            // Texts are never NULL, so every index orders and finds empty texts alike.
            if (kSongFields[static_cast<std::size_t>(i)].type == FieldType::Text &&
                std::holds_alternative<std::monostate>(value))
                bindValue(stmt, i + 1, FieldValue(std::string()));
            else
                bindValue(stmt, i + 1, value);
        }
    }

    std::int64_t insert(const SongRecord &row) {
        Use use(insertRow.get());
        bindRow(insertRow.get(), row);
        if (sqlite3_step(insertRow.get()) != SQLITE_DONE)
            failWrite(row);
        invalidate();
        return sqlite3_last_insert_rowid(db);
    }

    void update(const SongRecord &row) {
        Use use(updateRow.get());
        bindRow(updateRow.get(), row);
        bindValue(updateRow.get(), 1, row[kFieldIndex]);
        if (sqlite3_step(updateRow.get()) != SQLITE_DONE)
            failWrite(row);
    }

    std::optional<SongRecord> byIndex(std::int64_t key) {
        bindValue(byKey.get(), 1, FieldValue(key));
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

SongTable::SongTable() : d(std::make_unique<Impl>()) {}

SongTable::~SongTable() {
    try {
        close();
    } catch (...) {
        // A pending change that cannot be saved at exit is lost either way; closing must not throw.
    }
    if (d->db) {
        d->finalizeAll();
        sqlite3_close_v2(d->db);
        d->db = nullptr;
    }
}

void SongTable::setDatabaseName(const std::filesystem::path &folder) {
    d->folder = folder;
}
void SongTable::setTableName(const std::string &name) {
    d->tableName = name;
}
std::filesystem::path SongTable::filePath() const {
    return d->path();
}
void SongTable::setBusyTimeout(int milliseconds) {
    d->busyTimeoutMs = milliseconds;
}

bool SongTable::exists() const {
    std::error_code ec;
    return std::filesystem::exists(d->path(), ec);
}

void SongTable::createTable() {
    const auto path = d->path();
    if (exists())
        throw DatabaseError("Die Datenbank " + path.string() + " existiert bereits");
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    const auto failCreate = [&](const std::string &reason) {
        sqlite3_close_v2(db);
        std::error_code ec;
        std::filesystem::remove(path, ec); // only the file we have just begun
        throw DatabaseError("Die Datenbank " + path.string() + " kann nicht erstellt werden: " + reason);
    };
    if (rc != SQLITE_OK)
        failCreate(db ? sqlite3_errmsg(db) : "kein Speicher");
    registerNoCaseCollation(db);
    const std::string sql = "PRAGMA journal_mode = WAL; BEGIN; " + schemaSql() + "COMMIT;";
    char *message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string reason = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        failCreate(reason);
    }
    sqlite3_close_v2(db);
}

void SongTable::open() {
    if (active())
        return;
    const auto path = d->path();
    const std::string name = path.string();
    if (!exists())
        throw DatabaseError("Die Datenbank " + name + " wurde nicht gefunden");
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw DatabaseError("Die Datenbank " + name + " ist keine Datei");
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        std::string reason = db ? sqlite3_errmsg(db) : "kein Speicher";
        sqlite3_close_v2(db);
        throw DatabaseError("Die Datenbank " + name + " kann nicht geöffnet werden: " + reason);
    }
    registerNoCaseCollation(db);
    sqlite3_busy_timeout(db, d->busyTimeoutMs);
    const auto failOpen = [&](const std::string &what) {
        const int code = sqlite3_errcode(db);
        std::string message;
        if (code == SQLITE_NOTADB)
            message = "Die Datei " + name + " ist keine Datenbank; sie bleibt unverändert";
        else if (code == SQLITE_BUSY || code == SQLITE_LOCKED)
            message = "Die Datenbank " + name + " ist von einem anderen Programm gesperrt";
        else if (code == SQLITE_CANTOPEN || code == SQLITE_READONLY)
            // The journal files beside data.db need a writable folder.
            message = "Die Datenbank " + name + " kann nicht geöffnet werden: Der Ordner " +
                      path.parent_path().string() + " oder die Datei ist schreibgeschützt (" +
                      sqlite3_errmsg(db) + ")";
        else
            message = "Die Datenbank " + name + " " + what + ": " + sqlite3_errmsg(db);
        sqlite3_close_v2(db);
        throw DatabaseError(message);
    };
    // Read the schema first: this is where a file that is no database, or is locked, shows.
    sqlite3_stmt *stmt = nullptr;
    int objects = 0;
    bool hasTable = false;
    if (sqlite3_prepare_v2(db, "SELECT type, name FROM sqlite_master", -1, &stmt, nullptr) != SQLITE_OK)
        failOpen("kann nicht gelesen werden");
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        ++objects;
        const auto *tableName = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 1));
        if (tableName && text::equalsNoCase(tableName, kTable))
            hasTable = true;
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE)
        failOpen("kann nicht gelesen werden");
    char *message = nullptr;
    const auto run = [&](const std::string &sql, const char *what) {
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            sqlite3_free(message);
            message = nullptr;
            failOpen(what);
        }
    };
    if (objects == 0) // an empty file, left by a start that ended before the table was made
        run("BEGIN; " + schemaSql() + "COMMIT;", "kann nicht angelegt werden");
    else if (!hasTable) {
        sqlite3_close_v2(db);
        throw DatabaseError("Die Datei " + name + " enthält keine Liedertabelle; sie bleibt unverändert");
    }
    run("PRAGMA journal_mode = WAL", "kann nicht geöffnet werden");
    run("PRAGMA synchronous = NORMAL", "kann nicht geöffnet werden");
    d->db = db;
    try {
        d->prepareAll();
    } catch (const DatabaseError &) {
        d->finalizeAll();
        d->db = nullptr;
        sqlite3_close_v2(db);
        throw DatabaseError("Die Datei " + name +
                            " enthält keine gültige Liedertabelle; sie bleibt unverändert");
    }
    d->state = TableState::Browse;
    d->invalidate();
    d->setCurrent(d->fetchOne(d->queries[static_cast<std::size_t>(d->index)].first.get()));
    d->notify(TableChange::Active);
}

void SongTable::close() {
    if (!active())
        return;
    checkBrowseMode();
    if (inTransaction())
        commit();
    d->finalizeAll();
    sqlite3_close_v2(d->db);
    d->db = nullptr;
    d->state = TableState::Inactive;
    d->setCurrent(std::nullopt);
    d->notify(TableChange::Active);
}

bool SongTable::active() const {
    return d->state != TableState::Inactive;
}

// ----- indexes

void SongTable::setIndexName(std::string_view name) {
    for (int i = 0; i < kSongIndexCount; ++i) {
        if (text::equalsNoCase(kSongIndexes[static_cast<std::size_t>(i)].name, name)) {
            if (active())
                checkBrowseMode();
            if (d->index != i) {
                d->index = i;
                d->notify(TableChange::Order);
            }
            return;
        }
    }
    throw DatabaseError("Index '" + std::string(name) + "' nicht gefunden");
}

void SongTable::setIndexFieldNames(std::string_view fieldName) {
    const int field = fieldNumber(fieldName);
    for (const auto &index : kSongIndexes)
        if (field >= 0 && index.field == field)
            return setIndexName(index.name);
    throw DatabaseError("Kein Index für Feld '" + std::string(fieldName) + "'");
}

std::string SongTable::indexName() const {
    return std::string(kSongIndexes[static_cast<std::size_t>(d->index)].name);
}
int SongTable::activeIndex() const {
    return d->index;
}
int SongTable::keyField() const {
    return d->keyField();
}

// ----- key search

void SongTable::setKey() {
    d->requireActive();
    checkBrowseMode();
    d->keyText.clear();
    d->state = TableState::SetKey;
}

void SongTable::setKeyField(std::string_view fieldName, std::string_view text) {
    const int field = fieldNumber(fieldName);
    if (field < 0)
        throw DatabaseError("Feld '" + std::string(fieldName) + "' nicht gefunden");
    if (field != d->keyField())
        throw DatabaseError("Feld '" + std::string(kSongFields[static_cast<std::size_t>(field)].name) +
                            "' ist nicht indiziert und kann nicht verändert werden");
    if (d->state != TableState::SetKey)
        setKey();
    d->keyText = std::string(text);
}

void SongTable::gotoNearest() {
    d->requireActive();
    if (d->state == TableState::SetKey)
        d->state = TableState::Browse;
    checkBrowseMode();
    auto &q = d->queries[static_cast<std::size_t>(d->index)];
    std::optional<SongRecord> found;
    if (d->keyText.empty()) {
        found = d->fetchOne(q.first.get());
    } else {
        FieldValue key = d->keyText;
        if (kSongIndexes[static_cast<std::size_t>(d->index)].primary) {
            // The number typed, or its leading digits; text that is no number finds nothing.
            auto value = parseInteger(d->keyText);
            key = value ? FieldValue(*value) : FieldValue(std::numeric_limits<std::int64_t>::max());
        }
        bindValue(q.nearest.get(), 1, key);
        found = d->fetchOne(q.nearest.get());
        if (!found)
            found = d->fetchOne(q.last.get());
    }
    d->setCurrent(std::move(found));
    d->notify(TableChange::Cursor);
}

void SongTable::findNearest(std::string_view text) {
    setKey();
    setKeyField(kSongFields[static_cast<std::size_t>(d->keyField())].name, text);
    gotoNearest();
}

// ----- walking

void SongTable::first() {
    d->requireActive();
    checkBrowseMode();
    d->setCurrent(d->fetchOne(d->queries[static_cast<std::size_t>(d->index)].first.get()));
    d->bof = true;
    d->notify(TableChange::Cursor);
}

void SongTable::last() {
    d->requireActive();
    checkBrowseMode();
    d->setCurrent(d->fetchOne(d->queries[static_cast<std::size_t>(d->index)].last.get()));
    d->notify(TableChange::Cursor);
}

void SongTable::next() {
    d->requireActive();
    checkBrowseMode();
    if (!d->current) {
        d->eof = true;
        return;
    }
    auto found = d->step(d->queries[static_cast<std::size_t>(d->index)].next, *d->current);
    d->bof = false;
    if (!found) {
        d->eof = true;
        return;
    }
    d->current = std::move(found);
    d->eof = false;
    d->notify(TableChange::Cursor);
}

void SongTable::prior() {
    d->requireActive();
    checkBrowseMode();
    if (!d->current) {
        d->bof = true;
        return;
    }
    auto found = d->step(d->queries[static_cast<std::size_t>(d->index)].prior, *d->current);
    d->eof = false;
    if (!found) {
        d->bof = true;
        return;
    }
    d->current = std::move(found);
    d->bof = false;
    d->notify(TableChange::Cursor);
}

bool SongTable::eof() const {
    return d->eof;
}
bool SongTable::bof() const {
    return d->bof;
}

bool SongTable::gotoKey(std::int64_t index) {
    d->requireActive();
    if (d->current && std::get<std::int64_t>((*d->current)[kFieldIndex]) == index &&
        d->state == TableState::Browse)
        return true;
    checkBrowseMode();
    auto found = d->byIndex(index);
    if (!found)
        return false;
    d->current = std::move(found);
    d->eof = d->bof = false;
    d->notify(TableChange::Cursor);
    return true;
}

std::optional<std::int64_t> SongTable::currentKey() const {
    if (!d->current || d->state == TableState::Insert)
        return std::nullopt;
    return std::get<std::int64_t>((*d->current)[kFieldIndex]);
}

bool SongTable::isEmpty() const {
    return recordCount() == 0;
}

std::int64_t SongTable::recordCount() const {
    if (!active())
        return -1;
    if (!d->countCache) {
        Use use(d->count.get());
        if (sqlite3_step(d->count.get()) != SQLITE_ROW)
            return -1;
        d->countCache = sqlite3_column_int64(d->count.get(), 0);
    }
    return *d->countCache;
}

void SongTable::refresh() {
    d->requireActive();
    checkBrowseMode();
    d->invalidate();
    if (d->current) {
        auto again = d->byIndex(std::get<std::int64_t>((*d->current)[kFieldIndex]));
        if (!again)
            again = d->fetchOne(d->queries[static_cast<std::size_t>(d->index)].first.get());
        d->setCurrent(std::move(again));
    } else {
        d->setCurrent(d->fetchOne(d->queries[static_cast<std::size_t>(d->index)].first.get()));
    }
    d->notify(TableChange::Data);
    d->notify(TableChange::Cursor);
}

// ----- fields

int SongTable::fieldNumber(std::string_view name) {
    for (int i = 0; i < kSongFieldCount; ++i)
        if (text::equalsNoCase(kSongFields[static_cast<std::size_t>(i)].name, name))
            return i;
    return -1;
}

namespace {
int requireField(std::string_view name) {
    const int field = SongTable::fieldNumber(name);
    if (field < 0)
        throw DatabaseError("Feld '" + std::string(name) + "' nicht gefunden");
    return field;
}
} // namespace

FieldValue SongTable::fieldValue(std::string_view name) const {
    const auto field = static_cast<std::size_t>(requireField(name));
    if (d->state == TableState::Edit || d->state == TableState::Insert)
        return d->buffer[field];
    if (!d->current)
        return kSongFields[field].type == FieldType::Text ? FieldValue(std::string()) : FieldValue();
    return (*d->current)[field];
}

std::string SongTable::fieldAsString(std::string_view name) const {
    return fieldValueText(fieldValue(name));
}

std::int64_t SongTable::fieldAsInteger(std::string_view name) const {
    const auto value = fieldValue(name);
    if (std::holds_alternative<std::int64_t>(value))
        return std::get<std::int64_t>(value);
    if (std::holds_alternative<bool>(value))
        return std::get<bool>(value) ? 1 : 0;
    if (std::holds_alternative<std::string>(value)) {
        const auto &s = std::get<std::string>(value);
        if (s.empty())
            return 0;
        if (auto number = parseInteger(s))
            return *number;
        throw DatabaseError("'" + s + "' ist kein gültiger Integerwert");
    }
    return 0;
}

bool SongTable::fieldIsNull(std::string_view name) const {
    const auto value = fieldValue(name);
    return std::holds_alternative<std::monostate>(value) ||
           (std::holds_alternative<std::string>(value) && std::get<std::string>(value).empty());
}

SongRecord SongTable::currentRecord() const {
    if (d->state == TableState::Edit || d->state == TableState::Insert)
        return d->buffer;
    return d->current ? *d->current : emptyRecord();
}

void SongTable::setFieldValue(std::string_view name, const FieldValue &value) {
    const int field = requireField(name);
    if (d->state != TableState::Edit && d->state != TableState::Insert)
        throw DatabaseError("Die Tabelle ist nicht im Bearbeitungs- oder Einfügemodus");
    const auto &def = kSongFields[static_cast<std::size_t>(field)];
    if (def.type == FieldType::AutoInc)
        throw DatabaseError("Feld '" + std::string(def.name) + "' kann nicht verändert werden");
    FieldValue stored;
    const bool isEmptyText =
        std::holds_alternative<std::string>(value) && std::get<std::string>(value).empty();
    if (std::holds_alternative<std::monostate>(value) || (isEmptyText && def.type != FieldType::Text)) {
        stored = def.type == FieldType::Text ? FieldValue(std::string()) : FieldValue();
    } else if (def.type == FieldType::Text) {
        std::string s = fieldValueText(value);
        if (field != kFieldDateiname)
            s = text::utf8Left(s, static_cast<std::size_t>(def.size));
        stored = std::move(s);
    } else if (def.type == FieldType::Boolean) {
        if (std::holds_alternative<bool>(value))
            stored = value;
        else if (std::holds_alternative<std::int64_t>(value))
            stored = std::get<std::int64_t>(value) != 0;
        else {
            const auto &s = std::get<std::string>(value);
            if (text::equalsNoCase(s, "true") || s == "1")
                stored = true;
            else if (text::equalsNoCase(s, "false") || s == "0")
                stored = false;
            else
                throw DatabaseError("'" + s + "' ist kein gültiger Boolescher Wert für Feld '" +
                                    std::string(def.name) + "'");
        }
    } else {
        std::optional<std::int64_t> number;
        if (std::holds_alternative<std::int64_t>(value))
            number = std::get<std::int64_t>(value);
        else if (std::holds_alternative<bool>(value))
            number = std::get<bool>(value) ? 1 : 0;
        else
            number = parseInteger(std::get<std::string>(value));
        const bool small = def.type == FieldType::SmallInt;
        const std::int64_t low = small ? -32768 : INT32_MIN;
        const std::int64_t high = small ? 32767 : INT32_MAX;
        if (!number || *number < low || *number > high)
            throw DatabaseError("'" + fieldValueText(value) + "' ist kein gültiger Integerwert für Feld '" +
                                std::string(def.name) + "'");
        stored = *number;
    }
    d->buffer[static_cast<std::size_t>(field)] = std::move(stored);
    d->modified = true;
    d->notify(TableChange::State);
}

void SongTable::setFieldString(std::string_view name, std::string_view text) {
    setFieldValue(name, FieldValue(std::string(text)));
}
void SongTable::setFieldInteger(std::string_view name, std::int64_t value) {
    setFieldValue(name, FieldValue(value));
}
void SongTable::setFieldNull(std::string_view name) {
    setFieldValue(name, FieldValue());
}

// ----- editing

TableState SongTable::state() const {
    return d->state;
}
bool SongTable::modified() const {
    return d->modified;
}

void SongTable::edit() {
    d->requireActive();
    if (d->state == TableState::Edit || d->state == TableState::Insert)
        return;
    if (d->state == TableState::SetKey)
        d->state = TableState::Browse;
    if (!d->current)
        return insert();
    d->buffer = *d->current;
    d->modified = false;
    d->state = TableState::Edit;
    d->notify(TableChange::State);
}

void SongTable::insert() {
    d->requireActive();
    checkBrowseMode();
    if (d->state == TableState::SetKey)
        d->state = TableState::Browse;
    d->buffer = emptyRecord();
    d->modified = false;
    d->state = TableState::Insert;
    d->notify(TableChange::State);
}

void SongTable::post() {
    if (d->state != TableState::Edit && d->state != TableState::Insert)
        return;
    std::int64_t key;
    if (d->state == TableState::Insert) {
        key = d->insert(d->buffer);
    } else {
        d->update(d->buffer);
        key = std::get<std::int64_t>(d->buffer[kFieldIndex]);
    }
    d->state = TableState::Browse;
    d->modified = false;
    d->setCurrent(d->byIndex(key));
    d->notify(TableChange::Data);
    d->notify(TableChange::State);
    d->notify(TableChange::Cursor);
    if (d->afterPost)
        d->afterPost();
}

void SongTable::cancel() {
    if (d->state == TableState::SetKey) {
        d->state = TableState::Browse;
        return;
    }
    if (d->state != TableState::Edit && d->state != TableState::Insert)
        return;
    d->state = TableState::Browse;
    d->modified = false;
    d->notify(TableChange::State);
}

void SongTable::deleteRecord() {
    d->requireActive();
    if (d->state == TableState::Insert)
        return cancel();
    if (d->state == TableState::Edit || d->state == TableState::SetKey)
        d->state = TableState::Browse;
    if (!d->current)
        throw DatabaseError("Die Tabelle ist leer; es gibt keinen Datensatz zu löschen");
    auto &q = d->queries[static_cast<std::size_t>(d->index)];
    auto following = d->step(q.next, *d->current);
    if (!following)
        following = d->step(q.prior, *d->current);
    {
        Use use(d->deleteRow.get());
        bindValue(d->deleteRow.get(), 1, (*d->current)[kFieldIndex]);
        if (sqlite3_step(d->deleteRow.get()) != SQLITE_DONE)
            d->fail("Der Datensatz kann nicht gelöscht werden");
    }
    d->invalidate();
    d->setCurrent(std::move(following));
    d->notify(TableChange::Data);
    d->notify(TableChange::State);
    d->notify(TableChange::Cursor);
}

void SongTable::appendRecord(const SongRecord &values) {
    d->requireActive();
    checkBrowseMode();
    if (d->state == TableState::SetKey)
        d->state = TableState::Browse;
    SongRecord row = values;
    for (int i = 1; i < kSongFieldCount; ++i) {
        const auto &def = kSongFields[static_cast<std::size_t>(i)];
        auto &value = row[static_cast<std::size_t>(i)];
        if (def.type == FieldType::Text && i != kFieldDateiname)
            value = text::utf8Left(fieldValueText(value), static_cast<std::size_t>(def.size));
    }
    const auto key = d->insert(row);
    d->setCurrent(d->byIndex(key));
    d->notify(TableChange::Data);
    d->notify(TableChange::Cursor);
    if (d->afterPost)
        d->afterPost();
}

void SongTable::checkBrowseMode() {
    if (d->state == TableState::SetKey) {
        d->state = TableState::Browse;
        return;
    }
    if (d->state != TableState::Edit && d->state != TableState::Insert)
        return;
    if (d->modified)
        post();
    else
        cancel();
}

void SongTable::setAfterPost(std::function<void()> callback) {
    d->afterPost = std::move(callback);
}

// ----- transactions

void SongTable::startTransaction() {
    d->requireActive();
    d->exec("BEGIN IMMEDIATE", "Die Transaktion kann nicht beginnen");
}

void SongTable::commit() {
    d->requireActive();
    d->exec("COMMIT", "Die Änderungen können nicht gespeichert werden");
    d->notify(TableChange::Data);
}

void SongTable::rollback() {
    d->requireActive();
    d->exec("ROLLBACK", "Die Änderungen können nicht verworfen werden");
    d->invalidate();
    if (d->state == TableState::Edit)
        d->state = TableState::Browse;
    if (d->current) {
        auto again = d->byIndex(std::get<std::int64_t>((*d->current)[kFieldIndex]));
        if (!again)
            again = d->fetchOne(d->queries[static_cast<std::size_t>(d->index)].first.get());
        d->setCurrent(std::move(again));
    }
    d->notify(TableChange::Data);
    d->notify(TableChange::Cursor);
}

bool SongTable::inTransaction() const {
    return d->db && !sqlite3_get_autocommit(d->db);
}

// ----- grids

std::vector<std::int64_t> SongTable::keysInOrder() const {
    std::vector<std::int64_t> keys;
    if (!active())
        return keys;
    keys.reserve(static_cast<std::size_t>(std::max<std::int64_t>(recordCount(), 0)));
    auto *stmt = d->queries[static_cast<std::size_t>(d->index)].keys.get();
    Use use(stmt);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        keys.push_back(sqlite3_column_int64(stmt, 0));
    if (rc != SQLITE_DONE)
        d->fail("Die Datenbank kann nicht gelesen werden");
    return keys;
}

std::optional<SongRecord> SongTable::readRecord(std::int64_t index) const {
    if (!active())
        return std::nullopt;
    return d->byIndex(index);
}

int SongTable::addListener(std::function<void(TableChange)> listener) {
    const int id = d->nextListenerId++;
    d->listeners.emplace_back(id, std::move(listener));
    return id;
}

void SongTable::removeListener(int id) {
    std::erase_if(d->listeners, [id](const auto &entry) { return entry.first == id; });
}

sqlite3 *SongTable::handle() const {
    return d->db;
}

} // namespace mixora
