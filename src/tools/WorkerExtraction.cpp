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
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace WorkerExtraction {

namespace {

QString versionFolder()
{
    return QStringLiteral("components/%1").arg(QCoreApplication::applicationVersion());
}

QByteArray sha256Of(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QByteArray();
    return hash.result();
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
#endif

// A regular file of this user or root, runnable by its owner, that nobody else may write.
bool fileIsOurs(const QString& target)
{
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::lstat(QFile::encodeName(target).constData(), &st) != 0)
        return false;
    return S_ISREG(st.st_mode) && ownedByUsOrRoot(st) && !changeableByOthers(st) && (st.st_mode & S_IXUSR) != 0;
#else
    Q_UNUSED(target);
    return false;
#endif
}

} // namespace

QStringList candidateFolders()
{
    const QString perVersion = versionFolder();
    QStringList folders;
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (!appData.isEmpty())
        folders << QDir(appData).filePath(perVersion);
    folders << QDir(QCoreApplication::applicationDirPath()).filePath(perVersion);
    // Not the shared temporary folder: on Unix every user can write there and could leave a worker of their own.
    const QString privateTemp = Platform::privateUserDirectory();
    if (!privateTemp.isEmpty())
        folders << QDir(privateTemp).filePath(perVersion);
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
    // The embedded copy cannot change while the program runs: it is hashed once per process.
    static QMutex mutex;
    static QHash<QString, QByteArray> embeddedDigests;
    QByteArray embedded;
    {
        const QMutexLocker lock(&mutex);
        auto it = embeddedDigests.find(resourcePath);
        if (it == embeddedDigests.end())
            it = embeddedDigests.insert(resourcePath, sha256Of(resourcePath));
        embedded = it.value();
    }
    return !embedded.isEmpty() && sha256Of(target) == embedded;
}

Verdict judgeExistingWorker(const QString& folder, const QString& target, const QString& resourcePath)
{
#ifdef Q_OS_UNIX
    Q_UNUSED(resourcePath);
    // In a folder others can change, a copy checked now (by owner or by bytes) could be swapped before it is
    // started, and a fresh copy likewise: nothing there is used or written.
    if (!folderIsPrivate(folder))
        return Verdict::Skip;
    return fileIsOurs(target) ? Verdict::Trusted : Verdict::Replace;
#else
    Q_UNUSED(folder);
    return fileIsOurs(target) || matchesEmbeddedCopy(target, resourcePath) ? Verdict::Trusted : Verdict::Replace;
#endif
}

QString extractWorker(const QStringList& folders, const QString& resourcePath)
{
    for (const QString& folder : folders) {
        const QString target = QDir(folder).absoluteFilePath(QLatin1String(kWorkerFileName));
        const QFileInfo existing(target);
        // A zero-byte file counts as absent (an interrupted copy of an older writer) and is written over.
        if ((existing.exists() && existing.size() > 0) || existing.isSymLink()) {
            const Verdict verdict = judgeExistingWorker(folder, target, resourcePath);
            if (verdict == Verdict::Trusted)
                return target;
            if (verdict == Verdict::Skip)
                continue;
        }

        QFile resource(resourcePath);
        if (!resource.open(QIODevice::ReadOnly))
            continue;
        if (!QDir().mkpath(folder) || !folderIsPrivate(folder))
            continue;
        // QSaveFile writes through a symbolic link to its target; the link itself is what must go.
        if (QFileInfo(target).isSymLink() && !QFile::remove(target))
            continue;
        QSaveFile save(target);
        if (!save.open(QIODevice::WriteOnly))
            continue;
        // Set on the temporary file, so the worker appears under its name already runnable, and not inheriting
        // the permissions of whatever it replaces.
        save.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                            QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                            QFileDevice::ExeOther);
        const QByteArray bytes = resource.readAll();
        if (bytes.isEmpty() || bytes.size() != resource.size() || save.write(bytes) != bytes.size() ||
            !save.commit()) {
            continue; // the QSaveFile destructor discards the partial copy
        }
        return target;
    }
    return QString();
}

QString workerExecutablePath()
{
    return extractWorker(candidateFolders(), QLatin1String(kWorkerResource));
}

} // namespace WorkerExtraction
