#include "RuntimeLog.h"

#include "platform/Platform.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QOperatingSystemVersion>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>

#include <atomic>
#include <cstdlib>
#include <mutex>

#if defined(Q_OS_WIN)
#include <qt_windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(Q_OS_LINUX)
#include <sys/syscall.h>
#endif
#endif

namespace RuntimeLog {
namespace {

constexpr qint64 kRollOverBytes = 5 * 1024 * 1024;
// A record is written in microseconds; a holder that keeps the lock this long has stopped, and waiting on would
// freeze every other process's logging with it.
constexpr int kFolderLockWaitMilliseconds = 2000;

QString logPath;
QString sessionId;
std::atomic<quint64> recordCounter{0};
QtMessageHandler previousHandler = nullptr;
std::mutex logLock;
bool installed = false;

quint64 currentThreadId()
{
#if defined(Q_OS_WIN)
    return GetCurrentThreadId();
#elif defined(Q_OS_LINUX)
    return static_cast<quint64>(::syscall(SYS_gettid));
#else
    return reinterpret_cast<quintptr>(QThread::currentThreadId());
#endif
}

const char* levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "DEBUG";
    case QtWarningMsg:
        return "WARN";
    case QtCriticalMsg:
        return "ERROR";
    case QtFatalMsg:
        return "FATAL";
    case QtInfoMsg:
        return "INFO";
    }
    return "INFO";
}

// Text from outside (file names, worker output, other programs' messages) must stay inside its quotes: a quote or
// a line break in it would end the field or start what reads as a record of its own. Backslash, quote, CR and LF
// get C-style escapes, other control characters \xHH; everything else, non-ASCII included, is written as it is.
QByteArray quotedField(const QByteArray& text)
{
    QByteArray out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

QByteArray fileNamePart(const char* path)
{
    const QByteArray full(path);
    const qsizetype cut = qMax(full.lastIndexOf('/'), full.lastIndexOf('\\'));
    return full.mid(cut + 1);
}

#if defined(Q_OS_WIN)

void rollOverIfNeeded(const QString& path)
{
    const QFileInfo info(path);
    if (info.exists() && info.size() > kRollOverBytes) {
        QFile::remove(path + QStringLiteral(".1"));
        QFile::rename(path, path + QStringLiteral(".1"));
    }
}

// Text mode turns every "\n" of the record into CR LF, the platform's line terminator.
class LogFile
{
public:
    bool open(const QString& path, bool truncate)
    {
        file.setFileName(path);
        return file.open(truncate ? (QIODevice::WriteOnly | QIODevice::Truncate)
                                  : (QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text));
    }
    void write(const QByteArray& bytes) { file.write(bytes); }
    void close() { file.close(); }

private:
    QFile file;
};

bool ensurePrivateFolder(const QString& path)
{
    return !path.isEmpty() && QDir().mkpath(path);
}

#else

// Sizes are read with lstat: a symbolic link named runtime.log is never followed, so it is never rolled.
void rollOverIfNeeded(const QString& path)
{
    const QByteArray current = QFile::encodeName(path);
    struct stat st;
    if (::lstat(current.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= kRollOverBytes)
        return;
    const QByteArray backup = current + ".1";
    ::unlink(backup.constData());
    ::rename(current.constData(), backup.constData());
}

// A log file is only written when it is a regular file of ours reached without following a symbolic link:
// anything another user placed under the name (a link, a FIFO, a file they own) is left alone. O_NONBLOCK keeps
// a planted FIFO from blocking the open while the log lock is held.
class LogFile
{
public:
    ~LogFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool open(const QString& path, bool truncate)
    {
        const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (truncate ? 0 : O_APPEND);
        fd = ::open(QFile::encodeName(path).constData(), flags, truncate ? 0644 : 0600);
        if (fd < 0)
            return false;
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
            ::close(fd);
            fd = -1;
            return false;
        }
        // Truncate only after the checks, so a file that is not ours is never emptied.
        if (truncate && ::ftruncate(fd, 0) != 0) {
            ::close(fd);
            fd = -1;
            return false;
        }
        return true;
    }
    void write(const QByteArray& bytes)
    {
        const char* data = bytes.constData();
        qsizetype left = bytes.size();
        while (left > 0) {
            const ssize_t done = ::write(fd, data, static_cast<size_t>(left));
            if (done < 0 && errno == EINTR)
                continue;
            if (done <= 0)
                return;
            data += done;
            left -= done;
        }
    }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

private:
    int fd = -1;
};

// The folder must end up a real directory owned by us that nobody else can enter; only its last component is
// created here, so a missing parent is never made with a default, shared mode.
bool ensurePrivateFolder(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
    if (ok && (st.st_mode & 0077) != 0)
        ok = ::fchmod(fd, 0700) == 0;
    ::close(fd);
    return ok;
}

#endif

bool usableFolder(const QString& path)
{
    return !path.isEmpty() && QDir().mkpath(path) && QFileInfo(path).isWritable();
}

QString operatingSystemName()
{
    const QString name = QOperatingSystemVersion::current().name();
    // Qt only names the systems it has a version table for; elsewhere (Linux) the distribution stands in.
    return name.isEmpty() ? QSysInfo::productType() : name;
}

QString operatingSystemVersion()
{
    const QOperatingSystemVersion os = QOperatingSystemVersion::current();
    if (os.majorVersion() < 0)
        return QSysInfo::productVersion();
    return QStringLiteral("%1.%2.%3")
        .arg(os.majorVersion())
        .arg(qMax(0, os.minorVersion()))
        .arg(qMax(0, os.microVersion()));
}

} // namespace

QString chooseLogFolder(const QString& programLogs, const QString& userDataLogs, const QString& privateLogs)
{
    if (usableFolder(programLogs))
        return programLogs;
    if (usableFolder(userDataLogs))
        return userDataLogs;
    if (ensurePrivateFolder(privateLogs))
        return privateLogs;
    return QString();
}

void installAt(const QString& logFolder)
{
    if (installed)
        return;
    installed = true;
    logPath = logFolder.isEmpty() ? QString() : QDir(logFolder).filePath(QStringLiteral("runtime.log"));
    sessionId = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmsszzz")) + QLatin1Char('-') +
                QString::number(QCoreApplication::applicationPid());
    previousHandler = qInstallMessageHandler(messageHandler);
}

void initialize()
{
    // A program installed by the package manager (/usr/bin) never writes beside itself, not even run as root.
    const QString programFolder = QCoreApplication::applicationDirPath();
    const QString programLogs = Platform::isSystemProgramFolder(programFolder)
                                    ? QString()
                                    : QDir(programFolder).filePath(QStringLiteral("logs"));
    const QString userData = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    const QString userDataLogs = userData.isEmpty() ? QString() : userData + QStringLiteral("/logs");
    // The shared temporary folder is no place for a log: the last resort is a folder only this user can enter.
    const QString privateRoot = Platform::privateUserDirectory();
    const QString privateLogs = privateRoot.isEmpty() ? QString() : QDir(privateRoot).filePath(QStringLiteral("logs"));
    installAt(chooseLogFolder(programLogs, userDataLogs, privateLogs));

    qInfo().noquote() << "session_begin"
                      << "app_version=" << QCoreApplication::applicationVersion()
                      << "qt_version=" << QString::fromLatin1(qVersion()) << "os=" << operatingSystemName()
                      << "os_version=" << operatingSystemVersion() << "kernel=" << QSysInfo::kernelType()
                      << QSysInfo::kernelVersion() << "cpu=" << QSysInfo::currentCpuArchitecture()
                      << "build_cpu=" << QSysInfo::buildCpuArchitecture()
                      << "executable=" << QCoreApplication::applicationFilePath();
}

QString runtimeLogPath()
{
    return logPath;
}

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // Held across roll-over, write and the chained call, so records never interleave and the limit is crossed
    // once. Nothing below may log: the lock is not recursive.
    logLock.lock();

    if (!logPath.isEmpty()) {
        // The mutex orders this process's threads; the lock file orders every process sharing the folder, so two
        // of them cannot both see the file past the limit and the second roll away the first one's backup. A
        // lock file that cannot be had leaves the record unserialised rather than lost.
        const qintptr folderLock = Platform::lockFile(logPath + QStringLiteral(".lock"), kFolderLockWaitMilliseconds);
        rollOverIfNeeded(logPath);
        LogFile file;
        if (file.open(logPath, false)) {
            QByteArray record = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8();
            record += " seq=" + QByteArray::number(recordCounter.fetch_add(1));
            record += " session=" + sessionId.toUtf8();
            record += " level=";
            record += levelWord(type);
            record += " pid=" + QByteArray::number(QCoreApplication::applicationPid());
            record += " thread=" + QByteArray::number(currentThreadId());
            if (context.category && *context.category) {
                record += " category=";
                record += context.category;
            }
            record += " message=" + quotedField(message.toUtf8());
            if (context.file && *context.file)
                record += " source=" + fileNamePart(context.file) + ':' + QByteArray::number(context.line);
            if (context.function && *context.function)
                record += " function=" + quotedField(QByteArray(context.function));
            record += '\n';
            file.write(record);
        }
        file.close();
        Platform::unlockFile(folderLock);
    }

    if (previousHandler)
        previousHandler(type, context, message);

    if (type == QtFatalMsg)
        std::abort();

    logLock.unlock();
}

void recordReleaseHistory()
{
    if (logPath.isEmpty())
        return;
    QFile resource(QStringLiteral(":/docs/release-history.json"));
    if (!resource.open(QIODevice::ReadOnly))
        return;
    const QString destination = QFileInfo(logPath).absoluteDir().filePath(QStringLiteral("release-history.json"));
    {
        LogFile copy;
        if (!copy.open(destination, true))
            return;
        copy.write(resource.readAll());
    }
    qInfo().noquote() << "release history written" << destination;
}

} // namespace RuntimeLog
