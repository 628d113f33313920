#include "library/SongTableImpl.h"

#include "util/Cp1252.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <system_error>

namespace mixora {
namespace songtable {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighBits = kOnes * 0x80;

std::uint64_t load8(const unsigned char *p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Eight ASCII bytes at once with capitals made small; no byte may have its high bit set, so
// no addition carries into the next byte.
std::uint64_t foldAscii8(std::uint64_t v) {
    const std::uint64_t atLeastA = v + kOnes * (0x80 - 'A');
    const std::uint64_t aboveZ = v + kOnes * (0x80 - 'Z' - 1);
    return v | ((atLeastA & ~aboveZ & kHighBits) >> 2);
}

unsigned char foldAscii(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 0x20) : c;
}

constexpr int kNotAscii = 2;

// Compares the first `length` bytes of two texts where only ASCII decides: <0, >0, 0 when
// they are alike, or kNotAscii with `at` on differing bytes of which one is not ASCII.
int compareAscii(const unsigned char *pa, const unsigned char *pb, std::size_t length, std::size_t &at) {
    for (; at + 8 <= length; at += 8) {
        const std::uint64_t wa = load8(pa + at);
        const std::uint64_t wb = load8(pb + at);
        if (wa == wb)
            continue;
        if ((wa | wb) & kHighBits)
            return kNotAscii;
        if (foldAscii8(wa) != foldAscii8(wb))
            break; // the bytes below tell which
    }
    for (; at < length; ++at) {
        if (pa[at] == pb[at])
            continue;
        if ((pa[at] | pb[at]) & 0x80)
            return kNotAscii;
        const unsigned char ca = foldAscii(pa[at]);
        const unsigned char cb = foldAscii(pb[at]);
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return 0;
}

// Every key of an index is compared some fifteen times per insert, and nearly all keys are
// ASCII: that case is decided eight bytes at a time without decoding anything. Where either
// text has a byte of its own beyond ASCII, the comparison goes on character by character from
// the last ASCII byte before it; the bytes before that point compare equal in both readings,
// so the order is exactly that of compareNoCase.
int noCaseCompare(void *, int lengthA, const void *a, int lengthB, const void *b) {
    const auto *pa = static_cast<const unsigned char *>(a);
    const auto *pb = static_cast<const unsigned char *>(b);
    const auto shorter = static_cast<std::size_t>(std::min(lengthA, lengthB));
    std::size_t at = 0;
    const int ascii = compareAscii(pa, pb, shorter, at);
    if (ascii == 0) {
        if (lengthA == lengthB)
            return 0;
        // The shorter text is a prefix of the longer; unless a character may run on past its
        // end ("\xC3" against "ä"), the longer one comes after it.
        if (shorter == 0 || pa[shorter - 1] < 0x80)
            return lengthA < lengthB ? -1 : 1;
    } else if (ascii != kNotAscii) {
        return ascii;
    }
    // Back to where a character begins in both: after an ASCII byte that both hold, with only
    // bytes they share in between.
    while (at > 0 && pa[at - 1] >= 0x80)
        --at;
    return text::compareNoCase(
        std::string_view(static_cast<const char *>(a) + at, static_cast<std::size_t>(lengthA) - at),
        std::string_view(static_cast<const char *>(b) + at, static_cast<std::size_t>(lengthB) - at));
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
    sql += exactPathIndexSql();
    sql += "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";\n";
    return sql;
}

std::string exactPathIndexSql() {
    return std::string("CREATE UNIQUE INDEX IF NOT EXISTS ") + quoted(kExactPathIndex) + " ON " + kTable +
           " (" + quoted(kSongFields[kFieldDateiname].name) + " COLLATE BINARY);\n";
}

std::string pathIndexMigrationSql() {
    // A file of version 1 held "iDateiname" as the unique index that folded case. Its paths are
    // unique in any case, so they are unique byte for byte as well: the new index always builds.
    const auto &def = kSongIndexes[1];
    return std::string("DROP INDEX IF EXISTS ") + quoted(def.name) + ";\nCREATE INDEX " + quoted(def.name) +
           " ON " + kTable + " (" + quoted(kSongFields[kFieldDateiname].name) + " COLLATE " + kCollation +
           ");\n" + exactPathIndexSql() + "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";\n";
}

std::string insertSql(int rows, bool orIgnore) {
    std::string names;
    std::string marks = "(?";
    for (int i = 1; i < kSongFieldCount; ++i) {
        names += (i > 1 ? ", " : "") + quoted(kSongFields[static_cast<std::size_t>(i)].name);
        if (i > 1)
            marks += ", ?";
    }
    marks += ")";
    std::string sql = std::string(orIgnore ? "INSERT OR IGNORE INTO " : "INSERT INTO ") + kTable + " (" +
                      names + ") VALUES " + marks;
    for (int r = 1; r < rows; ++r)
        sql += ", " + marks;
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

namespace {

// Debian's SQLite is built without lookaside memory, so every row an insert builds is a
// malloc; with the memory statistics on, each also takes a process-wide mutex. Nothing here
// reads those statistics. Only possible before the library's first use.
void configureLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
}

} // namespace

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
    for (int i = 1; i < kSongFieldCount; ++i) {
        const auto name = quoted(kSongFields[static_cast<std::size_t>(i)].name);
        names += (i > 1 ? ", " : "") + name;
        marks += (i > 1 ? ", ?" : "?") + std::to_string(i + 1);
    }
    insertRow.prepare(db, "INSERT INTO " + std::string(kTable) + " (" + names + ") VALUES (" + marks + ")");
    newestPaths.prepare(db, "SELECT \"Index\", \"Dateiname\"" + from +
                                " WHERE \"Index\" <= ?1 ORDER BY \"Index\" DESC LIMIT ?2");
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
    newestPaths.finalize();
    for (auto &statement : insertRows)
        statement.finalize();
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
    configureLibrary();
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
    configureLibrary();
    sqlite3 *db = nullptr;
    // The table object serves one thread at a time, so its connection needs no locks of its own.
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
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
    bool hasExactPathIndex = false;
    if (sqlite3_prepare_v2(db, "SELECT type, name FROM sqlite_master", -1, &stmt, nullptr) != SQLITE_OK)
        failOpen("kann nicht gelesen werden");
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        ++objects;
        const auto *tableName = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 1));
        if (tableName && text::equalsNoCase(tableName, kTable))
            hasTable = true;
        if (tableName && std::strcmp(tableName, kExactPathIndex) == 0)
            hasExactPathIndex = true;
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
    } else if (!hasExactPathIndex)
        run("BEGIN IMMEDIATE; " + pathIndexMigrationSql() + "COMMIT;", "kann nicht umgestellt werden");
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
