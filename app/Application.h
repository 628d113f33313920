// The application object: title, and the one place where an exception that escapes an event
// handler ends up. It is shown to the user and the program keeps running, so a failing click
// never takes a running mix down.
#pragma once

#include <QApplication>

namespace mixora::app {

class TApplication : public QApplication {
    Q_OBJECT

public:
    TApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    // Shows an error's text in a message box ("Fehler"); also used by the entry point.
    static void ShowException(const QString &text);

private:
    // What has to be set before Qt starts; passes argc through.
    static int &beforeQt(int &argc);
};

} // namespace mixora::app
