#include "library/SongTableModel.h"
#include "library/Datamod.h"
#include "tests/support/Fixtures.h"

#include <QApplication>
#include <QColor>
#include <QSignalSpy>
#include <QTableView>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace mixora;
namespace t = mixora::test;

namespace {

SongRecord song(const std::string &artist, const std::string &title, const std::string &path,
                const std::string &genre = "") {
    SongRecord r;
    r[kFieldInterpret] = artist;
    r[kFieldTitel] = title;
    r[kFieldGenre] = genre;
    r[kFieldDateiname] = path;
    r[kFieldStartzeit] = std::int64_t{0};
    return r;
}

class SongTableModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        module.openOrCreate(dir.path());
        table().appendRecord(song("Zappa", "Peaches", "/m/1.mp3", "Rock"));
        table().appendRecord(song("abba", "Waterloo", "/m/2.mp3", "Pop"));
        table().appendRecord(song("Beatles", "Help", "/m/3.mp3", "Pop"));
        table().first();
    }
    SongTable &table() { return module.Table1; }
    QString cell(const SongTableModel &m, int row, int column) {
        return m.data(m.index(row, column)).toString();
    }

    t::TempDir dir;
    TDataModule1 module;
};

} // namespace

TEST_F(SongTableModelTest, ShowsTheRowsInTheActiveOrderWithTheChosenColumns) {
    SongTableModel main(table(), SongTableModel::mainGridColumns());
    SongTableModel editor(table(), SongTableModel::editorGridColumns());
    EXPECT_EQ(main.rowCount(), 3);
    EXPECT_EQ(main.columnCount(), 4);
    EXPECT_EQ(editor.columnCount(), 6);
    EXPECT_EQ(main.headerData(1, Qt::Horizontal).toString(), "Titel");
    EXPECT_EQ(editor.headerData(5, Qt::Horizontal).toString(), "DateiName");
    EXPECT_EQ(main.columnWidth(0), 179);
    EXPECT_EQ(editor.columnWidth(5), 198);
    EXPECT_EQ(cell(main, 0, 0), "abba");
    EXPECT_EQ(cell(main, 1, 0), "Beatles");
    EXPECT_EQ(cell(main, 2, 1), "Peaches");
    EXPECT_EQ(cell(editor, 2, 5), "/m/1.mp3");
    EXPECT_EQ(cell(editor, 2, 2), ""); // an empty "Beats"
    EXPECT_FALSE(main.flags(main.index(0, 0)).testFlag(Qt::ItemIsEditable));

    table().setIndexName("iTitel"); // the grid re-sorts at once
    EXPECT_EQ(cell(main, 0, 1), "Help");
    EXPECT_EQ(cell(main, 2, 1), "Waterloo");
    EXPECT_THROW(SongTableModel(table(), {{"Album", "Album", 10}}), DatabaseError);
}

TEST_F(SongTableModelTest, RowsWhoseFileIsNotThereAreDimmedAndFollowTheFile) {
    const auto there = dir.path() / "there.mp3";
    t::writeFile(there, std::vector<std::uint8_t>(10, 0));
    table().appendRecord(song("Aaa", "Here", there.string()));
    SongTableModel main(table(), SongTableModel::mainGridColumns());
    ASSERT_EQ(cell(main, 0, 0), "Aaa");
    EXPECT_FALSE(main.data(main.index(0, 0), SongTableModel::kFileMissingRole).toBool());
    EXPECT_FALSE(main.data(main.index(0, 0), Qt::ForegroundRole).isValid()); // the view's own colour
    EXPECT_TRUE(main.data(main.index(1, 2), SongTableModel::kFileMissingRole).toBool()); // "/m/2.mp3"
    EXPECT_EQ(main.data(main.index(1, 2), Qt::ForegroundRole).value<QColor>(), QColor(Qt::gray));
    // What is shown follows the file once the table changes (a scan, a refresh).
    std::filesystem::remove(there);
    table().refresh();
    QCoreApplication::processEvents();
    EXPECT_TRUE(main.data(main.index(0, 0), SongTableModel::kFileMissingRole).toBool());
}

TEST_F(SongTableModelTest, CurrentRowFollowsTheCursorBothWays) {
    SongTableModel model(table(), SongTableModel::mainGridColumns());
    QSignalSpy moved(&model, &SongTableModel::currentRowChanged);
    EXPECT_EQ(model.currentRow(), 0);
    table().findNearest("z");
    ASSERT_EQ(moved.count(), 1);
    EXPECT_EQ(moved.last().at(0).toInt(), 2);
    EXPECT_EQ(model.currentRow(), 2);
    EXPECT_EQ(model.headerData(2, Qt::Vertical).toString(), QString::fromUtf8("\u25B6"));
    EXPECT_EQ(model.headerData(0, Qt::Vertical).toString(), "");

    ASSERT_TRUE(model.setCurrentRow(1));
    EXPECT_EQ(table().fieldAsString("Interpret"), "Beatles");
    EXPECT_FALSE(model.setCurrentRow(7));
    EXPECT_EQ(table().fieldAsString("Interpret"), "Beatles");

    table().setIndexName("iTitel"); // same song, another row
    EXPECT_EQ(model.currentRow(), 0);
    EXPECT_EQ(moved.last().at(0).toInt(), 0);
}

TEST_F(SongTableModelTest, AddedAndDeletedRowsAppearOnceTheEventLoopRuns) {
    SongTableModel model(table(), SongTableModel::mainGridColumns());
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    table().startTransaction();
    for (int i = 0; i < 300; ++i)
        table().appendRecord(song("Band " + std::to_string(i), "t", "/m/x" + std::to_string(i) + ".mp3"));
    QCoreApplication::processEvents(); // mid-batch: no reload per row
    EXPECT_EQ(resets.count(), 0);
    table().commit();
    QCoreApplication::processEvents();
    EXPECT_EQ(resets.count(), 1);
    EXPECT_EQ(model.rowCount(), 303);
    EXPECT_EQ(cell(model, model.currentRow(), 0), "Band 299");

    table().findNearest("zappa");
    table().deleteRecord();
    model.sync();
    EXPECT_EQ(model.rowCount(), 302);
    EXPECT_EQ(model.currentRow(), -1 + model.rowCount()); // the new last row
}

TEST_F(SongTableModelTest, EditorGridEditsThroughTheTableAndShowsInsertedRows) {
    SongTableModel model(table(), SongTableModel::editorGridColumns());
    model.setEditable(true);
    int posts = 0;
    table().setAfterPost([&] { ++posts; });
    ASSERT_TRUE(model.flags(model.index(0, 1)).testFlag(Qt::ItemIsEditable));

    ASSERT_TRUE(model.setData(model.index(1, 1), "Yesterday")); // moves to the row, edits it
    EXPECT_EQ(table().state(), TableState::Edit);
    EXPECT_EQ(cell(model, 1, 1), "Yesterday");
    EXPECT_EQ(model.headerData(1, Qt::Vertical).toString(), "I");
    ASSERT_TRUE(model.setCurrentRow(0)); // leaving the row posts it
    EXPECT_EQ(posts, 1);
    model.sync();
    EXPECT_EQ(cell(model, 1, 1), "Yesterday");

    table().insert();
    EXPECT_EQ(model.rowCount(), 4);
    EXPECT_EQ(model.currentRow(), 3);
    ASSERT_TRUE(model.setData(model.index(3, 0), "New Band"));
    EXPECT_EQ(cell(model, 3, 0), "New Band");
    table().cancel();
    EXPECT_EQ(model.rowCount(), 3);
    EXPECT_EQ(posts, 1);

    QTableView view; // a real view over the model
    view.setModel(&model);
    view.resize(600, 300);
    view.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(model.rowCount(), 3);
}

int main(int argc, char **argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
