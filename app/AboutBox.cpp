#include "app/AboutBox.h"

#include "engine/sound/Sound.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

namespace mixora::app {

TAboutBox::TAboutBox(QWidget *parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    ui.setupUi(this);
    setFixedSize(295, 172);
    setModal(true);
    // The credits give up their spare line to the dropout count, so the box keeps its size.
    ui.Comments->setGeometry(8, 68, 263, 32);
    Underflows = new QLabel(ui.Panel1);
    Underflows->setObjectName("Underflows");
    Underflows->setGeometry(8, 100, 263, 16);
    Underflows->setAlignment(Qt::AlignCenter);
    Underflows->setStyleSheet("color: yellow;");
    refreshUnderflows();
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TAboutBox::refreshUnderflows() {
    const auto devices = sound::openDeviceStatus();
    if (devices.empty()) {
        Underflows->setText("Keine Soundkarte offen");
        Underflows->setToolTip({});
        return;
    }
    const QString prefix = "Aussetzer seit Start: ";
    QStringList counts, full;
    for (const auto &d : devices) {
        counts << QString::number(d.underflows);
        full << QString::fromStdString(d.description) + ": " + QString::number(d.underflows);
    }
    // Each card's name gets an equal share of what the counts leave of the line.
    const QFontMetrics metrics(Underflows->font());
    int spare = Underflows->width() - metrics.horizontalAdvance(prefix + counts.join(", "));
    const int each = std::max(0, spare / int(devices.size()) - metrics.horizontalAdvance(" ()"));
    QStringList parts;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const QString name =
            metrics.elidedText(QString::fromStdString(devices[i].description), Qt::ElideRight, each);
        parts << (name.isEmpty() ? counts[qsizetype(i)] : counts[qsizetype(i)] + " (" + name + ")");
    }
    Underflows->setText(prefix + parts.join(", "));
    Underflows->setToolTip(full.join("\n"));
}

void TAboutBox::showEvent(QShowEvent *event) {
    refreshUnderflows();
    QDialog::showEvent(event);
}

} // namespace mixora::app
