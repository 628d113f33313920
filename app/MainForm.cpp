#include "app/MainForm.h"

#include "app/AboutBox.h"
#include "util/UiSeam.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QScreen>
#include <QStatusBar>

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
        // The last panel takes what is left so the song's name is not cut at 50 pixels.
        if (i == 0)
            panel->setFixedWidth(kStatusPanelWidth);
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

} // namespace

TFormMixora::TFormMixora(QWidget *parent) : QMainWindow(parent) {
    initMixoraResources();
    ui.setupUi(this);
    setWindowTitle(QStringLiteral("DJ-Mixora"));

    // Fixed border: the client area keeps its size; the menu bar sits above it.
    ui.ClientArea->setFixedSize(kClientWidth, kClientHeight);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);

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

    const QIcon ledOff(QStringLiteral(":/images/LED_OFF"));
    ui.SBHeadCueLinks->setIcon(ledOff);
    ui.SBHeadCueRechts->setIcon(ledOff);

    connect(ui.Info2, &QAction::triggered, this, &TFormMixora::Info2Click);
    connect(ui.Beenden1, &QAction::triggered, this, &TFormMixora::Beenden1Click);

    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));
}

TFormMixora::~TFormMixora() = default;

QLabel *TFormMixora::StatusPanel(QStatusBar *bar, int index) {
    return bar->findChild<QLabel *>(bar->objectName() + QStringLiteral("_Panel%1").arg(index),
                                    Qt::FindDirectChildrenOnly);
}

void TFormMixora::ReportLoadError(int code) {
    if (code == 1)
        ::mixora::ui::message(this, QStringLiteral("Warnung"),
                              QStringLiteral("Sorry, Sie benötigen DirectX 5 oder höher"));
}

void TFormMixora::Info2Click() {
    if (AboutBox)
        ::mixora::ui::execDialog(*AboutBox);
}

void TFormMixora::Beenden1Click() {
    close();
}

} // namespace mixora::app
