// The scan window: offers the fixed drives as check boxes and, on "Start", checks the
// library against the disks and imports the MP3 files of every ticked drive. The work is
// done by the toolkit-free Scanner, which the command-line import shares.
#pragma once

#include "library/SongTable.h"
#include "scan/Drives.h"
#include "scan/Scanner.h"

#include <QDialog>
#include <QList>

#include <memory>
#include <string>
#include <vector>

class AnalysisService;
class QCheckBox;
class TFormProgress;

namespace Ui {
class TFormScan;
}

class TFormScan : public QDialog {
    Q_OBJECT

public:
    // progress: the progress window to use; without one the global FormProgress is used,
    // and without that a window of our own.
    explicit TFormScan(mixora::SongTable &table, TFormProgress *progress = nullptr,
                       QWidget *parent = nullptr);
    ~TFormScan() override;

    Ui::TFormScan *ui() const { return ui_.get(); }

    // With an analysis, "Scanbedingungen" offers "nur Analyse" and "Scan und Analyse"; without
    // one only the scan is offered.
    void setAnalysis(AnalysisService *analysis);
    // True from a Start that analyses until the analysis ends or "Abbruch" stops it.
    bool analysing() const { return analysing_; }

    // The drives offered; without a layer set, the machine's drives are read at every show.
    void setDriveLayer(std::shared_ptr<const mixora::scan::DriveLayer> layer);
    // The 24 drive boxes, C: to Z:, as filled at the last show.
    const QList<QCheckBox *> &driveBoxes() const { return DriveBoxes; }
    // What the last "Start" did.
    const mixora::scan::ScanCounts &lastCounts() const { return lastCounts_; }
    TFormProgress &progressWindow();

    void FormShow();
    void btStartScanClick();
    void Button2Click();

    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    std::vector<std::string> tickedRoots() const;
    // Starts the library's analysis under the progress window; false when there was nothing to do.
    bool startAnalysis();
    void analysisProgress(int done, int total);
    void endAnalysis(bool cancelled);

    std::unique_ptr<Ui::TFormScan> ui_;
    mixora::SongTable &table_;
    TFormProgress *progress_;
    std::unique_ptr<TFormProgress> ownProgress_;
    std::shared_ptr<const mixora::scan::DriveLayer> layer_;      // set by the caller, or null
    std::shared_ptr<const mixora::scan::DriveLayer> shownLayer_; // the one the boxes show
    QList<QCheckBox *> DriveBoxes;
    mixora::scan::ScanCounts lastCounts_;
    AnalysisService *analysis_ = nullptr;
    bool analysing_ = false;
};

extern TFormScan *FormScan;
