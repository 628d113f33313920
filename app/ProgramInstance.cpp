#include "app/ProgramInstance.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <unistd.h>

namespace mixora::app {

namespace {

constexpr quint32 kMagic = 0x4d584f31; // "MXO1"
constexpr char kAck = 'k';
// A request is a handful of paths; anything far larger is not one of ours.
constexpr qint64 kMaxRequestBytes = 4 * 1024 * 1024;
constexpr int kIdleClientMs = 5000;

} // namespace

ProgramInstance::ProgramInstance(const QString &programDir, QObject *parent)
    : QObject(parent), name_(serverName(programDir)), lock_(name_ + QStringLiteral(".lock")) {
    // A running program holds its lock for hours; only a dead owner makes it stale.
    lock_.setStaleLockTime(0);
}

ProgramInstance::~ProgramInstance() {
    if (server_)
        server_->close();
    // The socket file goes with the server; the lock after it, so a new start finds neither.
    server_.reset();
    if (lock_.isLocked())
        lock_.unlock();
}

QString ProgramInstance::serverName(const QString &programDir) {
    const QFileInfo info(programDir);
    const QString canonical = info.canonicalFilePath();
    const QString key = canonical.isEmpty() ? info.absoluteFilePath() : canonical;
    const QString hash = QString::fromLatin1(
        QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
    // The runtime folder is the user's own; the shared temporary folder needs the user in the name.
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::tempPath();
    return QDir(folder).filePath(QStringLiteral("dj-mixora-%1-%2").arg(::getuid()).arg(hash));
}

bool ProgramInstance::claim() {
    if (!lock_.tryLock(0)) {
        if (lock_.error() == QLockFile::LockFailedError)
            return false;
        // No lock file can be made (a full or read-only temporary folder): run on without the
        // guard rather than refuse to start.
        qWarning("dj-mixora: cannot create %s; a second start will open a second window",
                 qPrintable(lock_.fileName()));
    }
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // Left behind by a run that crashed; we hold the lock, so nobody else listens there.
    QLocalServer::removeServer(name_);
    if (!server_->listen(name_)) {
        qWarning("dj-mixora: cannot listen on %s: %s", qPrintable(name_), qPrintable(server_->errorString()));
        server_.reset();
        return true;
    }
    connect(server_.get(), &QLocalServer::newConnection, this, &ProgramInstance::accept);
    return true;
}

ProgramInstance::Start ProgramInstance::start(const QStringList &files, int timeoutMs) {
    QByteArray request;
    {
        QDataStream out(&request, QIODevice::WriteOnly);
        out << kMagic << files;
    }
    const QDeadlineTimer deadline(timeoutMs);
    auto remaining = [&deadline] { return static_cast<int>(deadline.remainingTime()); };
    for (;;) {
        if (claim())
            return Start::Primary;
        // The holder may be between taking the lock and listening.
        QLocalSocket socket;
        socket.connectToServer(name_);
        if (socket.waitForConnected(std::min(500, remaining()))) {
            socket.write(request);
            socket.waitForBytesWritten(remaining());
            while (socket.state() == QLocalSocket::ConnectedState && socket.waitForReadyRead(remaining())) {
                char c = 0;
                if (socket.getChar(&c) && c == kAck)
                    return Start::HandedOver;
            }
            // Sent and still connected: the holder's window thread is busy (a scan runs there),
            // and it reads the request when it is done. Sending again would open the files twice.
            if (socket.state() == QLocalSocket::ConnectedState)
                return Start::Busy;
            // Closed without an answer: the holder is ending; it may be gone at the next try.
        }
        if (deadline.hasExpired())
            return Start::NoAnswer;
        QThread::msleep(100);
    }
}

void ProgramInstance::accept() {
    while (QLocalSocket *socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A client that connects and says nothing must not hold a socket for ever.
        QTimer::singleShot(kIdleClientMs, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->bytesAvailable() > kMaxRequestBytes) {
                socket->abort();
                return;
            }
            QDataStream in(socket);
            in.startTransaction();
            quint32 magic = 0;
            QStringList files;
            in >> magic >> files;
            if (!in.commitTransaction())
                return; // the rest is still on its way
            if (magic != kMagic) {
                socket->abort();
                return;
            }
            // Answer before the files are opened: opening may show messages and take a while.
            socket->putChar(kAck);
            socket->disconnectFromServer();
            deliver(files);
        });
    }
}

void ProgramInstance::setReady() {
    ready_ = true;
    drain();
}

void ProgramInstance::deliver(const QStringList &files) {
    pending_.append(files);
    drain();
}

void ProgramInstance::drain() {
    // A request that comes in while a message box of the previous one is open waits its turn.
    if (!ready_ || delivering_)
        return;
    delivering_ = true;
    while (!pending_.isEmpty())
        emit filesReceived(pending_.takeFirst());
    delivering_ = false;
}

} // namespace mixora::app
