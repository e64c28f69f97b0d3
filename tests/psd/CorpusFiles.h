#pragma once

// The shared corpus, read through LEANFOLD_CORPUS and its MANIFEST.tsv.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

namespace psdtest {

struct CorpusRow
{
    QString file; // relative to the corpus folder
    QHash<QString, QString> columns;
    bool damaged() const { return file.contains(QLatin1String("/fixtures/errors/")); }
    int number(const char* column) const { return columns.value(QLatin1String(column)).toInt(); }
};

// The corpus folder, or an empty string when LEANFOLD_CORPUS is unset or missing.
QString corpusDir();
QList<CorpusRow> corpusRows();
QByteArray readWhole(const QString& path);

} // namespace psdtest
