// One Qt model over the song table for both library grids. It keeps the active order as a
// vector of "Index" values and reads rows only when a view asks for them, so 100,000 songs
// cost a few hundred kilobytes and no start-up time. The current row is the table's
// cursor: selecting a row moves the cursor, and cursor moves (key search, playlist) come
// back as currentRowChanged so the views select and centre the row.
#pragma once

#include "library/SongTable.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QString>
#include <QVector>

#include <cstdint>
#include <optional>
#include <vector>

namespace mixora {

class SongTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    struct Column {
        QString field;  // field name, matched without regard to case ("DateiName")
        QString title;  // column title
        int width = 64; // pixels
    };
    // The main window's grid: Interpret, Titel, Genre, Jahr.
    static QVector<Column> mainGridColumns();
    // The editor's grid: Interpret, Titel, Beats, Genre, Jahr, DateiName.
    static QVector<Column> editorGridColumns();

    // True for a row whose file is not there (a drive that is away, a file deleted since the
    // last check); such rows are drawn dimmed.
    static constexpr int kFileMissingRole = Qt::UserRole + 1;

    SongTableModel(SongTable &table, QVector<Column> columns, QObject *parent = nullptr);
    ~SongTableModel() override;

    // Editable cells start an edit of the current row and set its field (editor grid).
    void setEditable(bool editable);
    bool editable() const { return editable_; }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

    const QVector<Column> &columns() const { return columns_; }
    int columnWidth(int column) const;
    int fieldOfColumn(int column) const;

    // Row of the table's current row in the view, -1 when there is none.
    int currentRow() const;
    // Moves the table's cursor to a view row (a pending edit is ended first, which may
    // throw KeyViolation). False when the row does not exist.
    bool setCurrentRow(int row);
    std::optional<std::int64_t> keyAt(int row) const;
    int rowOfKey(std::int64_t key) const;

    // Reloads the order now. Changes of rows are otherwise picked up once control returns
    // to the event loop, so a bulk import or check does not reload per row.
    void sync();

signals:
    // The table's cursor is now on this view row (-1: none).
    void currentRowChanged(int row);

private:
    void onTableChange(TableChange change);
    void scheduleSync();
    void reload();
    std::optional<SongRecord> recordAt(int row) const;
    bool fileMissing(int row) const;
    void announceCurrentRow();
    bool insertRowShown() const;

    SongTable &table_;
    QVector<Column> columns_;
    std::vector<int> fields_;
    bool editable_ = false;
    int listenerId_ = -1;
    std::vector<std::int64_t> keys_;
    mutable QHash<std::int64_t, SongRecord> cache_;
    mutable QHash<std::int64_t, bool> missing_; // looked up with the rows, dropped with them
    bool dirty_ = false;
    bool syncQueued_ = false;
    bool insertShown_ = false;
    int lastCurrentRow_ = -1;
};

} // namespace mixora
