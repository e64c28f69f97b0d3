#include "platform/Platform.h"

#include <QDir>
#include <QProcess>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

QString errnoText(const QString& what, int code)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(code)));
}

// Checks an open folder: a real directory (the open used O_NOFOLLOW), owned by us, no access for anyone else.
bool isPrivateFolder(int fd, QString* error, const QString& path)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0) {
        if (error)
            *error = errnoText(path, errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
        if (error)
            *error = QStringLiteral("%1 is not a private folder of this user").arg(path);
        return false;
    }
    return true;
}

// Creates path with mode 0700 when missing and verifies it without following a symbolic link, so a folder or
// link planted by another user under a shared location is refused instead of used.
bool ensurePrivateFolder(const QString& path, QString* error)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        if (error)
            *error = errnoText(path, errno);
        return false;
    }
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = errnoText(path, errno);
        return false;
    }
    const bool ok = isPrivateFolder(fd, error, path);
    ::close(fd);
    return ok;
}

int heldLockDescriptor = -1;

} // namespace

QString userName()
{
    const QString fromEnvironment = qEnvironmentVariable("USERNAME");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    long bufferSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (bufferSize <= 0)
        bufferSize = 16384;
    QByteArray buffer(bufferSize, Qt::Uninitialized);
    struct passwd entry
    {
    };
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return QString();
}

QString choosePrivateUserDirectory(const QString& runtimeDir, const QString& userRunDir, const QString& tempDir,
                                   const QString& cacheDir, QString* error)
{
    // A runtime folder is only borrowed when it already is ours and private; our folder inside it is then made.
    for (const QString& base : {runtimeDir, userRunDir}) {
        if (base.isEmpty() || !QDir::isAbsolutePath(base))
            continue;
        const int fd = ::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        const bool usable = isPrivateFolder(fd, nullptr, base);
        ::close(fd);
        const QString path = QDir(base).filePath(QStringLiteral("Lumora"));
        if (usable && ensurePrivateFolder(path, nullptr))
            return path;
    }
    // The temporary folder is shared by every user: the name carries the uid and the folder is verified.
    const QString path = QDir(tempDir).filePath(QStringLiteral("Lumora-%1").arg(static_cast<qulonglong>(::getuid())));
    QString tempError;
    if (ensurePrivateFolder(path, &tempError))
        return path;
    // Anyone can plant that name in the temporary folder before our first start. The cache folder lies in the
    // user's home, where only the user can have made anything: a folder there is ours by construction. It is
    // only the last resort, so that every launch with a runtime folder still meets the others there.
    QString cacheError;
    if (!cacheDir.isEmpty() && QDir::isAbsolutePath(cacheDir)) {
        const QByteArray native = QFile::encodeName(cacheDir);
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
            cacheError = errnoText(cacheDir, errno);
        } else {
            // The cache folder itself may be a link (to another disk); what it leads to must be ours alone.
            struct stat st
            {
            };
            if (::stat(native.constData(), &st) != 0)
                cacheError = errnoText(cacheDir, errno);
            else if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
                cacheError = QStringLiteral("%1 is not a folder of this user alone").arg(cacheDir);
            else {
                const QString fallback = QDir(cacheDir).filePath(QStringLiteral("Lumora-private"));
                if (ensurePrivateFolder(fallback, &cacheError))
                    return fallback;
            }
        }
    }
    if (error)
        *error = cacheError.isEmpty() ? tempError : QStringLiteral("%1; %2").arg(tempError, cacheError);
    return QString();
}

bool isSystemProgramFolder(const QString& programFolder)
{
    const QString path = QDir::cleanPath(programFolder);
    for (const char* root : {"/usr", "/bin", "/sbin", "/lib", "/opt"}) {
        const QLatin1String prefix(root);
        if (path == prefix || path.startsWith(prefix + QLatin1Char('/')))
            return true;
    }
    return false;
}

QString privateUserDirectory(QString* error)
{
    return choosePrivateUserDirectory(qEnvironmentVariable("XDG_RUNTIME_DIR"),
                                      QStringLiteral("/run/user/%1").arg(static_cast<qulonglong>(::getuid())),
                                      QDir::tempPath(),
                                      QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation), error);
}

InstanceLock acquireInstanceLock(const QString& toolId, QString* error)
{
    if (heldLockDescriptor >= 0)
        return InstanceLock::Acquired;
    const QString folder = privateUserDirectory(error);
    if (folder.isEmpty())
        return InstanceLock::Failed;

    // No session id in the name: a launch from a terminal and one from the desktop must meet the same lock, as
    // they meet the same endpoint and inbox.
    const QString path = QDir(folder).filePath(QStringLiteral("Lumora.Tool.%1.lock").arg(toolId));

    // O_CLOEXEC: workers and restarted copies of the program must not inherit the lock.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = errnoText(path, errno);
        return InstanceLock::Failed;
    }
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        heldLockDescriptor = fd; // never closed: the lock lives exactly as long as the process
        return InstanceLock::Acquired;
    }
    const int code = errno;
    ::close(fd);
    if (code == EWOULDBLOCK)
        return InstanceLock::AlreadyRunning;
    if (error)
        *error = errnoText(path, code);
    return InstanceLock::Failed;
}

void releaseInstanceLock()
{
    if (heldLockDescriptor < 0)
        return;
    ::close(heldLockDescriptor); // closing the only descriptor drops the flock
    heldLockDescriptor = -1;
}

Qt::CaseSensitivity fileNameCase()
{
    return Qt::CaseSensitive;
}

qintptr lockFile(const QString& path, int waitMilliseconds)
{
    const QByteArray name = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    // Polled: a blocking flock cannot be given a time limit without a signal.
    for (int waited = 0;; ++waited) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return fd;
        if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= waitMilliseconds)
            break;
        ::usleep(1000);
    }
    ::close(fd);
    return -1;
}

void unlockFile(qintptr handle)
{
    if (handle >= 0)
        ::close(int(handle)); // closing the only descriptor drops the flock
}

void askToEnd(QProcess& process)
{
    process.terminate();
}

} // namespace Platform
