// Kills the worker at many points of a run and checks that no original is ever lost or half written, and that
// the next run cleans up whatever the killed one left.
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
    for (const char* step : {"after-temp-create", "after-write", "after-sync", "before-replace", "after-replace"})
        for (int occurrence = 1; occurrence <= kNames.size(); ++occurrence)
            QTest::addRow("%s of file %d", step, occurrence)
                << QStringLiteral("%1#%2").arg(QString::fromLatin1(step)).arg(occurrence) << 0;
    for (int percent = 0; percent <= 120; percent += 3)
        QTest::addRow("after %d%% of a run", percent) << QString() << percent;
}

void TestWorkerKill::killedRunLosesNothing()
{
    QFETCH(QString, pauseAt);
    QFETCH(int, delayPercent);
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
