#include "settings/Geraete.h"

#include "engine/sound/Sound.h"
#include "util/UiSeam.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

#include <exception>

namespace mixora::settings {

std::filesystem::path settingsFilePath() {
    std::error_code ec;
    return std::filesystem::current_path(ec) / "kelox.ini";
}

namespace {

std::string toStd(const QString &text) {
    return text.toStdString();
}

} // namespace

TDlgGeraete::TDlgGeraete(QWidget *parent) : QDialog(parent) {
    ui.setupUi(this);
    setFixedSize(327, 166);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    connect(ui.OKBtn, &QPushButton::clicked, this, &TDlgGeraete::OKBtnClick);
    connect(ui.CancelBtn, &QPushButton::clicked, this, &TDlgGeraete::CancelBtnClick);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TDlgGeraete::~TDlgGeraete() = default;

void TDlgGeraete::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormActivate();
}

void TDlgGeraete::FormActivate() {
    ini_ = std::make_unique<IniFile>(settingsFilePath());
    ui.CB_Aux->clear();
    ui.CB_Head->clear();

    std::vector<sound::DeviceInfo> devices;
    try {
        devices = sound::enumerateDevices();
    } catch (const std::exception &e) {
        // Without a device list the user can still type a name; say why the lists are empty.
        ::mixora::ui::message(this, QStringLiteral("Fehler"), QString::fromUtf8(e.what()));
    }
    bool iniFailed = false;
    for (const sound::DeviceInfo &device : devices) {
        if (!device.guid)
            continue; // the system's default entry names no particular card
        const QString description = QString::fromStdString(device.description);
        ui.CB_Aux->addItem(description);
        ui.CB_Head->addItem(description);
        if (iniFailed)
            continue;
        try {
            ini_->writeString(kCardsSection, device.description, device.guid->toString());
        } catch (const IniError &e) {
            iniFailed = true; // one message is enough for a file that cannot be written
            showIniError(e);
        }
    }

    if (ui.CB_Aux->count() < 2) {
        ::mixora::ui::message(
            this, QStringLiteral("Warnung"),
            QStringLiteral("Sie haben nur eine Soundkarte! Kopfhörerbetrieb ist nicht möglich"));
        ui.CB_Head->clear();
    }

    QString aux;
    QString head;
    try {
        aux = QString::fromStdString(ini_->readString(kDeviceSection, kAuxKey));
        head = QString::fromStdString(ini_->readString(kDeviceSection, kHeadKey));
    } catch (const IniError &e) {
        showIniError(e);
    }
    ui.CB_Aux->setEditText(aux);
    ui.CB_Head->setEditText(head);
    if (ui.CB_Aux->currentText().isEmpty() && ui.CB_Aux->count() > 0)
        ui.CB_Aux->setEditText(ui.CB_Aux->itemText(0));
}

void TDlgGeraete::OKBtnClick() {
    if (!ini_)
        ini_ = std::make_unique<IniFile>(settingsFilePath());
    const QString aux = ui.CB_Aux->currentText();
    const QString head = ui.CB_Head->currentText();
    try {
        if (head == aux) {
            ::mixora::ui::message(this, QStringLiteral("Fehler"),
                                  QStringLiteral("Identische Geräte ausgewählt!\nHead wird ausgeschaltet"));
            ini_->writeString(kDeviceSection, kAuxKey, toStd(aux));
            ini_->writeString(kDeviceSection, kHeadKey, "");
        } else {
            ini_->writeString(kDeviceSection, kAuxKey, toStd(aux));
            ini_->writeString(kDeviceSection, kHeadKey, toStd(head));
        }
    } catch (const IniError &e) {
        // Nothing was saved: stay open so the user does not believe otherwise.
        showIniError(e);
        return;
    }
    accept();
}

void TDlgGeraete::CancelBtnClick() {
    reject();
}

void TDlgGeraete::keyPressEvent(QKeyEvent *event) {
    // Escape stands for "Abbrechen" and so does nothing while that button is disabled.
    if (event->key() == Qt::Key_Escape && !ui.CancelBtn->isEnabled()) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TDlgGeraete::done(int result) {
    QDialog::done(result);
    FormClose();
}

void TDlgGeraete::FormClose() {
    ini_.reset();
}

void TDlgGeraete::showIniError(const IniError &error) {
    ::mixora::ui::message(this, QStringLiteral("Fehler"), QString::fromUtf8(error.what()));
}

} // namespace mixora::settings
