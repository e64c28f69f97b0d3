// Windows half of the worker extraction: the candidates are the user's own profile folders and the program
// folder, and a copy is trusted by its bytes alone.
#include "tools/WorkerCopy.h"
#include "tools/WorkerExtraction.h"

#include <QDir>
#include <QFileInfo>

namespace WorkerExtraction {

bool folderIsPrivate(const QString& folder)
{
    Q_UNUSED(folder);
    return true;
}

Verdict judgeExistingWorker(const QString& folder, const QString& target, const QString& resourcePath)
{
    Q_UNUSED(folder);
    return matchesEmbeddedCopy(target, resourcePath) ? Verdict::Trusted : Verdict::Replace;
}

QString extractWorker(const QList<Candidate>& candidates, const QString& resourcePath)
{
    for (const Candidate& candidate : candidates) {
        const QString target = QDir(candidate.folder).absoluteFilePath(QLatin1String(kWorkerFileName));
        const QFileInfo existing(target);
        // A zero-byte file counts as absent (an interrupted copy of an older writer) and is written over.
        if (existing.exists() && existing.size() > 0 &&
            judgeExistingWorker(candidate.folder, target, resourcePath) == Verdict::Trusted) {
            return target;
        }
        if (QDir().mkpath(candidate.folder) && writeFreshCopy(target, resourcePath))
            return target;
    }
    return QString();
}

} // namespace WorkerExtraction
