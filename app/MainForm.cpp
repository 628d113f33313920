#include "app/MainForm.h"

#include "app/AboutBox.h"
#include "app/MainFormLayout.h"
#include "library/Datamod.h"
#include "library/SongTableModel.h"
#include "library/Suche.h"
#include "playlist/Playlist.h"
#include "scan/Scan.h"
#include "settings/Geraete.h"
#include "settings/IniFile.h"
#include "util/UiSeam.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QDir>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QScreen>
#include <QStatusBar>

#include <algorithm>
#include <exception>
#include <filesystem>

// Resources live in a static library; their registration must be pulled in explicitly.
static void initMixoraResources() {
    Q_INIT_RESOURCE(resources);
}

namespace mixora::app {
namespace {

constexpr int kClientWidth = 792;
constexpr int kClientHeight = 431;
constexpr int kStatusPanelWidth = 50;

const QString kStatusBarStyle = QStringLiteral("QStatusBar { background-color: rgb(192, 192, 192); } "
                                               "QStatusBar QLabel { color: black; padding: 0 2px; }");

void addStatusPanels(QStatusBar *bar) {
    bar->setSizeGripEnabled(false);
    bar->setStyleSheet(kStatusBarStyle);
    for (int i = 0; i < 2; ++i) {
        auto *panel = new QLabel(bar);
        panel->setObjectName(bar->objectName() + QStringLiteral("_Panel%1").arg(i));
        panel->setMinimumWidth(kStatusPanelWidth);
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        // The state word must stay readable: where this system's font is wider than the
        // original's, the first panel grows to the widest word. The last panel takes what is
        // left so the song's name is not cut at 50 pixels.
        if (i == 0) {
            int widest = 0;
            for (const char *word : {"loaded", "cued", "playing", "paused", "seeking", "ended"})
                widest = std::max(widest, panel->fontMetrics().horizontalAdvance(QString::fromLatin1(word)));
            const int chrome = 2 * panel->frameWidth() + 2 * 2 + 4; // frame, padding, a little air
            panel->setFixedWidth(std::max(kStatusPanelWidth, widest + chrome));
        }
        bar->addWidget(panel, i == 0 ? 0 : 1);
    }
}

// The time display wants a 27-pixel bold font; where the system's font is wider than the
// original, narrow it (and only then shrink it) so the longest text, remaining time with its
// sign, still fits the label.
void fitTimeFont(QLabel *label) {
    QFont font = label->font();
    font.setBold(true);
    font.setPixelSize(27);
    const QString longest = QStringLiteral("-00:00:00:00");
    if (QFontMetrics(font).horizontalAdvance(longest) > label->width())
        font.setStretch(QFont::Condensed);
    while (font.pixelSize() > 12 && QFontMetrics(font).horizontalAdvance(longest) > label->width())
        font.setPixelSize(font.pixelSize() - 1);
    label->setFont(font);
}

std::filesystem::path toPath(const QString &text) {
    return std::filesystem::path(text.toStdString());
}

} // namespace

TFormMixora::TFormMixora(QWidget *parent) : QMainWindow(parent) {
    initMixoraResources();
    ui.setupUi(this);
    setWindowTitle(QStringLiteral("DJ-Mixora"));

    // The window opens at its smallest size, the plan's; larger, the layout gives the room out.
    ui.ClientArea->setMinimumSize(kClientWidth, kClientHeight);
    ui.ClientArea->resize(kClientWidth, kClientHeight);

    fitTimeFont(ui.LabelZeitLinks);
    fitTimeFont(ui.LabelZeitRechts);

    addStatusPanels(ui.StatusBar_Links);
    addStatusPanels(ui.StatusBar_Rechts);
    ui.StatusBarData->setSizeGripEnabled(false);
    ui.StatusBarData->setStyleSheet(kStatusBarStyle);
    statusBarDataText_ = new QLabel(ui.StatusBarData);
    statusBarDataText_->setFrameShape(QFrame::Panel);
    statusBarDataText_->setFrameShadow(QFrame::Sunken);
    statusBarDataText_->setObjectName(QStringLiteral("StatusBarData_Text"));
    ui.StatusBarData->addWidget(statusBarDataText_, 1);

    LoadGlyph(ui.SBHeadCueLinks, QStringLiteral("LED_OFF"));
    LoadGlyph(ui.SBHeadCueRechts, QStringLiteral("LED_OFF"));
    windowLayout_ = std::make_unique<WindowLayout>(ui);

    ui.DBGrid1->horizontalHeader()->setHighlightSections(false);
    // The narrow "Jahr" column must show four digits whole, as the original font did.
    ui.DBGrid1->setTextElideMode(Qt::ElideNone);
    QFont gridFont = ui.DBGrid1->font();
    gridFont.setPixelSize(11);
    ui.DBGrid1->setFont(gridFont);

    connect(ui.ScanAnalyze1, &QAction::triggered, this, &TFormMixora::ScanAnalyze1Click);
    connect(ui.Bearbeiten1, &QAction::triggered, this, &TFormMixora::Bearbeiten1Click);
    connect(ui.Beenden1, &QAction::triggered, this, &TFormMixora::Beenden1Click);
    connect(ui.Neu1, &QAction::triggered, this, &TFormMixora::Neu1Click);
    connect(ui.Laden1, &QAction::triggered, this, &TFormMixora::Laden1Click);
    connect(ui.Geraete, &QAction::triggered, this, &TFormMixora::GeraeteClick);
    connect(ui.Info2, &QAction::triggered, this, &TFormMixora::Info2Click);

    resize(minimumSizeHint());
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));
}

TFormMixora::~TFormMixora() {
    // Players before the devices they play on, and the grid before the table it reads.
    FormClose();
    ui.DBGrid1->setModel(nullptr);
    gridModel_.reset();
}

void TFormMixora::SetDataModule(TDataModule1 *dataModule) {
    DataModule1 = dataModule;
    ui.DBGrid1->setModel(nullptr);
    gridModel_.reset();
    if (!dataModule)
        return;
    gridModel_ = std::make_unique<SongTableModel>(dataModule->Table1, SongTableModel::mainGridColumns());
    QTableView *grid = ui.DBGrid1;
    grid->setModel(gridModel_.get());
    QList<int> widths;
    for (int c = 0; c < gridModel_->columnCount(); ++c)
        widths << gridModel_->columnWidth(c);
    windowLayout_->setGridColumns(widths);
    // The grid's selection is the table's cursor, both ways.
    connect(gridModel_.get(), &SongTableModel::currentRowChanged, this, &TFormMixora::ShowGridRow);
    connect(grid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &now, const QModelIndex &) {
                if (now.isValid() && now.row() != gridModel_->currentRow())
                    gridModel_->setCurrentRow(now.row());
            });
}

void TFormMixora::ShowGridRow(int row) {
    QTableView *grid = ui.DBGrid1;
    if (row < 0 || row >= gridModel_->rowCount())
        return;
    const QModelIndex index = gridModel_->index(row, 0);
    if (grid->selectionModel()->currentIndex().row() != row)
        grid->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                           QItemSelectionModel::Rows);
    grid->scrollTo(index);
}

QLabel *TFormMixora::StatusPanel(QStatusBar *bar, int index) {
    return bar->findChild<QLabel *>(bar->objectName() + QStringLiteral("_Panel%1").arg(index),
                                    Qt::FindDirectChildrenOnly);
}

void TFormMixora::LoadGlyph(QAbstractButton *button, const QString &resource) {
    button->setIcon(QIcon(QStringLiteral(":/images/") + resource));
    button->setProperty("glyph", resource);
    // The lamp is a picture only; say in words which one it shows.
    button->setAccessibleDescription(resource == QLatin1String("LED_ON") ? QStringLiteral("an")
                                                                         : QStringLiteral("aus"));
}

QString TFormMixora::GlyphOf(const QAbstractButton *button) {
    return button->property("glyph").toString();
}

void TFormMixora::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TFormMixora::changeEvent(QEvent *event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
}

void TFormMixora::closeEvent(QCloseEvent *event) {
    FormClose();
    event->accept();
}

void TFormMixora::ShowError(const QString &text) {
    ::mixora::ui::message(this, QStringLiteral("Fehler"), text);
}

void TFormMixora::FormShow() {
    ProgramDir = QDir::currentPath();
    const std::filesystem::path programDir = toPath(ProgramDir);
    const std::filesystem::path iniPath = programDir / "kelox.ini";

    std::error_code ec;
    if (DlgGeraete && !std::filesystem::exists(iniPath, ec)) {
        DlgGeraete->ui.CancelBtn->setEnabled(false);
        ::mixora::ui::execDialog(*DlgGeraete);
        DlgGeraete->ui.CancelBtn->setEnabled(true);
    }

    // A device that cannot be had is reported and left out; the rest of the start-up runs
    // so the library is there even when a sound card is missing.
    AuxDevice = OpenDevice(settings::kAuxKey, QStringLiteral("Ausgang"));
    HeadDevice = OpenDevice(settings::kHeadKey, QStringLiteral("Kopfhörer"));

    PlayerLinks.reset();
    PlayerRechts.reset();
    TimeModeRechts = 1;
    TimeModeLinks = 1;
    HeadCueOnRechts = 0;
    HeadCueOnLinks = 0;

    // Failures here are left to the table's own message below; "Playlist" is only needed
    // when a playlist is saved, which says so itself.
    std::filesystem::create_directory(programDir / "Playlist", ec);
    std::filesystem::create_directory(programDir / "Data", ec);

    if (FormPlayList)
        FormPlayList->setProgramDir(ProgramDir);

    if (DataModule1) {
        try {
            const bool created = DataModule1->openOrCreate(programDir);
            if (created && FormScan)
                ::mixora::ui::execDialog(*FormScan);
            DataModule1->Table1.setIndexFieldNames("Interpret");
        } catch (const std::exception &e) {
            ShowError(QString::fromUtf8(e.what()));
        }
        if (gridModel_) {
            gridModel_->sync();
            ShowGridRow(gridModel_->currentRow());
        }
    }

    LoadGlyph(ui.SBHeadCueLinks, QStringLiteral("LED_OFF"));
    LoadGlyph(ui.SBHeadCueRechts, QStringLiteral("LED_OFF"));

    // The count must be right when the window is first seen, even where no activation
    // follows (a desktop without a window manager).
    FormActivate();
}

std::unique_ptr<DSBasicObject> TFormMixora::OpenDevice(const char *key, const QString &role) {
    QString name;
    try {
        const settings::IniFile ini(toPath(ProgramDir) / "kelox.ini");
        name = QString::fromStdString(ini.readString(settings::kDeviceSection, key));
        if (name.isEmpty())
            return nullptr;
        const std::string guidText = ini.readString(settings::kCardsSection, name.toStdString());
        return std::make_unique<DSBasicObject>(guidText);
    } catch (const std::exception &e) {
        const QString what = QString::fromUtf8(e.what());
        ShowError(name.isEmpty()
                      ? what
                      : QStringLiteral("Die Soundkarte für %1 „%2“ kann nicht geöffnet werden:\n%3")
                            .arg(role, name, what));
    }
    return nullptr;
}

void TFormMixora::FormActivate() {
    std::int64_t count = -1;
    if (DataModule1) {
        try {
            count = DataModule1->Table1.recordCount();
        } catch (const std::exception &) {
            count = -1;
        }
    }
    statusBarDataText_->setText(QString::number(count) + QStringLiteral(" Titel vorhanden"));
}

void TFormMixora::FormClose() {
    if (closed_)
        return;
    closed_ = true;
    // A player's worker must never outlive the device its buffers live on.
    PlayerLinks.reset();
    PlayerRechts.reset();
    AuxDevice.reset();
    HeadDevice.reset();
}

void TFormMixora::ReportLoadError(int code) {
    if (code == engine::DoublePlayer::kOpenNoNotification)
        ::mixora::ui::message(this, QStringLiteral("Warnung"),
                              QStringLiteral("Sorry, Sie benötigen DirectX 5 oder höher"));
}

void TFormMixora::ScanAnalyze1Click() {
    if (FormScan)
        FormScan->show();
}

void TFormMixora::Bearbeiten1Click() {
    if (FormDatenBearbeiten)
        ::mixora::ui::execDialog(*FormDatenBearbeiten);
}

void TFormMixora::Beenden1Click() {
    close();
}

void TFormMixora::Neu1Click() {
    if (FormPlayList)
        FormPlayList->Neu1Click();
}

void TFormMixora::Laden1Click() {
    if (FormPlayList)
        FormPlayList->Laden1Click();
}

void TFormMixora::GeraeteClick() {
    if (!DlgGeraete)
        return;
    if (::mixora::ui::execDialog(*DlgGeraete) == QDialog::Accepted)
        ::mixora::ui::message(this, QStringLiteral("Achtung"),
                              QStringLiteral("Änderungen sind erst nach Programmneustart wirksam"));
}

void TFormMixora::Info2Click() {
    if (AboutBox)
        ::mixora::ui::execDialog(*AboutBox);
}

} // namespace mixora::app
