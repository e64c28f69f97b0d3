// Unix half of the worker extraction: folders and copies judged by owner and mode, missing folders made private,
// and the worker started through the descriptor it was checked through.
#include "tools/WorkerCopy.h"
#include "tools/WorkerExtraction.h"

#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace WorkerExtraction {

namespace {

bool changeableByOthers(const struct stat& st)
{
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool ownedByUsOrRoot(const struct stat& st)
{
    return st.st_uid == ::geteuid() || st.st_uid == 0;
}

QString absoluteClean(const QString& path)
{
    return QDir::cleanPath(QDir(path).absolutePath());
}

// Makes the missing folders of path one at a time with mode 0700 in the creating call, so no umask leaves them
// open to others even for a moment.
bool createPrivatePath(const QString& path)
{
    QStringList missing;
    struct stat st
    {
    };
    for (QString current = absoluteClean(path);
         ::lstat(QFile::encodeName(current).constData(), &st) != 0 && errno == ENOENT;
         current = QFileInfo(current).path()) {
        missing.prepend(current);
        if (current == QLatin1String("/"))
            return false;
    }
    for (const QString& folder : std::as_const(missing)) {
        if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// Closes to others the folders strictly between base and folder that this user owns: they are the program's
// own, and an earlier run under a permissive umask may have left them group-writable. base and what lies above
// it belong to the user or the system and are only judged.
void tightenOwnFolders(const QString& base, const QString& folder)
{
    const QString top = absoluteClean(base);
    const QString prefix = top == QLatin1String("/") ? top : top + QLatin1Char('/');
    for (QString current = absoluteClean(folder); current.startsWith(prefix) && current != top;
         current = QFileInfo(current).path()) {
        const int fd = ::open(QFile::encodeName(current).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st
        {
        };
        if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0)
            ::fchmod(fd, st.st_mode & 0700);
        ::close(fd);
    }
}

// Opens target without following a link and checks, through that descriptor, that it is our worker: a regular
// file of this user or root that nobody else may write, runnable by its owner, holding the embedded bytes.
// Returns the descriptor, left open across exec so a child can start through it, or -1.
int openCheckedWorker(const QString& target, const QString& resourcePath)
{
    const QByteArray expected = embeddedDigest(resourcePath);
    if (expected.isEmpty())
        return -1;
    // O_NONBLOCK: a FIFO in the worker's place must not stall the open.
    const int fd = ::open(QFile::encodeName(target).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st
    {
    };
    bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ownedByUsOrRoot(st) && !changeableByOthers(st) &&
                (st.st_mode & S_IXUSR) != 0;
    if (ours) {
        QFile file;
        ours = file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle) && sha256Of(file) == expected;
    }
    if (!ours) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The descriptor of the worker last checked, and the private folder of this process whose link names it.
struct LaunchState
{
    QMutex mutex;
    int fd = -1;
    QString folder;

    ~LaunchState()
    {
        if (folder.isEmpty())
            return;
        ::unlink(QFile::encodeName(QDir(folder).filePath(QLatin1String(kWorkerFileName))).constData());
        ::rmdir(QFile::encodeName(folder).constData());
    }
};

// Removes the launch folders that processes which ended without cleaning up (a crash, a kill) left in folder.
void removeStaleLaunchFolders(const QString& folder)
{
    const QStringList names = QDir(folder).entryList({QStringLiteral("worker-*-*")}, QDir::Dirs | QDir::NoSymLinks);
    for (const QString& name : names) {
        bool numeric = false;
        const qint64 pid = name.section(QLatin1Char('-'), 1, 1).toLongLong(&numeric);
        if (!numeric || pid <= 0 || pid == ::getpid() || ::kill(pid_t(pid), 0) == 0 || errno != ESRCH)
            continue;
        const QString path = QDir(folder).filePath(name);
        for (const QString& link :
             {QString::fromLatin1(kWorkerFileName), QString::fromLatin1(kWorkerFileName) + QStringLiteral(".new")})
            ::unlink(QFile::encodeName(QDir(path).filePath(link)).constData());
        ::rmdir(QFile::encodeName(path).constData());
    }
}

LaunchState& launchState()
{
    static LaunchState state;
    return state;
}

// Names the checked descriptor by a path that callers can start, and whose folder joined with the worker's file
// name is that same path: a link "/proc/self/fd/<fd>" in a folder only this process uses. The link is read by
// whichever process resolves it, and a started worker inherits the descriptor, so it resolves to the checked
// file there as well. Takes the descriptor; returns checkedPath when the descriptor cannot be named.
QString launchPathFor(int fd, const QString& checkedPath)
{
    LaunchState& state = launchState();
    const QMutexLocker lock(&state.mutex);
    const QByteArray fdPath = "/proc/self/fd/" + QByteArray::number(fd);
    bool named = ::access(fdPath.constData(), F_OK) == 0;
    if (named && state.folder.isEmpty()) {
        const QString privateFolder = Platform::privateUserDirectory();
        if (!privateFolder.isEmpty())
            removeStaleLaunchFolders(privateFolder);
        QByteArray pattern =
            QFile::encodeName(QDir(privateFolder).filePath(QStringLiteral("worker-%1-XXXXXX").arg(::getpid())));
        // mkdtemp creates the folder with mode 0700.
        if (!privateFolder.isEmpty() && ::mkdtemp(pattern.data()))
            state.folder = QFile::decodeName(pattern);
        named = !state.folder.isEmpty();
    }
    QString link;
    if (named) {
        link = QDir(state.folder).filePath(QLatin1String(kWorkerFileName));
        const QByteArray fresh = QFile::encodeName(link + QStringLiteral(".new"));
        ::unlink(fresh.constData());
        named = ::symlink(fdPath.constData(), fresh.constData()) == 0 &&
                ::rename(fresh.constData(), QFile::encodeName(link).constData()) == 0;
    }
    if (!named) {
        ::close(fd);
        return checkedPath;
    }
    if (state.fd >= 0)
        ::close(state.fd);
    state.fd = fd;
    return link;
}

} // namespace

bool folderIsPrivate(const QString& folder)
{
    QString current = QFileInfo(folder).canonicalFilePath();
    if (current.isEmpty())
        return false;
    for (bool first = true;; first = false) {
        struct stat st
        {
        };
        if (::lstat(QFile::encodeName(current).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
        if (!ownedByUsOrRoot(st))
            return false;
        // Others may add entries to a root-owned sticky folder (/tmp) but not rename or remove ours; the folder
        // holding the worker itself must be closed to them entirely.
        const bool sharedSticky = !first && st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0;
        if (changeableByOthers(st) && !sharedSticky)
            return false;
        if (current == QLatin1String("/"))
            return true;
        current = QFileInfo(current).path();
    }
}

Verdict judgeExistingWorker(const QString& folder, const QString& target, const QString& resourcePath)
{
    // In a folder others can change, a copy checked now could be swapped before it is started, and a fresh copy
    // likewise: nothing there is used or written.
    if (!folderIsPrivate(folder))
        return Verdict::Skip;
    const int fd = openCheckedWorker(target, resourcePath);
    if (fd < 0)
        return Verdict::Replace;
    ::close(fd);
    return Verdict::Trusted;
}

QString extractWorker(const QList<Candidate>& candidates, const QString& resourcePath)
{
    for (const Candidate& candidate : candidates) {
        if (!createPrivatePath(candidate.folder))
            continue;
        tightenOwnFolders(candidate.base, candidate.folder);
        if (!folderIsPrivate(candidate.folder))
            continue;
        // The resolved folder is the one judged private; a link on the way there could be re-pointed by its
        // owner, so nothing goes through the path as given from here on.
        const QString folder = QFileInfo(candidate.folder).canonicalFilePath();
        const QString target = QDir(folder).filePath(QLatin1String(kWorkerFileName));
        int fd = openCheckedWorker(target, resourcePath);
        if (fd < 0) {
            if (!writeFreshCopy(target, resourcePath))
                continue;
            fd = openCheckedWorker(target, resourcePath);
            if (fd < 0)
                continue;
        }
        return launchPathFor(fd, target);
    }
    return QString();
}

} // namespace WorkerExtraction
