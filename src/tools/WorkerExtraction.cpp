#include "tools/WorkerExtraction.h"
#include "tools/WorkerCopy.h"

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

namespace WorkerExtraction {

namespace {

QString versionFolder()
{
    return QStringLiteral("components/%1").arg(QCoreApplication::applicationVersion());
}

} // namespace

QByteArray sha256Of(QIODevice& device)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&device))
        return QByteArray();
    return hash.result();
}

namespace {

QByteArray sha256OfFile(const QString& path)
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

} // namespace

// The embedded copy cannot change while the program runs: it is hashed once per process.
QByteArray embeddedDigest(const QString& resourcePath)
{
    ResourceState& state = resourceState();
    const QMutexLocker lock(&state.mutex);
    auto it = state.digests.find(resourcePath);
    if (it == state.digests.end())
        it = state.digests.insert(resourcePath, sha256OfFile(resourcePath));
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

bool matchesEmbeddedCopy(const QString& target, const QString& resourcePath)
{
    const QByteArray embedded = embeddedDigest(resourcePath);
    return !embedded.isEmpty() && sha256OfFile(target) == embedded;
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
