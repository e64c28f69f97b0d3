#include "PsdFixture.h"
#include "RecordingPrompts.h"
#include "RunProbe.h"

#include "app/StandaloneMain.h"
#include "page/IntegratedToolPage.h"
#include "tools/IntegratedTools.h"
#include "tools/WorkerExtraction.h"
#include "window/StandaloneToolWindow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kTimeout = 60000;
const QString kJobPattern = u"Lumora-psd-slim-*.json"_s;

QString recordValue(const QString& record, const QByteArray& key)
{
    const QList<QByteArray> lines = PsdFixture::read(record).split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith(key + '\t'))
            return QString::fromUtf8(line.mid(key.size() + 1));
    }
    return QString();
}

bool processGone(qint64 pid)
{
    return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

} // namespace

// Closing the window ends the run: the worker is stopped, its job file removed, and the user's files are each
// either untouched or completely slimmed.
class TestRunShutdown : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void closingTheWindowEndsTheWorker();
    void closingDuringARealRunKeepsFilesWhole();

private:
    QTemporaryDir scratch;
    RecordingPrompts prompts;
};

void TestRunShutdown::initTestCase()
{
    prepareRunTest(kJobPattern);
    QVERIFY(scratch.isValid());
    // The worker is extracted afresh from this build: a copy an earlier build left in this test's home would be
    // reused as it is.
    QFile::remove(extractedWorkerPath());
}

void TestRunShutdown::cleanup()
{
    // Also after a failed check: the next test must find the real worker, not the stand-in.
    QFile::remove(extractedWorkerPath());
    WorkerExtraction::setWorkerResource(QString());
    qunsetenv("LEANFOLD_FAKE_MODE");
    qunsetenv("LEANFOLD_FAKE_RECORD");
}

void TestRunShutdown::cleanupTestCase()
{
    QCOMPARE(ProcessHygiene::destroyedWhileRunning(), 0);
}

void TestRunShutdown::closingTheWindowEndsTheWorker()
{
    // A stand-in that never ends on its own takes the worker's place.
    const QString planted = extractedWorkerPath();
    QVERIFY(QDir().mkpath(QFileInfo(planted).path()));
    QFile::remove(planted);
    QVERIFY(QFile::copy(QStringLiteral(LEANFOLD_FAKE_WORKER), planted));
    QVERIFY(QFile::setPermissions(planted, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    // Trusted as the embedded worker would be: the page only starts a copy that holds the bytes it carries.
    WorkerExtraction::setWorkerResource(planted);
    const QString record = scratch.filePath(u"sleeping-record"_s);
    qputenv("LEANFOLD_FAKE_MODE", "sleep");
    qputenv("LEANFOLD_FAKE_RECORD", record.toUtf8());

    QStringList paths;
    for (int i = 0; i < 3; ++i) {
        paths.append(scratch.filePath(u"sleep/s%1.psd"_s.arg(i)));
        QVERIFY(QDir().mkpath(QFileInfo(paths.last()).path()));
        QVERIFY(PsdFixture::write(paths.last(), PsdFixture::document(5)));
    }

    auto* window = new StandaloneToolWindow(IntegratedTools::PsdSlim, nullptr);
    window->queuePaths(paths);
    IntegratedToolPage* page = window->toolPage();
    page->setUserPrompts(&prompts);
    window->show();
    RunProbe probe(*page);
    probe.start->click();
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), kTimeout);
    const qint64 pid = recordValue(record, "pid").toLongLong();
    QVERIFY(pid > 0);
    const QStringList jobs = WorkerWatcher::jobFiles(kJobPattern);
    QCOMPARE(jobs.size(), 1);
    QVERIFY(!processGone(pid));

    window->close();
    delete window;

    QVERIFY(processGone(pid));
    QVERIFY(WorkerWatcher::jobFiles(kJobPattern).isEmpty());
    QCOMPARE(ProcessHygiene::destroyedWhileRunning(), 0);
    for (const QString& path : paths)
        QCOMPARE(PsdFixture::read(path), PsdFixture::document(5));
}

void TestRunShutdown::closingDuringARealRunKeepsFilesWhole()
{
    if (!QFile::exists(QLatin1String(WorkerExtraction::kWorkerResource)))
        QSKIP("this build embeds no PSD slim worker");
    const QString worker = IntegratedTools::helperExecutablePath(IntegratedTools::PsdSlim);
    QVERIFY(!worker.isEmpty());

    // Files large enough that the worker is busy with one when the page goes; and the bytes each becomes when
    // slimmed completely, made beforehand from copies by the same worker.
    constexpr int count = 24;
    QStringList paths;
    QStringList references;
    QList<QByteArray> originals;
    for (int i = 0; i < count; ++i) {
        const QByteArray bytes = PsdFixture::document(400 + i, 1000, 1000, char(i));
        paths.append(scratch.filePath(u"real/r%1.psd"_s.arg(i, 2, 10, QLatin1Char('0'))));
        references.append(scratch.filePath(u"reference/r%1.psd"_s.arg(i, 2, 10, QLatin1Char('0'))));
        QVERIFY(QDir().mkpath(QFileInfo(paths.last()).path()));
        QVERIFY(QDir().mkpath(QFileInfo(references.last()).path()));
        QVERIFY(PsdFixture::write(paths.last(), bytes));
        QVERIFY(PsdFixture::write(references.last(), bytes));
        originals.append(bytes);
    }
    QString jobText = u"{\"deep\":false,\"files\":["_s;
    for (int i = 0; i < count; ++i)
        jobText += (i ? u","_s : QString()) + u'"' + references.at(i) + u'"';
    jobText += u"]}"_s;
    const QString job = scratch.filePath(u"reference-job.json"_s);
    QVERIFY(PsdFixture::write(job, jobText.toUtf8()));
    QProcess reference;
    reference.start(worker, {u"--job"_s, job});
    QVERIFY(reference.waitForFinished(kTimeout));
    QCOMPARE(reference.exitCode(), 0);
    QList<QByteArray> slimmed;
    for (const QString& path : references)
        slimmed.append(PsdFixture::read(path));

    auto page = std::make_unique<IntegratedToolPage>(IntegratedTools::PsdSlim, nullptr, false);
    page->setUserPrompts(&prompts);
    page->addPaths(paths, false);
    RunProbe probe(*page);
    probe.start->click();
    // Once the first file is done, the worker is somewhere inside the rest of its batch. Watched on the worker's
    // own output (after the page has read it) rather than polled, so the page goes while the batch still runs.
    auto* running = page->findChild<QProcess*>();
    QVERIFY(running);
    bool firstDone = false;
    connect(running, &QProcess::readyReadStandardOutput, this,
            [&] { firstDone = firstDone || !probe.logLinesWith(u"已完成：r00.psd"_s).isEmpty(); });
    QVERIFY(QTest::qWaitFor([&] { return firstDone; }, kTimeout));
    page.reset();

    QVERIFY(WorkerWatcher::jobFiles(kJobPattern).isEmpty());
    QCOMPARE(ProcessHygiene::destroyedWhileRunning(), 0);
    int done = 0;
    for (int i = 0; i < count; ++i) {
        const QByteArray now = PsdFixture::read(paths.at(i));
        QVERIFY2(now == originals.at(i) || now == slimmed.at(i), qPrintable(paths.at(i)));
        done += now == slimmed.at(i) ? 1 : 0;
    }
    QVERIFY(done >= 1);
    QVERIFY2(done < count, "the run ended before the page was closed");
    // A worker ended in the middle of a file may leave its temporary copy; its next run of that file removes it.
    const QStringList leftovers =
        QDir(QFileInfo(paths.first()).path()).entryList({u".*.psdslim_*"_s}, QDir::Files | QDir::Hidden);
    qInfo("files slimmed before closing: %d of %d; temporary copies left: %lld", done, count,
          qlonglong(leftovers.size()));
}

QTEST_MAIN(TestRunShutdown)
#include "TestRunShutdown.moc"
