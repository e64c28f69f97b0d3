#include "app/InstanceEndpoint.h"

#include "platform/Platform.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUuid>
#include <QtEndian>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace InstanceEndpoint {

namespace {

const char* const kBufferProperty = "lumoraPayload";
constexpr int kHeaderBytes = 4;
constexpr int kSendAttempts = 30;
// The receiver answers a decoded message with this one byte; only then has the message been delivered.
constexpr char kAckByte = '\x06';
// Waits for the acknowledgement. A window that is stopped or busy past this loses nothing: the paths go to the
// inbox instead, and the queue ignores a path it already holds when both roads deliver.
constexpr int kAckTimeoutMs = 5000;
// A connection that sends nothing for this long, or has not finished its message after kLifetimeMs, is ended:
// its buffer would otherwise stay for as long as the sender keeps the connection open.
constexpr int kIdleTimeoutMs = 5000;
constexpr int kLifetimeMs = 30000;
// At most this many connections are read at once, so unfinished messages hold at most this many times
// kMaxPayloadBytes. A sender that is turned away gets no acknowledgement and writes an inbox file instead.
constexpr int kMaxOpenConnections = 8;
const char* const kAsideSuffix = ".ignored";

#ifdef Q_OS_WIN
// Sender and receiver are the same executable, so this one constant names the endpoint for both.
const QString kServerPrefix = QStringLiteral("app.lumora");
#endif

// The user name becomes part of a file name inside the private folder; a separator in it ("USERNAME" is
// whatever the environment says) must not lead the name out of that folder.
QString withoutSeparators(QString name)
{
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    name.replace(QLatin1Char('\\'), QLatin1Char('_'));
    return name;
}

void disconnectQuietly(QLocalSocket& socket)
{
    socket.disconnectFromServer();
    // waitForDisconnected() warns when the socket is already closed, and that warning would land in the log.
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(250);
}

enum class InboxEntry {
    Opened,   // a regular file of this user, open for reading
    Refused,  // not ours, not a regular file or not readable (yet): left where it is
    Oversized // ours, but larger than any message may be
};

// Opens an inbox file for reading only when it is a regular file of this user. Unix: opened without following
// a link and checked on the open descriptor, so what is checked is what is read.
InboxEntry openOwnedRegularFile(const QString& path, QFile& file)
{
#ifdef Q_OS_WIN
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return InboxEntry::Refused;
    if (file.size() > kMaxPayloadBytes) {
        file.close();
        return InboxEntry::Oversized;
    }
    return InboxEntry::Opened;
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return InboxEntry::Refused;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
        ::close(fd);
        return InboxEntry::Refused;
    }
    if (st.st_size > kMaxPayloadBytes) {
        ::close(fd);
        return InboxEntry::Oversized;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return InboxEntry::Refused;
    }
    return InboxEntry::Opened;
#endif
}

// An inbox file that can never yield a path is renamed out of the "*.paths" pattern once, instead of being
// opened again on every tick for as long as the window lives. It is kept, not deleted, for whoever looks.
void moveAside(const QString& folder, const QString& name)
{
    QDir(folder).rename(name, name + QLatin1String(kAsideSuffix));
}

} // namespace

Frame parseFrame(QByteArrayView buffer)
{
    Frame frame;
    if (buffer.size() < kHeaderBytes)
        return frame;
    // Taken as unsigned, a negative length lands far above the cap and is refused with it.
    const quint32 length = qFromBigEndian<quint32>(buffer.data());
    if (length > kMaxPayloadBytes) {
        frame.status = FrameStatus::Invalid;
        return frame;
    }
    if (buffer.size() - kHeaderBytes < qsizetype(length))
        return frame;
    frame.status = FrameStatus::Complete;
    frame.paths = decodePaths(buffer.sliced(kHeaderBytes, qsizetype(length)));
    return frame;
}

bool isSendablePath(const QString& path)
{
    return !path.contains(QLatin1Char('\n'));
}

QStringList sendablePaths(const QStringList& paths, QStringList* leftOut)
{
    QStringList sendable;
    sendable.reserve(paths.size());
    for (const QString& path : paths) {
        if (isSendablePath(path))
            sendable.append(path);
        else if (leftOut)
            leftOut->append(path);
    }
    return sendable;
}

QByteArray encodePaths(const QStringList& paths)
{
    return sendablePaths(paths).join(QLatin1Char('\n')).toUtf8();
}

QStringList decodePaths(QByteArrayView payload)
{
    const QStringList parts = QString::fromUtf8(payload).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // A repeated entry would make the window walk the same folder again for nothing; the first one keeps its
    // place. "/a" and "/a/" name the same folder.
    QStringList paths;
    QSet<QString> seen;
    for (const QString& part : parts) {
        const QString key = QDir::cleanPath(part);
        if (seen.contains(key))
            continue;
        seen.insert(key);
        paths.append(part);
    }
    return paths;
}

QByteArray buildFrame(const QStringList& paths)
{
    const QByteArray payload = encodePaths(paths);
    if (payload.size() > kMaxPayloadBytes)
        return QByteArray();
    QByteArray frame;
    QDataStream stream(&frame, QIODevice::WriteOnly);
    stream << qint32(payload.size());
    if (stream.status() != QDataStream::Ok)
        return QByteArray();
    frame.append(payload);
    return frame;
}

QString userKey()
{
    const QString key = withoutSeparators(Platform::userName().trimmed().toLower());
    return key.isEmpty() ? QStringLiteral("default-user") : key;
}

QString toolServerName(const QString& toolId)
{
#ifdef Q_OS_WIN
    return QStringLiteral("%1.Lumora.%2.%3").arg(kServerPrefix, toolId, userKey());
#else
    // A bare name would put the socket in the shared temporary folder; a full path keeps it in our own folder.
    // The folder already belongs to this user alone, so the name drops the prefix: a socket path has to fit in
    // 107 bytes.
    const QString folder = Platform::privateUserDirectory();
    return folder.isEmpty() ? QString() : QDir(folder).filePath(QStringLiteral("Lumora.%1.%2").arg(toolId, userKey()));
#endif
}

QString toolInboxDirectory(const QString& toolId)
{
    QString safeId = toolId;
    safeId.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("_"));
    const QString user = withoutSeparators(Platform::userName().toLower());
    const QString name = QStringLiteral("Lumora-%1-%2-inbox").arg(safeId, user);
#ifdef Q_OS_WIN
    return QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation)).filePath(name);
#else
    const QString folder = Platform::privateUserDirectory();
    return folder.isEmpty() ? QString() : QDir(folder).filePath(name);
#endif
}

bool forwardPaths(const QString& serverName, const QStringList& paths)
{
    if (paths.isEmpty() || encodePaths(paths).isEmpty())
        return true;
    const QByteArray message = buildFrame(paths);
    if (message.isEmpty() || serverName.isEmpty())
        return false;

    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        QLocalSocket socket;
        socket.connectToServer(serverName, QIODevice::ReadWrite);
        if (!socket.waitForConnected(100)) {
            QThread::msleep(50);
            continue;
        }
        if (socket.write(message) != message.size() || !socket.waitForBytesWritten(1000)) {
            disconnectQuietly(socket);
            QThread::msleep(50);
            continue;
        }
        // Bytes in the socket buffer are not yet delivered: a window that is stopped or ends before it reads
        // them would lose the paths. Without the receiver's byte, the caller writes the inbox file instead. No
        // second attempt: the receiver may have taken the message and only failed to answer.
        char ack = 0;
        const bool acknowledged = (socket.bytesAvailable() > 0 || socket.waitForReadyRead(kAckTimeoutMs)) &&
                                  socket.read(&ack, 1) == 1 && ack == kAckByte;
        disconnectQuietly(socket);
        return acknowledged;
    }
    return false;
}

bool endpointAnswers(const QString& serverName, int timeoutMs)
{
    if (serverName.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(serverName, QIODevice::ReadWrite);
    const bool answered = socket.waitForConnected(timeoutMs);
    if (answered)
        disconnectQuietly(socket);
    return answered;
}

bool writeInboxFile(const QString& folder, const QStringList& paths)
{
    const QByteArray payload = encodePaths(paths);
    if (folder.isEmpty() || payload.isEmpty() || payload.size() > kMaxPayloadBytes)
        return false;
    if (!QFileInfo::exists(folder)
        && !QDir().mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
        && !QFileInfo(folder).isDir())
        return false;
    // The reader ignores a folder it does not trust; writing there would only leave paths nobody collects.
    if (!isTrustedInboxFolder(folder))
        return false;

    const QString fileName = QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".paths");
    QSaveFile file(QDir(folder).filePath(fileName));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(payload) != payload.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

void consumeForwardedPayload(QLocalSocket* socket, const PathSink& sink)
{
    if (!socket)
        return;
    QByteArray buffer = socket->property(kBufferProperty).toByteArray();
    // Dropping the property's copy first lets the append grow the buffer in place instead of copying it whole
    // on every read of a large message.
    socket->setProperty(kBufferProperty, QVariant());
    buffer.append(socket->readAll());
    const Frame frame = parseFrame(buffer);
    if (frame.status == FrameStatus::Incomplete) {
        socket->setProperty(kBufferProperty, buffer);
        return;
    }
    // One message per connection: the readyRead wiring goes first, so trailing bytes or a late readyRead can
    // never be decoded as a second message.
    QObject::disconnect(socket, &QLocalSocket::readyRead, nullptr, nullptr);
    if (frame.status == FrameStatus::Complete) {
        // Acknowledged before the sink runs, so a window busy with a large folder does not make the sender
        // give up and deliver the same paths again through the inbox.
        socket->write(&kAckByte, 1);
        socket->flush();
    }
    if (frame.status == FrameStatus::Complete && !frame.paths.isEmpty() && sink)
        sink(frame.paths);
    if (socket->state() == QLocalSocket::UnconnectedState)
        socket->deleteLater(); // its disconnected signal has already gone by
    else
        socket->disconnectFromServer();
}

void acceptPendingConnections(QLocalServer* server, const PathSink& sink)
{
    while (server->hasPendingConnections()) {
        QLocalSocket* socket = server->nextPendingConnection();
        if (!socket)
            break;
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // Accepted sockets are children of the server; the new one is among them.
        if (server->findChildren<QLocalSocket*>(Qt::FindDirectChildrenOnly).size() > kMaxOpenConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const auto end = [socket] {
            socket->abort();
            socket->deleteLater();
        };
        auto* idle = new QTimer(socket);
        idle->setSingleShot(true);
        QObject::connect(idle, &QTimer::timeout, socket, end);
        idle->start(kIdleTimeoutMs);
        QTimer::singleShot(kLifetimeMs, socket, end);
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, sink, idle] {
            idle->start(kIdleTimeoutMs);
            consumeForwardedPayload(socket, sink);
        });
        if (socket->bytesAvailable() > 0)
            consumeForwardedPayload(socket, sink);
    }
}

bool isTrustedInboxFolder(const QString& folder)
{
    if (folder.isEmpty())
        return false;
#ifdef Q_OS_WIN
    return QFileInfo(folder).isDir();
#else
    struct stat st {};
    if (::lstat(QFile::encodeName(folder).constData(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
#endif
}

int drainInbox(const QString& folder, const PathSink& sink)
{
    if (!isTrustedInboxFolder(folder))
        return 0;
    const QDir dir(folder);
    int consumed = 0;
    const QStringList names = dir.entryList({QStringLiteral("*.paths")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        const QString path = dir.filePath(name);
        QFile file;
        const InboxEntry entry = openOwnedRegularFile(path, file);
        if (entry == InboxEntry::Refused)
            continue; // stays and is tried again on the next tick
        if (entry == InboxEntry::Oversized) {
            moveAside(folder, name);
            continue;
        }
        const QStringList paths = decodePaths(file.readAll());
        file.close();
        if (paths.isEmpty()) {
            moveAside(folder, name);
            continue;
        }
        if (sink)
            sink(paths);
        QFile::remove(path);
        ++consumed;
    }
    return consumed;
}

} // namespace InstanceEndpoint
