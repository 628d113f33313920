#include "scan/Scan.h"

#include "scan/Progress.h"
#include "ui_Scan.h"
#include "util/UiSeam.h"

#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShowEvent>

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
    if (!ui_->RGBedingungItem0->isChecked() || !shownLayer_)
        return roots; // only "nur Scan" walks the drives
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
    TFormProgress &progress = progressWindow();
    try {
        mixora::scan::Scanner scanner(table_, progress);
        lastCounts_ = scanner.start(tickedRoots());
    } catch (const std::exception &e) {
        // Rows committed so far stay; the user learns why the scan stopped and can start again.
        progress.close();
        mixora::ui::message(this, QStringLiteral("Fehler"), QString::fromStdString(e.what()));
        return;
    }
    accept();
}

void TFormScan::Button2Click() {
    close();
}
