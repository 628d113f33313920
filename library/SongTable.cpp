#include "library/SongTableImpl.h"

#include "util/Cp1252.h"

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
    // The row as stored is the row given, where every value already has its stored form:
    // no read back, which would cost a bulk import as much as the insert.
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
    if (asStored) {
        row[kFieldIndex] = key;
        d->setCurrent(std::move(row));
    } else {
        d->setCurrent(d->byIndex(key));
    }
    d->notify(TableChange::Data);
    d->notify(TableChange::Cursor);
    if (d->afterPost)
        d->afterPost();
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
