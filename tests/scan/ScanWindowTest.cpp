// The scan and progress windows on temporary drives.
#include "library/SongTableModel.h"
#include "library/Suche.h"
#include "scan/Progress.h"
#include "scan/Scan.h"
#include "tests/scan/ScanTestSupport.h"
#include "ui_Progress.h"
#include "ui_Scan.h"
#include "ui_Suche.h"
#include "util/UiSeam.h"

#include <QApplication>
#include <QLabel>

#include <QCheckBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>

namespace fs = std::filesystem;
using namespace mixora;
using mixora::scan::DriveType;
using mixora::scan::FolderDriveLayer;
using mixora::test::writeSong;

namespace {

struct ScanWindow {
    test::Library lib;
    test::TempDir driveC, driveZ;
    std::shared_ptr<FolderDriveLayer> drives = std::make_shared<FolderDriveLayer>();
    TFormProgress progress;
    TFormScan form{lib.table(), &progress};

    ScanWindow() {
        drives->add('C', driveC.path().string());
        drives->add('D', "/srv/net", DriveType::Remote);
        drives->add('E', "/media/stick", DriveType::Removable);
        drives->add('Z', driveZ.path().string());
        form.setDriveLayer(drives);
    }
    QCheckBox *box(int n) { return form.findChild<QCheckBox *>(QStringLiteral("CheckBox%1").arg(n)); }
};

} // namespace

TEST(ScanWindow, LayoutFollowsTheFormResource) {
    ScanWindow w;
    EXPECT_EQ(w.form.windowTitle(), "Scan & Analyze");
    EXPECT_EQ(w.form.size(), QSize(329, 213));
    EXPECT_EQ(w.box(1)->geometry(), QRect(8, 16, 34, 17));
    EXPECT_EQ(w.box(9)->text(), "K:");
    EXPECT_EQ(w.box(21)->text(), "W:");
    EXPECT_EQ(w.box(21)->geometry(), QRect(168, 64, 38, 17));
    EXPECT_EQ(w.box(24)->geometry(), QRect(288, 64, 34, 17));
    EXPECT_EQ(w.form.ui()->btStartScan->geometry(), QRect(72, 176, 75, 25));
    EXPECT_EQ(w.form.ui()->Button2->text(), "Abbruch");
    EXPECT_EQ(w.progress.size(), QSize(354, 33));
    EXPECT_EQ(w.progress.ui()->ProgressBar1->geometry(), QRect(0, 8, 353, 17));
}

TEST(ScanWindow, ShowTicksFixedDrivesOnlyAndRebuildsTheBoxesEachTime) {
    ScanWindow w;
    w.form.show();
    ASSERT_EQ(w.form.driveBoxes().size(), 24);
    EXPECT_TRUE(w.box(1)->isEnabled() && w.box(1)->isChecked());
    EXPECT_EQ(w.box(1)->toolTip().toStdString(), w.driveC.path().string() + "/");
    EXPECT_TRUE(w.box(24)->isEnabled() && w.box(24)->isChecked()); // a fixed disk at Z:
    for (int n : {2, 3, 4})                                        // remote, removable, absent
        EXPECT_FALSE(w.box(n)->isEnabled() || w.box(n)->isChecked()) << n;
    EXPECT_FALSE(w.box(25)->isEnabled() || w.box(25)->isChecked());
    EXPECT_FALSE(w.box(26)->isEnabled());
    EXPECT_EQ(w.lib.table().indexName(), "iDateiname");

    w.box(1)->setChecked(false);
    w.form.hide();
    w.drives->add('F', w.driveC.path().string()); // a disk mounted meanwhile
    w.form.show();
    EXPECT_TRUE(w.box(1)->isChecked()); // unticked boxes are ticked again
    EXPECT_TRUE(w.box(4)->isChecked());
}

TEST(ScanWindow, StartChecksThenImportsTheTickedDrivesAndClosesBothWindows) {
    ScanWindow w;
    writeSong(w.driveC.path() / "c.mp3");
    writeSong(w.driveZ.path() / "sub" / "z1.mp3");
    writeSong(w.driveZ.path() / "z0.mp3");
    SongRecord stale{};
    stale[kFieldDateiname] = (w.driveC.path() / "vanished.mp3").string();
    w.lib.table().appendRecord(stale);

    w.form.show();
    w.box(1)->setChecked(false); // C: unticked: its file stays out
    w.progress.setRepaintIntervalMs(0);
    QTest::mouseClick(w.form.ui()->btStartScan, Qt::LeftButton);

    EXPECT_FALSE(w.form.isVisible());
    EXPECT_FALSE(w.progress.isVisible());
    EXPECT_EQ(w.form.lastCounts().removed, 1);
    EXPECT_EQ(w.form.lastCounts().added, 2);
    EXPECT_GT(w.progress.repaints(), 0); // the bar was painted while the scan held the thread
    EXPECT_EQ(w.progress.windowTitle().toStdString(), scan::kScanCaption);
    EXPECT_EQ(w.lib.pathsInImportOrder(),
              (std::vector<std::string>{(w.driveZ.path() / "z0.mp3").string(),
                                        (w.driveZ.path() / "sub" / "z1.mp3").string()}));
}

TEST(ScanWindow, NothingTickedRunsOnlyTheCheckAndAbbruchDoesNothing) {
    ScanWindow w;
    writeSong(w.driveC.path() / "c.mp3");
    SongRecord stale{};
    stale[kFieldDateiname] = std::string("/gone/song.mp3");
    w.lib.table().appendRecord(stale);

    w.form.show();
    QTest::mouseClick(w.form.ui()->Button2, Qt::LeftButton);
    EXPECT_FALSE(w.form.isVisible());
    EXPECT_EQ(w.lib.table().recordCount(), 1);

    w.form.show();
    for (QCheckBox *box : w.form.driveBoxes())
        box->setChecked(false);
    QTest::mouseClick(w.form.ui()->btStartScan, Qt::LeftButton);
    EXPECT_FALSE(w.form.isVisible());
    EXPECT_TRUE(w.lib.table().isEmpty());
}

// A first start: an empty library, the scan window shown modally over a drive with a few
// tagged songs, "Start", and the rows then in the editor's grid. With MIXORA_SCREENSHOT_DIR
// set, the two windows are saved there as pictures.
TEST(ScanWindow, FirstStartFillsAnEmptyLibraryThatTheEditorThenShows) {
    test::TempDir program, drive;
    TDataModule1 data;
    ASSERT_TRUE(data.openOrCreate(program.path()));
    const char *songs[][4] = {{"Blue Monday", "New Order", "1983", "Synthpop"},
                              {"Strings of Life", "Derrick May", "1987", "Techno"},
                              {"Windowlicker", "Aphex Twin", "1999", "IDM"},
                              {"Around the World", "Daft Punk", "1997", "House"}};
    for (const auto &s : songs) {
        auto bytes = test::makeMp3({.seconds = 0.2});
        const auto tag = test::makeId3v1(s[0], s[1], "", s[2], s[3]);
        bytes.insert(bytes.end(), tag.begin(), tag.end());
        fs::create_directories(drive.path() / "Musik" / s[3]);
        test::writeFile(drive.path() / "Musik" / s[3] / (std::string(s[0]) + ".mp3"), bytes);
    }
    const char *shots = std::getenv("MIXORA_SCREENSHOT_DIR");
    auto save = [&](QWidget &w, const char *name) {
        if (shots != nullptr)
            w.grab().save(QString::fromUtf8(shots) + "/" + name);
    };

    TFormProgress progress;
    TFormScan form(data.Table1, &progress);
    auto drives = std::make_shared<FolderDriveLayer>();
    drives->add('C', drive.path().string());
    form.setDriveLayer(drives);
    const auto previous = ui::setDialogHandler([&](QDialog &dialog) {
        dialog.show();
        save(dialog, "scan-window.png");
        QTest::mouseClick(form.ui()->btStartScan, Qt::LeftButton);
        return dialog.result();
    });
    EXPECT_EQ(ui::execDialog(form), QDialog::Accepted);
    ui::setDialogHandler(previous);
    EXPECT_EQ(form.lastCounts().removed, 0);
    EXPECT_EQ(data.Table1.recordCount(), 4);

    TFormDatenBearbeiten editor(data);
    editor.show();
    data.Table1.setIndexName("iInterpret");
    data.Table1.first();
    QApplication::processEvents();
    EXPECT_EQ(editor.ui()->Label3->text(), "4 Titel vorhanden");
    ASSERT_EQ(editor.model().rowCount(), 4);
    EXPECT_EQ(editor.model().data(editor.model().index(0, 0)).toString(), "Aphex Twin");
    save(editor, "editor-after-first-scan.png");
}

TEST(ScanWindow, AFailingStartTellsTheUserAndLeavesTheWindowOpen) {
    ScanWindow w;
    std::vector<ui::MessageRequest> messages;
    const auto previous = ui::setMessageHandler([&](const ui::MessageRequest &r) {
        messages.push_back(r);
        return ui::Answer::Ok;
    });
    writeSong(w.driveC.path() / "song.mp3");
    w.form.show();
    w.lib.table().close(); // the library cannot be used any more
    QTest::mouseClick(w.form.ui()->btStartScan, Qt::LeftButton);
    ui::setMessageHandler(previous);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Fehler");
    EXPECT_TRUE(w.form.isVisible());
    EXPECT_FALSE(w.progress.isVisible());
}
