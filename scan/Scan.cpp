#include "scan/Scan.h"

#include "scan/AnalysisService.h"
#include "scan/Progress.h"
#include "ui_Scan.h"
#include "util/UiSeam.h"

#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShowEvent>

#include <algorithm>

using mixora::scan::DriveType;

TFormScan *FormScan = nullptr;

TFormScan::TFormScan(mixora::SongTable &table, TFormProgress *progress, QWidget *parent)
    : QDialog(parent), ui_(std::make_unique<Ui::TFormScan>()), table_(table), progress_(progress) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    connect(ui_->btStartScan, &QPushButton::clicked, this, &TFormScan::btStartScanClick);
    connect(ui_->Button2, &QPushButton::clicked, this, &TFormScan::Button2Click);
}

TFormScan::~TFormScan() = default;

void TFormScan::setAnalysis(AnalysisService *analysis) {
    if (analysis_ != nullptr)
        disconnect(analysis_, nullptr, this, nullptr);
    analysis_ = analysis;
    ui_->RGBedingung->setEnabled(analysis_ != nullptr);
    if (analysis_ == nullptr) {
        ui_->RGBedingungItem0->setChecked(true);
        return;
    }
    connect(analysis_, &AnalysisService::libraryProgress, this, &TFormScan::analysisProgress);
    connect(analysis_, &AnalysisService::libraryFinished, this, [this] {
        if (analysing_) {
            endAnalysis(false);
            accept();
        }
    });
    connect(analysis_, &AnalysisService::storeFailed, this, [this](const QString &text) {
        if (!analysing_)
            return;
        // Every further song would fail the same way: stop, say why, keep what was stored.
        endAnalysis(true);
        mixora::ui::message(this, QStringLiteral("Fehler"), text);
    });
}

void TFormScan::setDriveLayer(std::shared_ptr<const mixora::scan::DriveLayer> layer) {
    layer_ = std::move(layer);
}

TFormProgress &TFormScan::progressWindow() {
    if (progress_ != nullptr)
        return *progress_;
    if (FormProgress != nullptr)
        return *FormProgress;
    if (!ownProgress_)
        ownProgress_ = std::make_unique<TFormProgress>();
    return *ownProgress_;
}

void TFormScan::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TFormScan::FormShow() {
    if (table_.active()) {
        table_.checkBrowseMode();
        table_.setIndexName("iDateiname");
        table_.first();
    }
    DriveBoxes.clear();
    for (int n = 1; n <= 24; ++n)
        DriveBoxes.append(findChild<QCheckBox *>(QStringLiteral("CheckBox%1").arg(n)));

    // Drives come and go between shows (a disk mounted, a stick pulled): read them afresh.
    shownLayer_ = layer_ ? layer_ : std::make_shared<mixora::scan::SystemDriveLayer>();
    const std::uint32_t mask = shownLayer_->logicalDrives();
    for (QCheckBox *box : DriveBoxes) {
        box->setChecked(false);
        box->setEnabled(false);
        box->setToolTip(QString());
    }
    for (int k = 0; k < DriveBoxes.size(); ++k) {
        if ((mask & (1u << (k + 2))) == 0)
            continue;
        QCheckBox *box = DriveBoxes[k];
        const std::string name = box->text().toStdString();
        box->setToolTip(QString::fromStdString(shownLayer_->rootPath(name)));
        const DriveType type = shownLayer_->driveType(name);
        if (type == DriveType::Fixed || type == DriveType::NoRootDir) {
            box->setEnabled(true);
            box->setChecked(true);
        }
    }
}

std::vector<std::string> TFormScan::tickedRoots() const {
    std::vector<std::string> roots;
    if (ui_->RGBedingungItem1->isChecked() || !shownLayer_)
        return roots; // "nur Analyse" walks no drive
    for (const QCheckBox *box : DriveBoxes) {
        if (box == nullptr || !box->isChecked())
            continue;
        const std::string root = shownLayer_->rootPath(box->text().toStdString());
        if (!root.empty())
            roots.push_back(root);
    }
    return roots;
}

void TFormScan::btStartScanClick() {
    if (analysing_)
        return;
    const bool analyseOnly = analysis_ != nullptr && ui_->RGBedingungItem1->isChecked();
    const bool analyse = analysis_ != nullptr && (analyseOnly || ui_->RGBedingungItem2->isChecked());
    TFormProgress &progress = progressWindow();
    try {
        if (!analyseOnly) {
            mixora::scan::Scanner scanner(table_, progress);
            lastCounts_ = scanner.start(tickedRoots());
        }
        if (analyse && startAnalysis())
            return; // the window stays open, with "Abbruch", until the analysis ends
    } catch (const std::exception &e) {
        // Rows committed so far stay; the user learns why the scan stopped and can start again.
        progress.close();
        mixora::ui::message(this, QStringLiteral("Fehler"), QString::fromStdString(e.what()));
        return;
    }
    accept();
}

bool TFormScan::startAnalysis() {
    // Signals sent while the songs are queued find analysing_ false and are passed over.
    if (analysis_->analyseLibrary() == 0)
        return false;
    analysing_ = true;
    ui_->btStartScan->setEnabled(false);
    TFormProgress &progress = progressWindow();
    progress.setCaption(mixora::scan::kAnalysisCaption);
    progress.setMaximum(analysis_->libraryTotal());
    progress.setPosition(analysis_->libraryDone());
    progress.show();
    return true;
}

void TFormScan::analysisProgress(int done, int total) {
    if (!analysing_)
        return;
    TFormProgress &progress = progressWindow();
    progress.setMaximum(std::max(total, 1));
    progress.setPosition(done);
}

void TFormScan::endAnalysis(bool cancelled) {
    if (cancelled && analysis_ != nullptr)
        analysis_->cancelLibrary();
    analysing_ = false;
    ui_->btStartScan->setEnabled(true);
    progressWindow().close();
}

void TFormScan::Button2Click() {
    if (analysing_)
        endAnalysis(true);
    close();
}

void TFormScan::reject() {
    // Closing the window while it analyses stops the analysis, as "Abbruch" does.
    if (analysing_)
        endAnalysis(true);
    QDialog::reject();
}
