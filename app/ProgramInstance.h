// One running program per user and program folder. The first start claims the folder and
// listens on a local socket; a later start with the same folder hands its command-line files
// to it and ends, so two windows never work on the same song table.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QStringList>

#include <memory>

namespace mixora::app {

class ProgramInstance : public QObject {
    Q_OBJECT

public:
    // Busy: the request waits in the running program's socket until its window thread is free.
    enum class Start { Primary, HandedOver, Busy, NoAnswer };

    explicit ProgramInstance(const QString &programDir, QObject *parent = nullptr);
    ~ProgramInstance() override;

    // Claims the folder, or hands `files` to the instance that holds it. Waits at most
    // timeoutMs for that instance to answer; if it ends meanwhile, this one takes over.
    // The files are sent once at most.
    Start start(const QStringList &files, int timeoutMs = 10000);

    // Files that arrive before this are kept: the first start may still be in its set-up dialogs.
    void setReady();

    // The socket's path; it depends on the user and the folder only. Without a runtime folder it
    // lies in a private folder of the user's in the temporary folder, made when missing; empty
    // when that folder is not the user's own (the program then runs without the guard).
    static QString serverName(const QString &programDir);

signals:
    // Files handed over by a later start (possibly none: it only asks to be shown).
    void filesReceived(const QStringList &files);

private:
    bool claim();
    void accept();
    void deliver(const QStringList &files);
    void drain();

    QString name_;
    QLockFile lock_;
    std::unique_ptr<QLocalServer> server_;
    QList<QStringList> pending_;
    bool ready_ = false;
    bool delivering_ = false;
};

} // namespace mixora::app
