#include "PsdFixture.h"
#include "RecordingPrompts.h"
#include "RunProbe.h"
#include "support/ProcessControl.h"

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

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kTimeout = 60000;
const QString kJobPattern = u"Lumora-psd-slim-*.json"_s;

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
    void closingTheWindowEndsTheWorker_data();
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
    qunsetenv("LEANFOLD_WORKER_TEST_PAUSE");
}

void TestRunShutdown::cleanupTestCase()
{
    QCOMPARE(ProcessHygiene::destroyedWhileRunning(), 0);
}

void TestRunShutdown::closingTheWindowEndsTheWorker_data()
{
    QTest::addColumn<QString>("worker");    // "stand-in", "test worker" (with pause points) or "" (the embedded one)
    QTest::addColumn<QString>("pauseAt");   // where the test worker pauses
    QTest::addColumn<int>("side");          // width and height of each document
    QTest::addColumn<QString>("closeAt");   // "started", "paused", or "temporary" (one appears beside a file)
    QTest::addColumn<int>("untouchedFrom"); // files from this one on must be as they were; -1: any may be slimmed
    // clang-format off
    QTest::newRow("stand-in that never ends")        << u"sleeping stand-in"_s    << QString()            << 4    << u"started"_s   << 0;
    QTest::newRow("stand-in that heeds only STOP")   << u"stop-line stand-in"_s << QString()    << 4    << u"started"_s   << 0;
    QTest::newRow("paused after writing the temporary") << u"test worker"_s << u"after-write#1"_s  << 4    << u"paused"_s    << 0;
    QTest::newRow("paused before the second replace") << u"test worker"_s << u"before-replace#2"_s << 4   << u"paused"_s    << 1;
    QTest::newRow("inside a large file")             << QString()         << QString()            << 4000 << u"temporary"_s << -1;
    // clang-format on
}

void TestRunShutdown::closingTheWindowEndsTheWorker()
{
    QFETCH(QString, worker);
    QFETCH(QString, pauseAt);
    QFETCH(int, side);
    QFETCH(QString, closeAt);
    QFETCH(int, untouchedFrom);
    const bool embedded = !worker.endsWith(u"stand-in"_s);
    if (embedded && !QFile::exists(QLatin1String(WorkerExtraction::kWorkerResource)))
        QSKIP("this build embeds no PSD slim worker");
#ifndef LEANFOLD_TEST_WORKER
    if (worker == u"test worker"_s)
        QSKIP("built without LEANFOLD_WORKER_TEST_HOOKS: no worker that pauses");
#endif

    QTemporaryDir folder(scratch.filePath(u"close-XXXXXX"_s));
    QStringList paths;
    QList<QByteArray> originals;
    QList<QByteArray> slimmed;
    for (int i = 0; i < 3; ++i) {
        originals.append(PsdFixture::document(5 + i, side, side, char(i)));
        paths.append(folder.filePath(u"s%1.psd"_s.arg(i)));
        QVERIFY(PsdFixture::write(paths.last(), originals.last()));
    }
    if (embedded) {
        // What each file becomes when slimmed completely, from copies by the embedded worker.
        QTemporaryDir reference(scratch.filePath(u"reference-XXXXXX"_s));
        QStringList copies;
        for (int i = 0; i < 3; ++i) {
            copies.append(reference.filePath(u"s%1.psd"_s.arg(i)));
            QVERIFY(PsdFixture::write(copies.last(), originals.at(i)));
        }
        const QString job = reference.filePath(u"job.json"_s);
        QVERIFY(PsdFixture::write(job, "{\"files\":[\"" + copies.join(u"\",\""_s).toUtf8() + "\"]}"));
        QProcess run;
        run.start(IntegratedTools::helperExecutablePath(IntegratedTools::PsdSlim), {u"--job"_s, job});
        QVERIFY(run.waitForFinished(kTimeout));
        QCOMPARE(run.exitCode(), 0);
        for (const QString& copy : copies)
            slimmed.append(PsdFixture::read(copy));
        QVERIFY(slimmed.first() != originals.first());
    }
    if (!worker.isEmpty()) {
        // A stand-in takes the worker's place, trusted as the embedded worker would be: the page only starts a copy
        // that holds the bytes it carries.
        const QString planted = extractedWorkerPath();
        QVERIFY(QDir().mkpath(QFileInfo(planted).path()));
        QFile::remove(planted);
#ifdef LEANFOLD_TEST_WORKER
        const QString source = embedded ? QStringLiteral(LEANFOLD_TEST_WORKER) : QStringLiteral(LEANFOLD_FAKE_WORKER);
#else
        const QString source = QStringLiteral(LEANFOLD_FAKE_WORKER);
#endif
        QVERIFY(QFile::copy(source, planted));
        QVERIFY(
            QFile::setPermissions(planted, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        WorkerExtraction::setWorkerResource(planted);
    }
    const QString record = scratch.filePath(u"sleeping-record"_s);
    QFile::remove(record);
    QFile::remove(record + u".stopped"_s);
    if (!embedded) {
        qputenv("LEANFOLD_FAKE_MODE", worker.startsWith(u"sleeping"_s) ? "sleep" : "stopline");
        qputenv("LEANFOLD_FAKE_RECORD", record.toUtf8());
    }
    if (!pauseAt.isEmpty())
        qputenv("LEANFOLD_WORKER_TEST_PAUSE", pauseAt.toUtf8());

    auto* window = new StandaloneToolWindow(IntegratedTools::PsdSlim, nullptr);
    window->queuePaths(paths);
    IntegratedToolPage* page = window->toolPage();
    page->setUserPrompts(&prompts);
    window->show();
    RunProbe probe(*page);
    probe.start->click();
    auto* process = page->findChild<QProcess*>();
    QVERIFY(process);
    QVERIFY(process->waitForStarted(kTimeout));
    const qint64 pid = process->processId();
    QVERIFY(pid > 0);
    const auto temporaries = [&] {
        return QDir(folder.path()).entryList({u"*psdslim*"_s}, QDir::Files | QDir::Hidden);
    };
    if (closeAt == u"started"_s)
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), kTimeout);
    else if (closeAt == u"paused"_s)
        QTRY_VERIFY_WITH_TIMEOUT(!probe.logLinesWith(u"LEANFOLD_WORKER_PAUSED"_s).isEmpty(), kTimeout);
    else // the run may also end before one is seen: the files are then all slimmed
        QTRY_VERIFY_WITH_TIMEOUT(!temporaries().isEmpty() || !page->isRunning(), kTimeout);
    const bool caughtInFile = !temporaries().isEmpty();
    QCOMPARE(WorkerWatcher::jobFiles(kJobPattern).size(), 1);

    window->close();
    delete window;

    QVERIFY(ProcessControl::isGone(pid));
    // Asked on its standard input: the one way that reaches a console program on every platform.
    if (worker.startsWith(u"stop-line"_s))
        QVERIFY(QFile::exists(record + u".stopped"_s));
    QVERIFY(WorkerWatcher::jobFiles(kJobPattern).isEmpty());
    QCOMPARE(ProcessHygiene::destroyedWhileRunning(), 0);
    // The worker removed its temporary (and a backup, had it made one) before it ended.
    QCOMPARE(temporaries(), QStringList());
    for (int i = 0; i < paths.size(); ++i) {
        const QByteArray now = PsdFixture::read(paths.at(i));
        const QString found = u"%1: %2 bytes, %3"_s.arg(paths.at(i)).arg(now.size())
                                  .arg(now == originals.at(i)                    ? u"as it was"_s
                                       : !slimmed.isEmpty() && now == slimmed.at(i) ? u"slimmed"_s
                                                                                    : u"neither as it was nor slimmed"_s);
        if (untouchedFrom >= 0 && i >= untouchedFrom)
            QVERIFY2(now == originals.at(i), qPrintable(found));
        else
            QVERIFY2(now == originals.at(i) || now == slimmed.at(i), qPrintable(found));
    }
    if (closeAt == u"temporary"_s)
        qInfo("the window was closed %s", caughtInFile ? "inside a file" : "after the run had ended");
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
    // Once the worker has begun its first file, it is somewhere inside the batch (small files share their commit,
    // and the later files' lines wait for it). Watched on the worker's own output (after the page has read it)
    // rather than polled, so the page goes while the batch runs.
    auto* running = page->findChild<QProcess*>();
    QVERIFY(running);
    QVERIFY(running->waitForStarted(kTimeout));
    const qint64 pid = running->processId();
    bool inside = false;
    connect(running, &QProcess::readyReadStandardOutput, this,
            [&] { inside = inside || probe.status->text().contains(u"r00.psd"_s); });
    QVERIFY(QTest::qWaitFor([&] { return inside; }, kTimeout));
    QVERIFY(pid > 0);
    page.reset();
    QVERIFY(ProcessControl::isGone(pid));

    QVERIFY(WorkerWatcher::jobFiles(kJobPattern).isEmpty());
    QCOMPARE(ProcessHygiene::destroyedWhileRunning(), 0);
    int done = 0;
    for (int i = 0; i < count; ++i) {
        const QByteArray now = PsdFixture::read(paths.at(i));
        QVERIFY2(now == originals.at(i) || now == slimmed.at(i), qPrintable(paths.at(i)));
        done += now == slimmed.at(i) ? 1 : 0;
    }
    // Small files share their commit: those written but not yet put in place were left as they were, so the
    // files done may be none.
    QVERIFY2(done < count, "the run ended before the page was closed");
    // The worker was asked to stop: it removed the temporary copy of the file it was in.
    const QStringList leftovers =
        QDir(QFileInfo(paths.first()).path()).entryList({u"*psdslim*"_s}, QDir::Files | QDir::Hidden);
    QCOMPARE(leftovers, QStringList());
    qInfo("files slimmed before closing: %d of %d", done, count);
}

QTEST_MAIN(TestRunShutdown)
#include "TestRunShutdown.moc"
