#include "app/ProgramInstance.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <cerrno>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

namespace {

// The folder of the lock and the socket in the shared temporary folder: the user's own, made
// 0700 and checked to be ours (a folder another user made there first would let them block
// our start or read the files of later ones). Empty when it cannot be had.
QString privateFolder(const QString &base) {
    const QByteArray path =
        QFile::encodeName(QDir(base).filePath(QStringLiteral("dj-mixora-%1").arg(::getuid())));
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return {};
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat st {};
    bool ours = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
    if (ours && (st.st_mode & 077) != 0)
        ours = ::fchmod(fd, 0700) == 0;
    ::close(fd);
    return ours ? QFile::decodeName(path) : QString();
}

// The user id of the process at the other end of a local socket; -1 when it cannot be told.
long peerUser(qintptr descriptor) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (descriptor < 0 ||
        ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0)
        return -1;
    return static_cast<long>(cred.uid);
}

bool sameUser(const QLocalSocket &socket) {
    return peerUser(socket.socketDescriptor()) == static_cast<long>(::getuid());
}

} // namespace

QString ProgramInstance::serverName(const QString &programDir) {
    const QFileInfo info(programDir);
    const QString canonical = info.canonicalFilePath();
    const QString key = canonical.isEmpty() ? info.absoluteFilePath() : canonical;
    const QString hash = QString::fromLatin1(
        QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
    // The runtime folder is the user's own; in the shared temporary folder we make one.
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = privateFolder(QDir::tempPath());
    if (folder.isEmpty())
        return {};
    return QDir(folder).filePath(QStringLiteral("dj-mixora-%1-%2").arg(::getuid()).arg(hash));
}

bool ProgramInstance::claim() {
    if (name_.isEmpty()) {
        qWarning("dj-mixora: the temporary folder holds a dj-mixora-%u that is not ours; a second start "
                 "will open a second window",
                 ::getuid());
        return true;
    }
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
        // Our files go to a program of our own user only.
        if (socket.waitForConnected(std::min(500, remaining())) && sameUser(socket)) {
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
        if (!sameUser(*socket)) {
            socket->abort();
            continue;
        }
        // A client that connects and says nothing must not hold a socket for ever.
        QTimer::singleShot(kIdleClientMs, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            // The magic and the number of files come first: a stranger is turned away before
            // anything more is read, and a count no request of ours can hold reserves nothing.
            constexpr qint64 kHeadBytes = 8;
            if (socket->bytesAvailable() < kHeadBytes)
                return;
            quint32 head[2] = {};
            {
                QDataStream peek(socket->peek(kHeadBytes));
                peek >> head[0] >> head[1];
            }
            if (head[0] != kMagic || head[1] > kMaxRequestBytes / 4 ||
                socket->bytesAvailable() > kMaxRequestBytes) {
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
