#include "library/SongTableModel.h"

#include <QColor>
#include <QMetaObject>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace mixora {
namespace {

// Rows kept from the table; a screenful needs a few dozen, scrolling reuses them.
constexpr qsizetype kCacheRows = 4096;

} // namespace

QVector<SongTableModel::Column> SongTableModel::mainGridColumns() {
    return {{"Interpret", "Interpret", 179},
            {"Titel", "Titel", 185},
            {"Genre", "Genre", 55},
            {"Jahr", "Jahr", 32}};
}

QVector<SongTableModel::Column> SongTableModel::editorGridColumns() {
    return {{"Interpret", "Interpret", 161}, {"Titel", "Titel", 167}, {"Beats", "Beats", 39},
            {"Genre", "Genre", 60},          {"Jahr", "Jahr", 51},    {"DateiName", "DateiName", 198}};
}

SongTableModel::SongTableModel(SongTable &table, QVector<Column> columns, QObject *parent)
    : QAbstractTableModel(parent), table_(table), columns_(std::move(columns)) {
    for (const auto &column : columns_) {
        const int field = SongTable::fieldNumber(column.field.toStdString());
        if (field < 0)
            throw DatabaseError("Feld '" + column.field.toStdString() + "' nicht gefunden");
        fields_.push_back(field);
    }
    listenerId_ = table_.addListener([this](TableChange change) { onTableChange(change); });
    reload();
}

SongTableModel::~SongTableModel() {
    table_.removeListener(listenerId_);
}

void SongTableModel::setEditable(bool editable) {
    editable_ = editable;
}

bool SongTableModel::insertRowShown() const {
    return insertShown_;
}

int SongTableModel::rowCount(const QModelIndex &parent) const {
    if (parent.isValid())
        return 0;
    return static_cast<int>(keys_.size()) + (insertShown_ ? 1 : 0);
}

int SongTableModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

int SongTableModel::columnWidth(int column) const {
    return column >= 0 && column < columns_.size() ? columns_[column].width : 0;
}

int SongTableModel::fieldOfColumn(int column) const {
    return column >= 0 && column < static_cast<int>(fields_.size())
               ? fields_[static_cast<std::size_t>(column)]
               : -1;
}

std::optional<SongRecord> SongTableModel::recordAt(int row) const {
    if (row < 0 || row >= rowCount())
        return std::nullopt;
    const auto state = table_.state();
    // The row being edited or inserted shows the edited values, not the saved ones.
    if (state == TableState::Insert && row == static_cast<int>(keys_.size()))
        return table_.currentRecord();
    const auto key = keys_[static_cast<std::size_t>(row)];
    if (state == TableState::Edit && table_.currentKey() == key)
        return table_.currentRecord();
    if (auto it = cache_.constFind(key); it != cache_.constEnd())
        return *it;
    auto record = table_.readRecord(key);
    if (!record)
        return std::nullopt; // deleted since the order was read; the next sync drops it
    if (cache_.size() >= kCacheRows) {
        cache_.clear();
        missing_.clear();
    }
    cache_.insert(key, *record);
    return record;
}

bool SongTableModel::fileMissing(int row) const {
    if (row < 0 || row >= static_cast<int>(keys_.size()))
        return false; // the row being inserted names no file yet
    const auto key = keys_[static_cast<std::size_t>(row)];
    if (auto it = missing_.constFind(key); it != missing_.constEnd())
        return *it;
    const auto record = recordAt(row);
    if (!record)
        return false;
    const auto *path = std::get_if<std::string>(&(*record)[kFieldDateiname]);
    // Only a file proven absent is missing: one we may not look at is probably there.
    std::error_code ec;
    const bool missing = path && std::filesystem::status(std::filesystem::path(*path), ec).type() ==
                                     std::filesystem::file_type::not_found;
    missing_.insert(key, missing);
    return missing;
}

QVariant SongTableModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid())
        return {};
    if (role == kFileMissingRole)
        return fileMissing(index.row());
    if (role == Qt::ForegroundRole)
        return fileMissing(index.row()) ? QVariant(QColor(Qt::gray)) : QVariant();
    if (role != Qt::DisplayRole && role != Qt::EditRole && role != Qt::TextAlignmentRole)
        return {};
    const int field = fieldOfColumn(index.column());
    if (field < 0)
        return {};
    const auto type = kSongFields[static_cast<std::size_t>(field)].type;
    if (role == Qt::TextAlignmentRole) {
        const bool number =
            type == FieldType::SmallInt || type == FieldType::Integer || type == FieldType::AutoInc;
        return QVariant::fromValue(Qt::AlignVCenter | (number ? Qt::AlignRight : Qt::AlignLeft));
    }
    const auto record = recordAt(index.row());
    if (!record)
        return QString();
    return QString::fromStdString(fieldValueText((*record)[static_cast<std::size_t>(field)]));
}

QVariant SongTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal)
        return section >= 0 && section < columns_.size() ? columns_[section].title : QVariant();
    // The row indicator: the current row, and whether it is being edited or inserted.
    if (section != currentRow())
        return QString();
    switch (table_.state()) {
    case TableState::Edit:
        return QStringLiteral("I");
    case TableState::Insert:
        return QStringLiteral("*");
    default:
        return QStringLiteral("\u25B6");
    }
}

Qt::ItemFlags SongTableModel::flags(const QModelIndex &index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    const int field = fieldOfColumn(index.column());
    if (editable_ && field > kFieldIndex)
        f |= Qt::ItemIsEditable;
    return f;
}

bool SongTableModel::setData(const QModelIndex &index, const QVariant &value, int role) {
    if (!index.isValid() || role != Qt::EditRole || !editable_)
        return false;
    const int field = fieldOfColumn(index.column());
    if (field <= kFieldIndex)
        return false;
    if (index.row() != currentRow() && !setCurrentRow(index.row()))
        return false;
    const std::string text = value.toString().toStdString();
    const auto old = fieldValueText(table_.currentRecord()[static_cast<std::size_t>(field)]);
    if (table_.state() == TableState::Browse && old == text)
        return true; // nothing changed: no edit to end later
    table_.edit();
    table_.setFieldString(kSongFields[static_cast<std::size_t>(field)].name, text);
    const int row = currentRow();
    emit dataChanged(this->index(row, 0), this->index(row, columnCount() - 1));
    return true;
}

int SongTableModel::currentRow() const {
    if (table_.state() == TableState::Insert && insertShown_)
        return static_cast<int>(keys_.size());
    const auto key = table_.currentKey();
    return key ? rowOfKey(*key) : -1;
}

bool SongTableModel::setCurrentRow(int row) {
    if (row < 0 || row >= static_cast<int>(keys_.size()))
        return row >= 0 && row == currentRow(); // the row being inserted is current already
    return table_.gotoKey(keys_[static_cast<std::size_t>(row)]);
}

std::optional<std::int64_t> SongTableModel::keyAt(int row) const {
    if (row < 0 || row >= static_cast<int>(keys_.size()))
        return std::nullopt;
    return keys_[static_cast<std::size_t>(row)];
}

int SongTableModel::rowOfKey(std::int64_t key) const {
    const auto it = std::find(keys_.begin(), keys_.end(), key);
    return it == keys_.end() ? -1 : static_cast<int>(it - keys_.begin());
}

void SongTableModel::reload() {
    beginResetModel();
    keys_ = table_.keysInOrder();
    cache_.clear();
    missing_.clear();
    insertShown_ = table_.state() == TableState::Insert;
    dirty_ = false;
    endResetModel();
}

void SongTableModel::sync() {
    syncQueued_ = false;
    if (table_.inTransaction())
        return; // a bulk import is running; its commit tells us again
    if (dirty_)
        reload();
    announceCurrentRow();
}

void SongTableModel::announceCurrentRow() {
    const int row = currentRow();
    if (lastCurrentRow_ >= 0 && lastCurrentRow_ != row && lastCurrentRow_ < rowCount())
        emit headerDataChanged(Qt::Vertical, lastCurrentRow_, lastCurrentRow_);
    if (row >= 0)
        emit headerDataChanged(Qt::Vertical, row, row);
    lastCurrentRow_ = row;
    emit currentRowChanged(row);
}

void SongTableModel::scheduleSync() {
    if (syncQueued_)
        return;
    syncQueued_ = true;
    QMetaObject::invokeMethod(this, &SongTableModel::sync, Qt::QueuedConnection);
}

void SongTableModel::onTableChange(TableChange change) {
    switch (change) {
    case TableChange::Data:
        // Rows come and go by the hundred during an import or a check: read the order once,
        // when control is back in the event loop.
        cache_.clear();
        missing_.clear();
        dirty_ = true;
        scheduleSync();
        break;
    case TableChange::Order:
    case TableChange::Active:
        if (table_.inTransaction()) {
            dirty_ = true;
            scheduleSync();
        } else {
            reload();
            announceCurrentRow();
        }
        break;
    case TableChange::Cursor:
        if (dirty_)
            scheduleSync();
        else
            announceCurrentRow();
        break;
    case TableChange::State: {
        const bool inserting = table_.state() == TableState::Insert;
        if (inserting != insertShown_) {
            const int row = static_cast<int>(keys_.size());
            if (inserting) {
                beginInsertRows({}, row, row);
                insertShown_ = true;
                endInsertRows();
            } else {
                beginRemoveRows({}, row, row);
                insertShown_ = false;
                endRemoveRows();
            }
            announceCurrentRow();
        }
        const int row = currentRow();
        if (row >= 0) {
            emit dataChanged(index(row, 0), index(row, columnCount() - 1));
            emit headerDataChanged(Qt::Vertical, row, row);
        }
        break;
    }
    }
}

} // namespace mixora
