// Kills the worker at many points of a run and checks that no original is ever lost or half written, and that
// the next run cleans up whatever the killed one left. A worker asked to stop instead (a STOP line on its standard
// input, or a signal) leaves nothing to clean up: its current file as it was, no temporary, no later file begun.
#include "WorkerFixtures.h"

#include "psd/Document.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
#include <QThread>

#include <csignal>

using namespace WorkerFixtures;

namespace {

const QStringList kNames = {QStringLiteral("a.psd"), QStringLiteral("b.PSB"), QStringLiteral("c.psd"),
                            QStringLiteral("d.psb")};

psd::StructureSignature signatureOf(const QString& path, bool& ok)
{
    psd::Document doc;
    psd::Error err;
    ok = psd::Document::openFile(QFile::encodeName(path).toStdString(), doc, err);
    return ok ? doc.signature() : psd::StructureSignature{};
}

} // namespace

class TestWorkerKill : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void killedRunLosesNothing_data();
    void killedRunLosesNothing();
    void cleanupTestCase();

private:
    // Each original must be its input, untouched, or the fully checked slimmed version of it.
    void checkOriginals(const QString& folder, bool mustBeSlimmed);
    // Ends the running (or paused) worker as endBy says and checks how it ended and what it left in folder.
    bool endStoppedRun(QProcess& worker, const QString& endBy, const QString& pauseAt, const QString& folder,
                       QStringList entries);

    QTemporaryDir m_seeds;
    std::vector<QByteArray> m_inputs;
    std::vector<psd::StructureSignature> m_signatures;
    qint64 m_runMs = 0;
    int m_untouched = 0;
    int m_slimmed = 0;
};

void TestWorkerKill::initTestCase()
{
    QString why;
    if (!toolsAvailable(why))
        QSKIP(qPrintable(why));
    if (testWorkerPath().isEmpty())
        QSKIP("built without LEANFOLD_WORKER_TEST_HOOKS: no worker that pauses");
    for (int i = 0; i < kNames.size(); ++i) {
        FixtureRecipe recipe;
        recipe.psb = kNames[i].endsWith(QStringLiteral("psb"), Qt::CaseInsensitive);
        recipe.depth = i % 2 ? 16 : 8;
        recipe.width = 400;
        recipe.height = 300;
        recipe.historyEvents = 50;
        const QString path = m_seeds.filePath(kNames[i]);
        QVERIFY2(makeLayeredDocument(path, recipe, why), qPrintable(why));
        m_inputs.push_back(readAll(path));
        bool ok = false;
        m_signatures.push_back(signatureOf(path, ok));
        QVERIFY(ok);
    }
    // One undisturbed run gives the span over which the timed kills are spread.
    QTemporaryDir probe;
    QStringList files;
    for (int i = 0; i < kNames.size(); ++i) {
        QVERIFY(writeAll(probe.filePath(kNames[i]), m_inputs[i]));
        files << probe.filePath(kNames[i]);
    }
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(runWorkerOnFiles(probe.path(), files, false).exitCode, 0);
    m_runMs = std::max<qint64>(clock.elapsed(), 10);
}

void TestWorkerKill::killedRunLosesNothing_data()
{
    QTest::addColumn<QString>("pauseAt"); // empty: kill after a delay
    QTest::addColumn<int>("delayPercent");
    // How the run is ended: "kill" (SIGKILL), "STOP" (the line on standard input), a signal's name, or "EOF" (standard
    // input closed, which is no stop: the run goes on to its end).
    QTest::addColumn<QString>("endBy");
    for (const char* step : {"after-temp-create", "after-write", "after-sync", "before-replace", "after-replace"})
        for (int occurrence = 1; occurrence <= kNames.size(); ++occurrence)
            QTest::addRow("%s of file %d", step, occurrence)
                << QStringLiteral("%1#%2").arg(QString::fromLatin1(step)).arg(occurrence) << 0 << u"kill"_s;
    for (int percent = 0; percent <= 120; percent += 3)
        QTest::addRow("after %d%% of a run", percent) << QString() << percent << u"kill"_s;
    // clang-format off
    QTest::newRow("STOP at after-temp-create of file 1") << u"after-temp-create#1"_s << 0 << u"STOP"_s;
    QTest::newRow("STOP at after-write of file 2")       << u"after-write#2"_s       << 0 << u"STOP"_s;
    QTest::newRow("STOP at after-sync of file 3")        << u"after-sync#3"_s        << 0 << u"STOP"_s;
    QTest::newRow("STOP at before-replace of file 4")    << u"before-replace#4"_s    << 0 << u"STOP"_s;
    QTest::newRow("STOP at after-replace of file 2")     << u"after-replace#2"_s     << 0 << u"STOP"_s;
    QTest::newRow("SIGTERM at after-write of file 1")    << u"after-write#1"_s       << 0 << u"SIGTERM"_s;
    QTest::newRow("SIGINT at after-sync of file 2")      << u"after-sync#2"_s        << 0 << u"SIGINT"_s;
    QTest::newRow("SIGHUP at before-replace of file 3")  << u"before-replace#3"_s    << 0 << u"SIGHUP"_s;
    QTest::newRow("EOF at after-write of file 2")        << u"after-write#2"_s       << 0 << u"EOF"_s;
    // clang-format on
}

void TestWorkerKill::killedRunLosesNothing()
{
    QFETCH(QString, pauseAt);
    QFETCH(int, delayPercent);
    QFETCH(QString, endBy);
    QTemporaryDir dir;
    QStringList files;
    for (int i = 0; i < kNames.size(); ++i) {
        QVERIFY(writeAll(dir.filePath(kNames[i]), m_inputs[i]));
        files << dir.filePath(kNames[i]);
    }
    const QString jobPath = dir.filePath(QStringLiteral("job.json"));
    QVERIFY(writeAll(jobPath, jobText(files, false)));

    QProcess worker;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!pauseAt.isEmpty())
        env.insert(QStringLiteral("LEANFOLD_WORKER_TEST_PAUSE"), pauseAt);
    worker.setProcessEnvironment(env);
    worker.setReadChannel(QProcess::StandardError); // the pause is announced on standard error
    worker.start(testWorkerPath(), {QStringLiteral("--job"), jobPath});
    QVERIFY(worker.waitForStarted());
    if (pauseAt.isEmpty()) {
        QThread::msleep(static_cast<unsigned long>(m_runMs * delayPercent / 100));
    } else {
        QByteArray err;
        while (!err.contains("LEANFOLD_WORKER_PAUSED") && worker.state() == QProcess::Running) {
            worker.waitForReadyRead(1000);
            err += worker.readAllStandardError();
        }
        QVERIFY2(err.contains("LEANFOLD_WORKER_PAUSED"), "the worker never reached its pause point");
    }
    if (endBy != u"kill"_s) {
        const QStringList entries = kNames + QStringList{u"job.json"_s};
        QVERIFY(endStoppedRun(worker, endBy, pauseAt, dir.path(), entries));
        checkOriginals(dir.path(), false);
        return;
    }
    worker.kill(); // SIGKILL: no clean-up code of the worker runs
    QVERIFY(worker.waitForFinished(30000));

    checkOriginals(dir.path(), false);

    // The next run finishes the job and leaves nothing behind but the files and the job.
    const WorkerRun again = runWorkerOnFiles(dir.path(), files, false);
    QCOMPARE(again.exitCode, 0);
    checkOriginals(dir.path(), true);
    QStringList expected = kNames;
    expected << QStringLiteral("job.json");
    expected.sort();
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name), expected);
}

bool TestWorkerKill::endStoppedRun(QProcess& worker, const QString& endBy, const QString& pauseAt,
                                   const QString& folder, QStringList entries)
{
    if (endBy == u"STOP"_s)
        worker.write("STOP\n");
    else if (endBy == u"EOF"_s)
        worker.closeWriteChannel();
    else
        ::kill(pid_t(worker.processId()), endBy == u"SIGTERM"_s ? SIGTERM : endBy == u"SIGINT"_s ? SIGINT : SIGHUP);
    [&] { QVERIFY(worker.waitForFinished(30000)); }();
    if (QTest::currentTestFailed())
        return false;
    const QStringList lines = WorkerRun{worker.exitCode(), false, worker.readAllStandardOutput(), {}}.lines();
    const QString said = lines.join(u'\n');
    // Only the end of standard input lets the run go on to its end.
    const bool finished = endBy == u"EOF"_s;
    [&] {
        QCOMPARE(worker.exitStatus(), QProcess::NormalExit);
        if (finished) {
            QVERIFY2(!lines.isEmpty() && lines.last().startsWith(u"DONE\t"_s) && worker.exitCode() == 0,
                     qPrintable(said));
        } else {
            QVERIFY2(worker.exitCode() == 130, qPrintable(said));
            QVERIFY2(lines.filter(u"DONE"_s).isEmpty(), qPrintable(said));
        }
        // No temporary, no backup: only the files and the job.
        entries.sort();
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name), entries);
        // Each file is whole: slimmed exactly when the run said it was done, else as it was. Small files share
        // their commit, so a stop may find several written but not yet put in place: each of those says it was
        // left as it was, and the count of files never begun is the number the run gives.
        const int n = pauseAt.section(u'#', 1).toInt();
        int neverBegun = 0;
        for (int i = 0; i < kNames.size(); ++i) {
            const bool slimmed = finished || !lines.filter(u"LOG\t已完成："_s + kNames[i]).isEmpty();
            QVERIFY2((readAll(folder + u'/' + kNames[i]) == m_inputs[i]) != slimmed, qPrintable(kNames[i] + said));
            if (finished)
                continue;
            const bool begun = !lines.filter(kNames[i]).isEmpty();
            neverBegun += begun ? 0 : 1;
            if (begun && !slimmed)
                QVERIFY2(!lines.filter(u"LOG\t已停止："_s + kNames[i]).isEmpty(), qPrintable(kNames[i] + said));
            // The file the run paused in is not finished before the stop, unless it paused after its rename.
            if (i + 1 == n && !pauseAt.startsWith(u"after-replace"_s))
                QVERIFY2(!slimmed, qPrintable(kNames[i] + said));
        }
        if (!finished)
            QVERIFY2(lines.contains(u"LOG\t已按请求停止；未处理的文件：%1 个"_s.arg(neverBegun)), qPrintable(said));
    }();
    return !QTest::currentTestFailed();
}

void TestWorkerKill::checkOriginals(const QString& folder, bool mustBeSlimmed)
{
    for (int i = 0; i < kNames.size(); ++i) {
        const QString path = folder + QLatin1Char('/') + kNames[i];
        QVERIFY2(QFile::exists(path), qPrintable(kNames[i] + QStringLiteral(" is missing")));
        const QByteArray now = readAll(path);
        if (now == m_inputs[i] && !mustBeSlimmed) {
            ++m_untouched;
            continue;
        }
        const QString difference = differenceOutsideXmp(m_inputs[i], now);
        QVERIFY2(difference.isEmpty(), qPrintable(kNames[i] + QStringLiteral(": ") + difference));
        ResourceSplit split;
        QString why;
        QVERIFY(splitResources(now, split, why));
        QVERIFY2(!hasHistory(split.xmp), qPrintable(kNames[i] + QStringLiteral(" still has history")));
        bool ok = false;
        QVERIFY(signatureOf(path, ok) == m_signatures[i]);
        QVERIFY(ok);
        if (!mustBeSlimmed)
            ++m_slimmed;
    }
}

void TestWorkerKill::cleanupTestCase()
{
    qInfo("kills left %d originals untouched and %d already slimmed; every one checked", m_untouched, m_slimmed);
}

QTEST_APPLESS_MAIN(TestWorkerKill)
#include "TestWorkerKill.moc"
