#pragma once

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

// Reads what real Leanfold processes wrote to their shared runtime.log since the test began, one record per
// line; a record belongs to a process through its " pid=" field. Only appended records are read, and a
// roll-over (the file shrinks) restarts the reading at the new file's beginning.
class LeanfoldProcessLog {
public:
    explicit LeanfoldProcessLog(const QString& executable)
        : path(QFileInfo(executable).absolutePath() + QStringLiteral("/logs/runtime.log"))
    {
        offset = QFileInfo(path).size();
    }

    QString filePath() const { return path; }

    // Every record of process pid whose message contains text.
    QStringList records(qint64 pid, const QString& text)
    {
        refresh();
        const QString owner = QStringLiteral(" pid=%1 ").arg(pid);
        QStringList found;
        for (const QString& line : lines) {
            if (line.contains(owner) && line.contains(text))
                found.append(line);
        }
        return found;
    }

    bool has(qint64 pid, const QString& text) { return !records(pid, text).isEmpty(); }

    // Every record of any process whose message contains text.
    QStringList anyRecords(const QString& text)
    {
        refresh();
        QStringList found;
        for (const QString& line : lines) {
            if (line.contains(text))
                found.append(line);
        }
        return found;
    }

private:
    void refresh()
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return;
        if (file.size() < offset)
            offset = 0;
        file.seek(offset);
        pending += file.readAll();
        offset = file.pos();
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            lines.append(QString::fromUtf8(pending.left(end)));
            pending.remove(0, end + 1);
        }
    }

    QString path;
    qint64 offset = 0;
    QByteArray pending;
    QStringList lines;
};
