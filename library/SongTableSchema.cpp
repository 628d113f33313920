#include "library/SongTableImpl.h"

#include "util/Cp1252.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace mixora {
namespace songtable {
namespace {

// Keys in an index share long prefixes (paths above all): equal bytes are skipped eight at a
// time, back to the last ASCII byte, where a character begins in both texts alike.
int noCaseCompare(void *, int lengthA, const void *a, int lengthB, const void *b) {
    const auto *pa = static_cast<const unsigned char *>(a);
    const auto *pb = static_cast<const unsigned char *>(b);
    const auto shorter = static_cast<std::size_t>(std::min(lengthA, lengthB));
    std::size_t same = 0;
    while (same + 8 <= shorter && std::memcmp(pa + same, pb + same, 8) == 0)
        same += 8;
    while (same < shorter && pa[same] == pb[same])
        ++same;
    while (same > 0 && pa[same - 1] >= 0x80)
        --same;
    return text::compareNoCase(
        std::string_view(static_cast<const char *>(a) + same, static_cast<std::size_t>(lengthA) - same),
        std::string_view(static_cast<const char *>(b) + same, static_cast<std::size_t>(lengthB) - same));
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

} // namespace

std::string errorCause(sqlite3 *db) {
    const char *cause = nullptr;
    switch (sqlite3_errcode(db) & 0xff) {
    case SQLITE_FULL:
        cause = "Der Datenträger ist voll";
        break;
    case SQLITE_IOERR:
        cause = "Lese- oder Schreibfehler auf dem Datenträger";
        break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        cause = "Die Datenbank ist von einem anderen Programm gesperrt";
        break;
    case SQLITE_READONLY:
        cause = "Die Datenbank ist schreibgeschützt";
        break;
    case SQLITE_CORRUPT:
        cause = "Die Datenbank ist beschädigt";
        break;
    default:
        return sqlite3_errmsg(db);
    }
    return std::string(cause) + " (" + sqlite3_errmsg(db) + ")";
}

std::string quoted(std::string_view name) {
    return "\"" + std::string(name) + "\"";
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
} // namespace songtable

using namespace songtable;

void registerNoCaseCollation(sqlite3 *db) {
    sqlite3_create_collation_v2(db, kCollation, SQLITE_UTF8, nullptr, noCaseCompare, nullptr);
}

void SongTable::Impl::prepareAll() {
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
            q.prior.prepare(db, select + " WHERE (" + key + ", \"Index\") < (?1, ?2)" + desc + " LIMIT 1");
            q.nearest.prepare(db, select + " WHERE " + key + " >= ?1" + asc + " LIMIT 1");
            q.keys.prepare(db, "SELECT \"Index\"" + from + asc);
        }
    }
    byKey.prepare(db, "SELECT " + cols + from + " WHERE \"Index\" = ?1");
    paths.prepare(db, "SELECT \"Index\", \"Dateiname\"" + from + " ORDER BY \"Index\"");
    std::string names;
    std::string marks;
    std::string sets;
    for (int i = 1; i < kSongFieldCount; ++i) {
        const auto name = quoted(kSongFields[static_cast<std::size_t>(i)].name);
        names += (i > 1 ? ", " : "") + name;
        marks += (i > 1 ? ", ?" : "?") + std::to_string(i + 1);
        sets += (i > 1 ? ", " : "") + name + " = ?" + std::to_string(i + 1);
    }
    insertRow.prepare(db, "INSERT INTO " + std::string(kTable) + " (" + names + ") VALUES (" + marks + ")");
    updateRow.prepare(db, "UPDATE " + std::string(kTable) + " SET " + sets + " WHERE \"Index\" = ?1");
    deleteRow.prepare(db, "DELETE FROM " + std::string(kTable) + " WHERE \"Index\" = ?1");
    count.prepare(db, "SELECT count(*)" + from);
    auto keepOrSet = [](const char *field, int position) {
        const std::string name = quoted(field), value = "?" + std::to_string(position);
        return name + " = CASE WHEN " + value + " = '' THEN " + name + " ELSE " + value + " END";
    };
    fillTexts.prepare(db, "UPDATE " + std::string(kTable) + " SET " + keepOrSet("Interpret", 1) + ", " +
                              keepOrSet("Titel", 2) + ", " + keepOrSet("Jahr", 3) + ", " +
                              keepOrSet("Genre", 4) +
                              // the index finds the row, the exact bytes make sure it names this very file
                              " WHERE \"Dateiname\" = ?5 AND \"Dateiname\" = ?5 COLLATE BINARY" +
                              " AND COALESCE(\"Interpret\", '') = ''" + " AND COALESCE(\"Titel\", '') = ''");
}

void SongTable::Impl::finalizeAll() {
    for (auto &q : queries) {
        q.first.finalize();
        q.last.finalize();
        q.next.finalize();
        q.prior.finalize();
        q.nearest.finalize();
        q.keys.finalize();
    }
    byKey.finalize();
    paths.finalize();
    insertRow.finalize();
    updateRow.finalize();
    deleteRow.finalize();
    count.finalize();
    fillTexts.finalize();
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

} // namespace mixora
