#include "library/SongTableImpl.h"

#include "util/Cp1252.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace mixora {

using namespace songtable;

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

std::vector<SongPath> SongTable::allPaths() const {
    std::vector<SongPath> rows;
    if (!active())
        return rows;
    rows.reserve(static_cast<std::size_t>(std::max<std::int64_t>(recordCount(), 0)));
    auto *stmt = d->paths.get();
    Use use(stmt);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 1));
        rows.push_back({sqlite3_column_int64(stmt, 0),
                        text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, 1)))
                             : std::string()});
    }
    if (rc != SQLITE_DONE)
        d->fail("Die Datenbank kann nicht gelesen werden");
    return rows;
}

} // namespace mixora
