#include "tools/WorkerExtraction.h"

#include "platform/Platform.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QSaveFile>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace WorkerExtraction {

namespace {

QString versionFolder()
{
    return QStringLiteral("components/%1").arg(QCoreApplication::applicationVersion());
}

QByteArray sha256Of(QIODevice& device)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&device))
        return QByteArray();
    return hash.result();
}

QByteArray sha256Of(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return sha256Of(file);
}

struct ResourceState
{
    QMutex mutex;
    QString resourcePath = QLatin1String(kWorkerResource);
    QHash<QString, QByteArray> digests;
};

ResourceState& resourceState()
{
    static ResourceState state;
    return state;
}

// The embedded copy cannot change while the program runs: it is hashed once per process.
QByteArray embeddedDigest(const QString& resourcePath)
{
    ResourceState& state = resourceState();
    const QMutexLocker lock(&state.mutex);
    auto it = state.digests.find(resourcePath);
    if (it == state.digests.end())
        it = state.digests.insert(resourcePath, sha256Of(resourcePath));
    return it.value();
}

bool writeFreshCopy(const QString& target, const QString& resourcePath)
{
    QFile resource(resourcePath);
    if (!resource.open(QIODevice::ReadOnly))
        return false;
    // QSaveFile writes through a symbolic link to its target; the link itself is what must go.
    if (QFileInfo(target).isSymLink() && !QFile::remove(target))
        return false;
    QSaveFile save(target);
    if (!save.open(QIODevice::WriteOnly))
        return false;
    // Set on the temporary file, so the worker appears under its name already runnable, and not inheriting
    // the permissions of whatever it replaces.
    save.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                        QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                        QFileDevice::ExeOther);
    const QByteArray bytes = resource.readAll();
    // On failure the QSaveFile destructor discards the partial copy.
    return !bytes.isEmpty() && bytes.size() == resource.size() && save.write(bytes) == bytes.size() && save.commit();
}

#ifdef Q_OS_UNIX
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
    struct stat st {};
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
#endif

} // namespace

QList<Candidate> candidates()
{
    const QString perVersion = versionFolder();
    QList<Candidate> list;
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (!appData.isEmpty()) {
        // The organisation and application folders under the user's data folder are the program's own.
        QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        if (base.isEmpty() || !QDir::cleanPath(appData).startsWith(QDir::cleanPath(base) + QLatin1Char('/')))
            base = appData;
        list.append({base, QDir(appData).filePath(perVersion)});
    }
    const QString programFolder = QCoreApplication::applicationDirPath();
    list.append({programFolder, QDir(programFolder).filePath(perVersion)});
    // Not the shared temporary folder: on Unix every user can write there and could leave a worker of their own.
    const QString privateTemp = Platform::privateUserDirectory();
    if (!privateTemp.isEmpty())
        list.append({privateTemp, QDir(privateTemp).filePath(perVersion)});
    return list;
}

QStringList candidateFolders()
{
    QStringList folders;
    for (const Candidate& candidate : candidates())
        folders << candidate.folder;
    return folders;
}

bool folderIsPrivate(const QString& folder)
{
#ifdef Q_OS_UNIX
    QString current = QFileInfo(folder).canonicalFilePath();
    if (current.isEmpty())
        return false;
    for (bool first = true;; first = false) {
        struct stat st {};
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
#else
    Q_UNUSED(folder);
    return true;
#endif
}

bool matchesEmbeddedCopy(const QString& target, const QString& resourcePath)
{
    const QByteArray embedded = embeddedDigest(resourcePath);
    return !embedded.isEmpty() && sha256Of(target) == embedded;
}

Verdict judgeExistingWorker(const QString& folder, const QString& target, const QString& resourcePath)
{
#ifdef Q_OS_UNIX
    // In a folder others can change, a copy checked now could be swapped before it is started, and a fresh copy
    // likewise: nothing there is used or written.
    if (!folderIsPrivate(folder))
        return Verdict::Skip;
    const int fd = openCheckedWorker(target, resourcePath);
    if (fd < 0)
        return Verdict::Replace;
    ::close(fd);
    return Verdict::Trusted;
#else
    Q_UNUSED(folder);
    return matchesEmbeddedCopy(target, resourcePath) ? Verdict::Trusted : Verdict::Replace;
#endif
}

QString extractWorker(const QList<Candidate>& candidates, const QString& resourcePath)
{
    for (const Candidate& candidate : candidates) {
#ifdef Q_OS_UNIX
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
#else
        const QString target = QDir(candidate.folder).absoluteFilePath(QLatin1String(kWorkerFileName));
        const QFileInfo existing(target);
        // A zero-byte file counts as absent (an interrupted copy of an older writer) and is written over.
        if (existing.exists() && existing.size() > 0 &&
            judgeExistingWorker(candidate.folder, target, resourcePath) == Verdict::Trusted) {
            return target;
        }
        if (QDir().mkpath(candidate.folder) && writeFreshCopy(target, resourcePath))
            return target;
#endif
    }
    return QString();
}

QString extractWorker(const QStringList& folders, const QString& resourcePath)
{
    QList<Candidate> list;
    for (const QString& folder : folders)
        list.append({folder, folder});
    return extractWorker(list, resourcePath);
}

void setWorkerResource(const QString& resourcePath)
{
    ResourceState& state = resourceState();
    const QMutexLocker lock(&state.mutex);
    state.resourcePath = resourcePath.isEmpty() ? QLatin1String(kWorkerResource) : resourcePath;
    state.digests.clear();
}

QString workerExecutablePath()
{
    QString resourcePath;
    {
        ResourceState& state = resourceState();
        const QMutexLocker lock(&state.mutex);
        resourcePath = state.resourcePath;
    }
    return extractWorker(candidates(), resourcePath);
}

} // namespace WorkerExtraction
