#include "library/SongTableImpl.h"

#include "util/Cp1252.h"

#include <array>
#include <utility>

namespace mixora {

using namespace songtable;

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
    d->original = *d->current;
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
        d->update(d->buffer, d->original);
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

bool SongTable::Impl::toStoredForm(SongRecord &row) {
    for (int i = 1; i < kSongFieldCount; ++i) {
        const auto &def = kSongFields[static_cast<std::size_t>(i)];
        auto &value = row[static_cast<std::size_t>(i)];
        if (def.type != FieldType::Text || i == kFieldDateiname)
            continue;
        const auto size = static_cast<std::size_t>(def.size);
        if (auto *s = std::get_if<std::string>(&value)) {
            if (s->size() > size) // no more bytes than characters allowed: nothing to cut
                *s = text::utf8Left(*s, size);
        } else {
            value = text::utf8Left(fieldValueText(value), size);
        }
    }
    bool asStored = true;
    for (int i = 1; i < kSongFieldCount && asStored; ++i) {
        auto &value = row[static_cast<std::size_t>(i)];
        switch (kSongFields[static_cast<std::size_t>(i)].type) {
        case FieldType::Text:
            if (std::holds_alternative<std::monostate>(value))
                value = std::string();
            asStored = std::holds_alternative<std::string>(value);
            break;
        case FieldType::Boolean:
            asStored =
                !std::holds_alternative<std::int64_t>(value) && !std::holds_alternative<std::string>(value);
            break;
        default:
            asStored = !std::holds_alternative<bool>(value) && !std::holds_alternative<std::string>(value);
            break;
        }
    }
    return asStored;
}

void SongTable::Impl::appended(SongRecord &&row, std::int64_t key, bool asStored) {
    // The row as stored is the row given, where every value already has its stored form:
    // no read back, which would cost a bulk import as much as the insert.
    if (asStored) {
        row[kFieldIndex] = key;
        setCurrent(std::move(row));
    } else {
        setCurrent(byIndex(key));
    }
    notify(TableChange::Data);
    notify(TableChange::Cursor);
    if (afterPost)
        afterPost();
}

void SongTable::appendRecord(const SongRecord &values) {
    d->requireActive();
    checkBrowseMode();
    if (d->state == TableState::SetKey)
        d->state = TableState::Browse;
    SongRecord row = values;
    const bool asStored = Impl::toStoredForm(row);
    const auto key = d->insert(row);
    d->appended(std::move(row), key, asStored);
}

void SongTable::appendRecords(std::span<const SongRecord> rows, std::vector<bool> &added) {
    added.assign(rows.size(), false);
    if (rows.empty())
        return;
    if (rows.size() > kMaxAppendRows)
        throw DatabaseError("Zu viele Datensätze auf einmal");
    d->requireActive();
    checkBrowseMode();
    if (d->state == TableState::SetKey)
        d->state = TableState::Browse;
    std::array<SongRecord, kMaxAppendRows> stored;
    std::array<bool, kMaxAppendRows> asStored{};
    for (std::size_t r = 0; r < rows.size(); ++r) {
        stored[r] = rows[r];
        asStored[r] = Impl::toStoredForm(stored[r]);
    }
    // OR IGNORE: a known path must not end the statement, and a statement that cannot end
    // half-done needs no journal of its own.
    auto &statement = d->insertRows[rows.size() - 1];
    if (!statement.get())
        statement.prepare(d->db, insertSql(static_cast<int>(rows.size()), true));
    int inserted = 0;
    std::int64_t last = 0;
    {
        Use use(statement.get());
        for (std::size_t r = 0; r < rows.size(); ++r)
            d->bindRow(statement.get(), stored[r], static_cast<int>(r) * (kSongFieldCount - 1));
        if (sqlite3_step(statement.get()) != SQLITE_DONE)
            d->fail("Der Datensatz kann nicht gespeichert werden");
        inserted = sqlite3_changes(d->db);
        last = sqlite3_last_insert_rowid(d->db);
    }
    if (inserted == 0)
        return;
    d->invalidate();
    std::array<std::int64_t, kMaxAppendRows> keys{};
    if (static_cast<std::size_t>(inserted) == rows.size()) {
        // Rows added in one statement take consecutive numbers.
        for (std::size_t r = 0; r < rows.size(); ++r) {
            added[r] = true;
            keys[r] = last - inserted + 1 + static_cast<std::int64_t>(r);
        }
    } else {
        // A row left out still used up its number: the newest rows, which are the ones just
        // added, tell by their exact paths which rows they are.
        auto *newest = d->newestPaths.get();
        Use use(newest);
        sqlite3_bind_int64(newest, 1, last);
        sqlite3_bind_int(newest, 2, inserted);
        std::array<std::pair<std::int64_t, std::string>, kMaxAppendRows> found;
        int count = 0;
        int rc;
        while ((rc = sqlite3_step(newest)) == SQLITE_ROW && count < inserted) {
            const auto *path = reinterpret_cast<const char *>(sqlite3_column_text(newest, 1));
            found[static_cast<std::size_t>(count++)] = {
                sqlite3_column_int64(newest, 0),
                std::string(path ? path : "", static_cast<std::size_t>(sqlite3_column_bytes(newest, 1)))};
        }
        if (rc != SQLITE_DONE && rc != SQLITE_ROW)
            d->fail("Die Datenbank kann nicht gelesen werden");
        std::size_t r = 0;
        for (int i = count; i-- > 0;) { // oldest first, as the rows were given
            const auto &[key, path] = found[static_cast<std::size_t>(i)];
            while (r < rows.size() && fieldValueText(stored[r][kFieldDateiname]) != path)
                ++r;
            if (r == rows.size())
                break;
            added[r] = true;
            keys[r++] = key;
        }
    }
    for (std::size_t r = 0; r < rows.size(); ++r)
        if (added[r])
            d->appended(std::move(stored[r]), keys[r], asStored[r]);
}

bool SongTable::fillEmptyTexts(const SongRecord &values) {
    d->requireActive();
    checkBrowseMode();
    auto *stmt = d->fillTexts.get();
    songtable::Use use(stmt);
    const SongField fields[] = {kFieldInterpret, kFieldTitel, kFieldJahr, kFieldGenre};
    for (int i = 0; i < 4; ++i)
        songtable::bindValue(stmt, i + 1, FieldValue(fieldValueText(values[fields[i]])));
    songtable::bindValue(stmt, 5, values[kFieldDateiname]);
    if (sqlite3_step(stmt) != SQLITE_DONE)
        d->fail("Der Datensatz kann nicht gespeichert werden");
    if (sqlite3_changes(d->db) == 0)
        return false;
    if (d->current)
        d->setCurrent(d->byIndex(std::get<std::int64_t>((*d->current)[kFieldIndex])));
    d->notify(TableChange::Data);
    return true;
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
