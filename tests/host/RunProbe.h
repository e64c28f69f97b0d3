#pragma once

#include "app/StandaloneMain.h"
#include "i18n/Localization.h"
#include "page/IntegratedToolPage.h"
#include "tools/WorkerExtraction.h"

#include <QCheckBox>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProgressBar>
#include <QSettings>
#include <QPushButton>
#include <QTextEdit>
#include <QTreeWidget>

#include <functional>

// What a run test looks at on a page: the widgets a run drives, found once right after the page is built (the
// status label by its first text), and the queue rows' statuses.
struct RunProbe {
    explicit RunProbe(IntegratedToolPage& page)
        : page(page)
    {
        for (QLabel* label : page.findChildren<QLabel*>()) {
            if (label->text() == localizedText(QStringLiteral("就绪")))
                status = label;
            else if (label->text() == localizedText(QStringLiteral("已用时间：00:00:00")))
                elapsed = label;
            else if (label->text() == localizedText(QStringLiteral("剩余时间：--:--:--")))
                remaining = label;
        }
        bar = page.findChild<QProgressBar*>();
        log = page.findChild<QTextEdit*>(QStringLiteral("integratedToolLog"));
        start = page.findChild<QPushButton*>(QStringLiteral("toolStart"));
        tree = page.findChild<QTreeWidget*>(QStringLiteral("integratedToolDropList"));
    }

    bool complete() const { return status && bar && log && start && tree; }

    QStringList rowStatuses() const
    {
        QStringList statuses;
        for (int i = 0; i < tree->topLevelItemCount(); ++i)
            statuses.append(tree->topLevelItem(i)->text(3));
        return statuses;
    }

    QStringList logLines() const { return log->toPlainText().split(QLatin1Char('\n')); }

    // Log lines that contain text.
    QStringList logLinesWith(const QString& text) const { return logLines().filter(text); }

    IntegratedToolPage& page;
    QLabel* status = nullptr;
    QLabel* elapsed = nullptr;
    QLabel* remaining = nullptr;
    QProgressBar* bar = nullptr;
    QTextEdit* log = nullptr;
    QPushButton* start = nullptr;
    QTreeWidget* tree = nullptr;
};

// Sees each worker the page creates at the moment it is created, before it is started: the status text and the
// job file as they are then. A test can act at that moment too (tick a box, set the stand-in's environment),
// since a worker's environment and the page's next job are read only afterwards.
class WorkerWatcher : public QObject
{
public:
    WorkerWatcher(IntegratedToolPage& page, QLabel* status, QString jobPattern)
        : status(status)
        , jobPattern(std::move(jobPattern))
    {
        page.installEventFilter(this);
    }

    QStringList statuses;
    QList<QJsonObject> jobs;
    std::function<void(int workerIndex)> onWorker;

    static QStringList jobFiles(const QString& pattern)
    {
        return QDir(QDir::tempPath()).entryList({pattern}, QDir::Files | QDir::Hidden, QDir::Name);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Sent while the QProcess is being constructed, after the page wrote the job and the status.
        if (event->type() == QEvent::ChildAdded) {
            const QStringList files = jobFiles(jobPattern);
            if (files.size() == 1) {
                QFile job(QDir(QDir::tempPath()).filePath(files.first()));
                if (job.open(QIODevice::ReadOnly)) {
                    statuses.append(status->text());
                    jobs.append(QJsonDocument::fromJson(job.readAll()).object());
                    if (onWorker)
                        onWorker(int(jobs.size()) - 1);
                }
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QLabel* status;
    QString jobPattern;
};

// Counts Qt's warning about a QProcess destroyed while its process still ran: a run must never leave one.
namespace ProcessHygiene {

inline int& destroyedWhileRunning()
{
    static int count = 0;
    return count;
}

inline QtMessageHandler& previousHandler()
{
    static QtMessageHandler handler = nullptr;
    return handler;
}

inline void install()
{
    previousHandler() = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context,
                                                  const QString& message) {
        if (message.contains(QLatin1String("QProcess: Destroyed while process")))
            ++destroyedWhileRunning();
        if (previousHandler())
            previousHandler()(type, context, message);
    });
}

} // namespace ProcessHygiene

// Where this test's page looks for the worker first; run tests plant stand-ins there and remove them again.
inline QString extractedWorkerPath()
{
    return QDir(WorkerExtraction::candidateFolders().at(0)).filePath(QStringLiteral("LeanfoldWorker.exe"));
}

// Every run test starts alike: the application identity, Chinese texts, the hygiene counter, and none of the job
// files that an interrupted earlier run left in this test's own temporary folder (they would be counted as ours).
inline void prepareRunTest(const QString& jobPattern)
{
    setUpApplicationIdentity();
    QSettings().setValue(QStringLiteral("general/language"), QStringLiteral("zh_CN"));
    ProcessHygiene::install();
    for (const QString& stale : WorkerWatcher::jobFiles(jobPattern))
        QFile::remove(QDir(QDir::tempPath()).filePath(stale));
}
