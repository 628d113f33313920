// The database and tag editor window: posts write tags, cancel and delete leave files alone.
#include "library/SongTableModel.h"
#include "library/Suche.h"
#include "scan/Scanner.h"
#include "tests/scan/ScanTestSupport.h"
#include "ui_Suche.h"
#include "util/UiSeam.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace mixora;
using mixora::test::readFile;
using mixora::test::tagOf;
using mixora::test::writeSong;

namespace {

// A library of three tagged songs and the editor shown over it; message boxes are answered
// by the test.
struct Editor {
    test::Library lib;
    std::vector<ui::MessageRequest> messages;
    ui::Answer answer = ui::Answer::Ok;
    ui::MessageHandler previous;
    std::unique_ptr<TFormDatenBearbeiten> form;

    Editor() {
        writeSong(lib.music("a.mp3"), tagOf("Alpha", "Artist A", "1990", "Pop"));
        writeSong(lib.music("b.mp3"), tagOf("Beta", "Artist B", "1991", "Rock"));
        writeSong(lib.music("c.mp3"), {}); // no tag yet
        scan::SilentProgress progress;
        scan::Scanner(lib.table(), progress).scanRoot(lib.root());
        previous = ui::setMessageHandler([this](const ui::MessageRequest &r) {
            messages.push_back(r);
            return answer;
        });
        form = std::make_unique<TFormDatenBearbeiten>(lib.data);
        form->show();
    }
    ~Editor() {
        form.reset();
        ui::setMessageHandler(previous);
    }
    // Puts the cursor on a song and changes one of its cells through the grid's model.
    void change(const std::string &name, const QString &column, const QString &value) {
        lib.table().setIndexName("iDateiname");
        lib.table().findNearest(lib.music(name).string());
        auto &model = form->model();
        model.sync();
        const int row = model.currentRow();
        ASSERT_GE(row, 0);
        int col = -1;
        for (int c = 0; c < model.columnCount(); ++c)
            if (model.headerData(c, Qt::Horizontal).toString() == column)
                col = c;
        ASSERT_GE(col, 0) << column.toStdString();
        ASSERT_TRUE(model.setData(model.index(row, col), value));
    }
    void press(const char *button) {
        QTest::mouseClick(form->findChild<QToolButton *>(button), Qt::LeftButton);
    }
    std::string field(const std::string &name, const char *f) {
        lib.table().setIndexName("iDateiname");
        lib.table().findNearest(lib.music(name).string());
        return lib.table().fieldAsString(f);
    }
    // Waits for the background tag writes and takes their results as the window would.
    void settle() {
        lib.data.finishTagWrites();
        QCoreApplication::processEvents();
    }
    std::vector<std::uint8_t> last128(const std::string &name) {
        settle();
        auto bytes = readFile(lib.music(name));
        return {bytes.end() - 128, bytes.end()};
    }
};

} // namespace

TEST(EditorWindow, LayoutColumnsAndNavigatorHints) {
    Editor e;
    EXPECT_EQ(e.form->windowTitle(), "Bearbeite Datenbank und ID3 Tags");
    EXPECT_EQ(e.form->size(), QSize(691, 367));
    EXPECT_EQ(e.form->ui()->DBGrid1->geometry(), QRect(0, 64, 689, 233));
    EXPECT_EQ(e.form->ui()->DBNavigator1->geometry(), QRect(96, 304, 450, 25));
    ASSERT_EQ(e.form->navigatorButtons().size(), 10);
    EXPECT_EQ(e.form->navigatorButtons()[2]->toolTip(), "Nächster Datensatz");
    EXPECT_EQ(e.form->navigatorButtons()[7]->toolTip(), "Übernehmen");
    EXPECT_EQ(e.form->ui()->Label3->text(), "3 Titel vorhanden");
}

TEST(EditorWindow, PostWritesTheTagAndCancelLeavesRowAndFileAlone) {
    Editor e;
    const auto sizeBefore = fs::file_size(e.lib.music("a.mp3"));
    e.change("a.mp3", "Titel", "New Title");
    e.press("nbPost");
    EXPECT_EQ(e.field("a.mp3", "Titel"), "New Title");
    e.settle();
    EXPECT_EQ(fs::file_size(e.lib.music("a.mp3")), sizeBefore);
    EXPECT_EQ(e.last128("a.mp3"), tagOf("New Title", "Artist A", "1990", "Pop"));

    // A file without a tag gets one appended.
    const auto plainSize = fs::file_size(e.lib.music("c.mp3"));
    e.change("c.mp3", "Interpret", "Someone");
    e.press("nbPost");
    e.settle();
    EXPECT_EQ(fs::file_size(e.lib.music("c.mp3")), plainSize + 128);
    EXPECT_EQ(e.last128("c.mp3"), tagOf("", "Someone", "", ""));

    const auto before = readFile(e.lib.music("b.mp3"));
    e.change("b.mp3", "Titel", "Changed");
    e.press("nbCancel");
    EXPECT_EQ(e.field("b.mp3", "Titel"), "Beta");
    e.settle();
    EXPECT_EQ(readFile(e.lib.music("b.mp3")), before);
    EXPECT_TRUE(e.messages.empty());
}

TEST(EditorWindow, DeleteAsksFirstAndKeepsTheFile) {
    Editor e;
    e.lib.table().setIndexName("iDateiname");
    e.lib.table().findNearest(e.lib.music("b.mp3").string());
    e.answer = ui::Answer::Cancel;
    e.press("nbDelete");
    ASSERT_EQ(e.messages.size(), 1u);
    EXPECT_EQ(e.messages[0].text, "Datensatz löschen?");
    EXPECT_EQ(e.lib.table().recordCount(), 3);

    e.answer = ui::Answer::Ok;
    e.lib.table().findNearest(e.lib.music("b.mp3").string());
    QTest::keyClick(e.form->ui()->DBGrid1, Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(e.messages.size(), 2u);
    EXPECT_EQ(e.lib.table().recordCount(), 2);
    EXPECT_TRUE(fs::exists(e.lib.music("b.mp3")));
    // The count shown stays that of the moment the window was shown.
    EXPECT_EQ(e.form->ui()->Label3->text(), "3 Titel vorhanden");
}

TEST(EditorWindow, APendingChangeIsPostedWhenTheWindowCloses) {
    Editor e;
    e.change("b.mp3", "Jahr", "2024");
    QTest::mouseClick(e.form->ui()->Button1, Qt::LeftButton);
    EXPECT_FALSE(e.form->isVisible());
    EXPECT_EQ(e.form->result(), QDialog::Accepted);
    EXPECT_EQ(e.field("b.mp3", "Jahr"), "2024");
    EXPECT_EQ(e.last128("b.mp3"), tagOf("Beta", "Artist B", "2024", "Rock"));

    // Once hidden, posts no longer touch the files.
    const auto before = readFile(e.lib.music("a.mp3"));
    e.lib.table().findNearest(e.lib.music("a.mp3").string());
    e.lib.table().edit();
    e.lib.table().setFieldString("Titel", "Quiet");
    e.lib.table().post();
    e.settle();
    EXPECT_EQ(readFile(e.lib.music("a.mp3")), before);
}

TEST(EditorWindow, InsertedRowsLeaveTheCountAndAFailedTagWriteIsReported) {
    Editor e;
    e.press("nbInsert");
    e.lib.table().setFieldString("Titel", "Fresh");
    e.lib.table().setFieldString("DateiName", e.lib.music("folder.mp3").string());
    fs::create_directories(e.lib.music("folder.mp3")); // a folder cannot take a tag
    e.press("nbPost");
    e.settle();
    EXPECT_EQ(e.lib.table().recordCount(), 4);
    EXPECT_EQ(e.form->ui()->Label3->text(), "3 Titel vorhanden");
    ASSERT_EQ(e.messages.size(), 1u);
    EXPECT_EQ(e.messages[0].caption, "Fehler");
    EXPECT_FALSE(e.messages[0].text.isEmpty());
}

TEST(EditorWindow, SearchBoxesSelectTheirIndexAndFindInAnyCase) {
    Editor e;
    e.form->ui()->Edit2->setFocus();
    QApplication::processEvents();
    e.form->Edit2Enter(); // the offscreen platform may not move the focus
    EXPECT_EQ(e.lib.table().indexName(), "iTitel");
    QTest::keyClicks(e.form->ui()->Edit2, "be");
    EXPECT_EQ(e.lib.table().fieldAsString("Titel"), "Beta");
    e.form->Edit1Enter();
    e.form->ui()->Edit1->setText("artist a");
    EXPECT_EQ(e.lib.table().indexName(), "iInterpret");
    EXPECT_EQ(e.lib.table().fieldAsString("Interpret"), "Artist A");
}

TEST(EditorWindow, TypingInACellAndClickingAnotherRowPostsTheEditedRow) {
    Editor e;
    QTableView *grid = e.form->ui()->DBGrid1;
    e.lib.table().setIndexName("iDateiname");
    e.lib.table().first();
    e.form->model().sync();
    QApplication::processEvents();
    ASSERT_EQ(e.lib.table().fieldAsString("Titel"), "Alpha");
    const QModelIndex alphaTitle = e.form->model().index(e.form->model().currentRow(), 1);
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(alphaTitle).center());
    QApplication::processEvents();
    auto *editor = qobject_cast<QLineEdit *>(grid->indexWidget(grid->currentIndex()));
    ASSERT_NE(editor, nullptr) << "the cell editor is always shown";
    editor->selectAll();
    QTest::keyClicks(editor, "Typed");
    EXPECT_EQ(e.lib.table().fieldAsString("Titel"), "Alpha"); // not yet committed

    const QModelIndex betaTitle = e.form->model().index(alphaTitle.row() + 1, 1);
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(betaTitle).center());
    QApplication::processEvents();
    EXPECT_EQ(e.lib.table().fieldAsString("Titel"), "Beta"); // the cursor followed the click
    EXPECT_EQ(e.field("a.mp3", "Titel"), "Typed");
    EXPECT_EQ(e.last128("a.mp3"), tagOf("Typed", "Artist A", "1990", "Pop"));
}

TEST(EditorWindow, EnterInASearchBoxAndEscapeKeepTheWindowOpen) {
    Editor e;
    QTest::keyClick(e.form->ui()->Edit1, Qt::Key_Return);
    QTest::keyClick(e.form.get(), Qt::Key_Escape);
    EXPECT_TRUE(e.form->isVisible());
}
