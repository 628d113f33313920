#include "library/SongTableImpl.h"

#include "util/Cp1252.h"

#include <charconv>
#include <cstdint>
#include <system_error>

namespace mixora {
namespace songtable {

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

void bindValue(sqlite3_stmt *stmt, int position, const FieldValue &value, bool copy) {
    if (std::holds_alternative<std::int64_t>(value))
        sqlite3_bind_int64(stmt, position, std::get<std::int64_t>(value));
    else if (std::holds_alternative<std::string>(value)) {
        const auto &s = std::get<std::string>(value);
        sqlite3_bind_text(stmt, position, s.data(), static_cast<int>(s.size()),
                          copy ? SQLITE_TRANSIENT : SQLITE_STATIC);
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

FieldValue storedValue(int field, const FieldValue &value) {
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
    return stored;
}

} // namespace songtable

using namespace songtable;

std::string fieldValueText(const FieldValue &value) {
    if (std::holds_alternative<std::string>(value))
        return std::get<std::string>(value);
    if (std::holds_alternative<std::int64_t>(value))
        return std::to_string(std::get<std::int64_t>(value));
    if (std::holds_alternative<bool>(value))
        return std::get<bool>(value) ? "True" : "False";
    return {};
}

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
    d->buffer[static_cast<std::size_t>(field)] = storedValue(field, value);
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

} // namespace mixora
