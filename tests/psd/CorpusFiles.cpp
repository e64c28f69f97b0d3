#include "CorpusFiles.h"

#include <QDir>
#include <QFile>

namespace psdtest {

QString corpusDir()
{
    const QString dir = qEnvironmentVariable("LEANFOLD_CORPUS");
    if (dir.isEmpty() || !QFile::exists(dir + QLatin1String("/MANIFEST.tsv")))
        return {};
    return dir;
}

QList<CorpusRow> corpusRows()
{
    QList<CorpusRow> rows;
    const QString dir = corpusDir();
    if (dir.isEmpty())
        return rows;
    QFile manifest(dir + QLatin1String("/MANIFEST.tsv"));
    if (!manifest.open(QIODevice::ReadOnly))
        return rows;
    const QList<QByteArray> header = manifest.readLine().trimmed().split('\t');
    while (!manifest.atEnd()) {
        const QByteArray line = manifest.readLine();
        const QList<QByteArray> fields = line.chopped(line.endsWith('\n') ? 1 : 0).split('\t');
        if (fields.size() < 2)
            continue;
        CorpusRow row;
        row.file = QString::fromUtf8(fields[0]);
        for (qsizetype i = 0; i < fields.size() && i < header.size(); ++i)
            row.columns.insert(QString::fromUtf8(header[i]), QString::fromUtf8(fields[i]));
        rows.append(row);
    }
    return rows;
}

QByteArray readWhole(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

} // namespace psdtest
