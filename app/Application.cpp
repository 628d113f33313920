#include "app/Application.h"

#include "util/UiSeam.h"

#include <QIcon>

#include <exception>

// Outside any namespace, as Qt's resource macro requires.
static void initResources() {
    Q_INIT_RESOURCE(resources);
}

namespace mixora::app {

int &TApplication::beforeQt(int &argc) {
    // On X11, Qt hands the window's pixels over in shared memory and then waits for the server
    // before it paints the same place again: a round trip for nearly every repaint of a time label
    // or a meter, many times a second while decks play. Sent through the connection, such small
    // repaints cost less and never wait. A value set already is left as it is.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"))
        qputenv("QT_XCB_NO_MITSHM", "1");
    return argc;
}

TApplication::TApplication(int &argc, char **argv) : QApplication(beforeQt(argc), argv) {
    setApplicationName(QStringLiteral("DJ-Mixora"));
    setApplicationDisplayName(QStringLiteral("DJ-Mixora"));
    // Lets the desktop match our windows to the menu entry and its icon.
    setDesktopFileName(QStringLiteral("io.github.djmixora.DJMixora"));
    initResources();
    QIcon icon;
    for (int size : {16, 32, 48, 256})
        icon.addFile(QStringLiteral(":/icons/dj-mixora-%1.png").arg(size));
    setWindowIcon(icon);
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
