// The scan window's "Scanbedingungen" with an analysis behind them: "nur Analyse",
// "Scan und Analyse", and "Abbruch" while songs are being analysed.
#include "scan/AnalysisService.h"
#include "scan/Progress.h"
#include "scan/Scan.h"
#include "tests/scan/ScanTestSupport.h"
#include "ui_Scan.h"

#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

#include <mutex>

using namespace mixora;

namespace {

// Every file analysed at 120 BPM; while held, none finishes until cancelled or released.
struct Fake {
    std::mutex mutex;
    bool held = false;
    int started = 0;
    analysis::JobQueue::AnalyseFn fn() {
        return [this](const std::string &, const std::atomic<bool> *cancel,
                      std::string *) -> std::optional<analysis::Result> {
            {
                std::lock_guard lock(mutex);
                ++started;
            }
            for (;;) {
                {
                    std::lock_guard lock(mutex);
                    if (cancel->load())
                        return std::nullopt;
                    if (!held)
                        break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            analysis::Result r;
            r.bpm = 120.0;
            r.audibleEndByte = 300;
            return r;
        };
    }
    void hold(bool on) {
        std::lock_guard lock(mutex);
        held = on;
    }
    int startedCount() {
        std::lock_guard lock(mutex);
        return started;
    }
};

struct Window {
    test::Library lib;
    test::TempDir drive;
    std::shared_ptr<scan::FolderDriveLayer> drives = std::make_shared<scan::FolderDriveLayer>();
    Fake fake;
    AnalysisService service{lib.table(), fake.fn(), 1};
    TFormProgress progress;
    TFormScan form{lib.table(), &progress};

    Window() {
        drives->add('C', drive.path().string());
        form.setDriveLayer(drives);
        form.setAnalysis(&service);
        test::writeSong(drive / "old.mp3");
        test::writeSong(drive / "older.mp3");
        form.show();
        form.btStartScanClick(); // "nur Scan": two rows, not analysed
        form.show();
    }
    std::vector<analysis::SongRef> unanalysed() { return service.store().unanalysed(); }
};

} // namespace

TEST(ScanAnalysis, NurAnalyseAnalysesTheRowsWithoutWalkingTheDrives) {
    Window w;
    ASSERT_TRUE(w.form.ui()->RGBedingung->isEnabled());
    ASSERT_EQ(w.unanalysed().size(), 2u);
    test::writeSong(w.drive / "new.mp3");

    w.form.ui()->RGBedingungItem1->setChecked(true);
    w.form.btStartScanClick();
    EXPECT_TRUE(w.form.analysing());
    EXPECT_TRUE(w.progress.isVisible());
    EXPECT_EQ(w.progress.windowTitle().toStdString(), scan::kAnalysisCaption);
    EXPECT_FALSE(w.form.ui()->btStartScan->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.form.analysing(); }, 10000));
    EXPECT_TRUE(w.unanalysed().empty());
    EXPECT_EQ(w.lib.table().recordCount(), 2) << "nur Analyse walks no drive";
    EXPECT_EQ(w.progress.position(), 2);
    EXPECT_FALSE(w.progress.isVisible());
    EXPECT_FALSE(w.form.isVisible());
}

TEST(ScanAnalysis, ScanUndAnalyseImportsThenAnalysesNewAndOldRows) {
    Window w;
    test::writeSong(w.drive / "new.mp3");
    w.form.ui()->RGBedingungItem2->setChecked(true);
    w.form.btStartScanClick();
    EXPECT_EQ(w.form.lastCounts().added, 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.form.analysing(); }, 10000));
    EXPECT_EQ(w.lib.table().recordCount(), 3);
    EXPECT_TRUE(w.unanalysed().empty());
    EXPECT_FALSE(w.form.isVisible());

    // Nothing left to analyse: Start closes the window at once, as a scan does.
    w.form.show();
    w.form.ui()->RGBedingungItem1->setChecked(true);
    w.form.btStartScanClick();
    EXPECT_FALSE(w.form.analysing());
    EXPECT_FALSE(w.form.isVisible());
}

TEST(ScanAnalysis, AbbruchStopsTheAnalysisAndKeepsWhatWasStored) {
    Window w;
    w.fake.hold(true);
    w.form.ui()->RGBedingungItem1->setChecked(true);
    w.form.btStartScanClick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.fake.startedCount() == 1; }, 10000));
    QTest::mouseClick(w.form.ui()->Button2, Qt::LeftButton);
    EXPECT_FALSE(w.form.analysing());
    EXPECT_FALSE(w.service.libraryBusy());
    EXPECT_FALSE(w.progress.isVisible());
    EXPECT_FALSE(w.form.isVisible());
    w.fake.hold(false);
    QTest::qWait(50);
    EXPECT_EQ(w.fake.startedCount(), 1) << "the second song must not start after Abbruch";
    EXPECT_EQ(w.unanalysed().size(), 2u);

    // Without an analysis the window offers the scan alone.
    w.form.setAnalysis(nullptr);
    EXPECT_FALSE(w.form.ui()->RGBedingung->isEnabled());
    EXPECT_TRUE(w.form.ui()->RGBedingungItem0->isChecked());
}
