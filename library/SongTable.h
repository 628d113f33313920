// The song table: one SQLite file (Data/data.db) with the eleven song fields and the six
// indexes, used through one cursor as the rest of the program expects: an active index,
// a current row, key search to the nearest row, walking, editing and posting.
//
// The cursor never loads the table: it remembers the current row's key and "Index" and
// moves with keyset queries on the active index, so 100,000 rows cost nothing to open and
// a key search is one index lookup. Case-insensitive indexes use the collation
// MIXORA_NOCASE (registered on every connection we open; the sqlite3 shell without it
// cannot sort or check those indexes).
//
// Errors of the table raise DatabaseError (KeyViolation for a duplicate "Dateiname");
// their messages are German, for the user.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace mixora {

enum class FieldType { AutoInc, Text, SmallInt, Integer, Boolean };

struct FieldDef {
    std::string_view name; // as created
    FieldType type;
    int size; // characters of a text field, 0 for the others
};

// Field numbers, in the table's order.
enum SongField : int {
    kFieldIndex = 0,
    kFieldInterpret,
    kFieldTitel,
    kFieldBeats,
    kFieldGenre,
    kFieldJahr,
    kFieldDateiname,
    kFieldEqualizer,
    kFieldStartzeit,
    kFieldEndZeit,
    kFieldAnalyse,
    kSongFieldCount
};

inline constexpr std::array<FieldDef, kSongFieldCount> kSongFields{{
    {"Index", FieldType::AutoInc, 0},
    // ID3v2 titles and artists run long, and a cut one is not found by searching for its end.
    {"Interpret", FieldType::Text, 255},
    {"Titel", FieldType::Text, 255},
    {"Beats", FieldType::SmallInt, 0},
    {"Genre", FieldType::Text, 30},
    {"Jahr", FieldType::Text, 4},
    // The path is kept whole: a cut path names no file and would lose its row at every check.
    {"Dateiname", FieldType::Text, 255},
    {"Equalizer", FieldType::Integer, 0},
    {"Startzeit", FieldType::Integer, 0},
    {"EndZeit", FieldType::Integer, 0},
    {"Analyse", FieldType::Boolean, 0},
}};

struct IndexDef {
    std::string_view name; // as created; the primary index has none
    int field;
    bool primary;
    bool unique;
    bool caseInsensitive;
};

inline constexpr int kSongIndexCount = 6;
inline constexpr std::array<IndexDef, kSongIndexCount> kSongIndexes{{
    {"", kFieldIndex, true, true, false},
    // Sorts and finds paths in any letter case; the path itself is unique byte for byte (an
    // index of its own), as the file system keeps "Song.mp3" and "song.mp3" apart.
    {"iDateiname", kFieldDateiname, false, false, true},
    {"iGenre", kFieldGenre, false, false, true},
    {"iInterpret", kFieldInterpret, false, false, true},
    {"iJahr", kFieldJahr, false, false, true},
    {"iTitel", kFieldTitel, false, false, true},
}};

// The value of one field: empty, an integer, a text (UTF-8) or a truth value.
using FieldValue = std::variant<std::monostate, std::int64_t, std::string, bool>;
using SongRecord = std::array<FieldValue, kSongFieldCount>;

// A value as the table shows it: empty text for an empty field, decimal for integers,
// "True"/"False" for truth values.
std::string fieldValueText(const FieldValue &value);

class DatabaseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A row refused because its "Dateiname" is already in the table (the very same bytes).
class KeyViolation : public DatabaseError {
public:
    using DatabaseError::DatabaseError;
};

// One row's "Index" and "Dateiname".
struct SongPath {
    std::int64_t index;
    std::string path;
};

enum class TableState { Inactive, Browse, Edit, Insert, SetKey };

// What changed, for views that follow the table.
enum class TableChange {
    Cursor, // another row became current
    Data,   // rows were added, changed or deleted
    Order,  // another index became active
    State,  // editing began or ended, or an edited value changed
    Active, // the table was opened or closed
};

class SongTable {
public:
    SongTable();
    ~SongTable();
    SongTable(const SongTable &) = delete;
    SongTable &operator=(const SongTable &) = delete;

    // --- where the table lives: databaseName (a folder) / tableName ("data.db")
    void setDatabaseName(const std::filesystem::path &folder);
    void setTableName(const std::string &name);
    std::filesystem::path filePath() const;
    bool exists() const;
    // How long to wait for a lock another program holds before giving up (default 2 s).
    void setBusyTimeout(int milliseconds);

    // Creates the file with the fields and indexes; throws DatabaseError when the file
    // already exists or cannot be created. Leaves the table closed.
    void createTable();
    // Opens the table; the active index's first row becomes current. Throws DatabaseError
    // when the file is missing, is not a database, is locked or holds no song table; the
    // file is then left as it was. An empty file (0 bytes) gets the song table.
    void open();
    // Ends a pending edit (see checkBrowseMode) and closes.
    void close();
    bool active() const;

    // --- indexes (names matched without regard to case; the primary index is "")
    void setIndexName(std::string_view name);
    void setIndexFieldNames(std::string_view fieldName);
    std::string indexName() const; // as created
    int activeIndex() const;       // position in kSongIndexes
    int keyField() const;          // field of the active index

    // --- key search: setKey, setKeyField on the active index's field, gotoNearest.
    // The cursor goes to the first row at or after the key in the active order, compared
    // as the index compares; to the last row when none is; to no row on an empty table.
    // An empty key text goes to the first row.
    void setKey();
    // Throws DatabaseError "Feld '…' ist nicht indiziert und kann nicht verändert werden"
    // when the field is not the active index's field.
    void setKeyField(std::string_view fieldName, std::string_view text);
    void gotoNearest();
    // All three in one, on the active index's field.
    void findNearest(std::string_view text);

    // --- walking in the active order
    void first();
    void last();
    void next();  // at the last row: stays there, eof() becomes true
    void prior(); // at the first row: stays there, bof() becomes true
    bool eof() const;
    bool bof() const;
    // Makes the row with this "Index" current; false (cursor unchanged) when there is none.
    bool gotoKey(std::int64_t index);
    // "Index" of the current row; nothing when there is none (empty table, inserting).
    std::optional<std::int64_t> currentKey() const;
    bool isEmpty() const;
    std::int64_t recordCount() const;
    // Re-reads the current row (another program may have changed it).
    void refresh();

    // --- fields of the current row, or of the row being edited
    // Field number by name without regard to case, -1 when unknown.
    static int fieldNumber(std::string_view name);
    // Throw DatabaseError "Feld '…' nicht gefunden" for an unknown name.
    FieldValue fieldValue(std::string_view name) const;
    std::string fieldAsString(std::string_view name) const;   // empty field: ""
    std::int64_t fieldAsInteger(std::string_view name) const; // empty field: 0
    bool fieldIsNull(std::string_view name) const;
    SongRecord currentRecord() const; // all empty when there is no current row

    // Setting fields needs edit or insert state. Texts longer than their field are cut to
    // its size ("Dateiname" is kept whole); "Index" cannot be set.
    void setFieldValue(std::string_view name, const FieldValue &value);
    void setFieldString(std::string_view name, std::string_view text);
    void setFieldInteger(std::string_view name, std::int64_t value);
    void setFieldNull(std::string_view name);

    // --- editing
    TableState state() const;
    bool modified() const;
    void edit();   // the current row; on an empty table, insert()
    void insert(); // a new, empty row
    void post();   // saves; throws KeyViolation (state stays) on a duplicate "Dateiname"
    void cancel();
    // Deletes the current row; the next row becomes current (the new last row when it was
    // the last). Inserting: the same as cancel.
    void deleteRecord();
    // Adds a row with all eleven values at once (the value of "Index" is ignored: the
    // table numbers rows itself) and makes it current. Throws KeyViolation and leaves the
    // table as it was.
    void appendRecord(const SongRecord &values);
    // Appends up to kMaxAppendRows rows as appendRecord would one by one, but in a single
    // statement: a bulk import costs a third less. A row whose "Dateiname" the table already
    // holds byte for byte (also through an earlier row of the call) is left out without
    // an error; added[i] tells whether rows[i] was added. The after-post callback and the
    // listeners run for each row added, in order, with it current. On DatabaseError no row of
    // the call is added; after a full disk or an I/O error the engine may have rolled back the
    // whole open transaction.
    static constexpr std::size_t kMaxAppendRows = 32;
    void appendRecords(std::span<const SongRecord> rows, std::vector<bool> &added);
    // Gives the row whose "Dateiname" is exactly the record's (the same file, not one whose
    // name differs in letter case) the record's artist, title, year and genre, when that row
    // has neither artist nor title; a text the record leaves empty keeps the row's value, and
    // no other field changes. True when a row was filled.
    bool fillEmptyTexts(const SongRecord &values);
    // Ends a pending edit: a changed row is posted, an unchanged one abandoned.
    void checkBrowseMode();

    // Runs after every successful post and append, with the posted row current.
    void setAfterPost(std::function<void()> callback);

    // --- transactions, so a bulk import commits every few hundred rows
    void startTransaction();
    void commit();
    void rollback();
    bool inTransaction() const;

    // --- for the grids
    // The "Index" of every row in the active order.
    std::vector<std::int64_t> keysInOrder() const;
    // One row by its "Index"; nothing when there is none.
    std::optional<SongRecord> readRecord(std::int64_t index) const;
    // Every row's "Index" and "Dateiname" in "Index" order, read in one pass: the database
    // check tests each path, and a lookup per row would cost more than the test.
    std::vector<SongPath> allPaths() const;
    // The listener runs after every change; returns an id for removeListener.
    int addListener(std::function<void(TableChange)> listener);
    void removeListener(int id);

    // The connection, for tools and tests that inspect the file.
    sqlite3 *handle() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Registers the collation MIXORA_NOCASE on a connection (every connection to data.db needs it).
void registerNoCaseCollation(sqlite3 *db);

} // namespace mixora
