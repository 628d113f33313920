#include "app/Application.h"

#include "util/UiSeam.h"

#include <exception>

namespace mixora::app {

TApplication::TApplication(int &argc, char **argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("DJ-Mixora"));
    setApplicationDisplayName(QStringLiteral("DJ-Mixora"));
}

bool TApplication::notify(QObject *receiver, QEvent *event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        ShowException(QString::fromUtf8(e.what()));
    } catch (...) {
        ShowException(QStringLiteral("Unbekannter Fehler"));
    }
    return false;
}

void TApplication::ShowException(const QString &text) {
    // A second failure while the message is up must not escape notify() either.
    try {
        ui::message(QApplication::activeWindow(), QStringLiteral("Fehler"), text);
    } catch (...) {
    }
}

} // namespace mixora::app
