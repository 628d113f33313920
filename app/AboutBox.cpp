#include "app/AboutBox.h"

#include <QGuiApplication>
#include <QScreen>

namespace mixora::app {

TAboutBox::TAboutBox(QWidget *parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    ui.setupUi(this);
    setFixedSize(295, 172);
    setModal(true);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

} // namespace mixora::app
