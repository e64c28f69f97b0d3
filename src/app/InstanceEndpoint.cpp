#include "app/InstanceEndpoint.h"

#include "platform/Platform.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>
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

// Opens an inbox file for reading only when it is a regular file of this user. Unix: opened without following
// a link and checked on the open descriptor, so what is checked is what is read.
bool openOwnedRegularFile(const QString& path, QFile& file)
{
#ifdef Q_OS_WIN
    file.setFileName(path);
    return file.open(QIODevice::ReadOnly);
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid() || st.st_size > kMaxPayloadBytes) {
        ::close(fd);
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#endif
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

QByteArray encodePaths(const QStringList& paths)
{
    return paths.join(QLatin1Char('\n')).toUtf8();
}

QStringList decodePaths(QByteArrayView payload)
{
    return QString::fromUtf8(payload).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
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
        disconnectQuietly(socket);
        return true;
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
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, sink] {
            consumeForwardedPayload(socket, sink);
        });
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
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
        if (!openOwnedRegularFile(path, file))
            continue; // stays and is tried again on the next tick
        const QStringList paths = decodePaths(file.readAll());
        file.close();
        if (paths.isEmpty())
            continue;
        if (sink)
            sink(paths);
        QFile::remove(path);
        ++consumed;
    }
    return consumed;
}

} // namespace InstanceEndpoint
