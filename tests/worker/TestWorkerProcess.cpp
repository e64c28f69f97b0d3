// The built LeanfoldWorker.exe, run as the host runs it, on documents made at test time and on corpus copies.
#include "WorkerFixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

#include <sys/stat.h>

using namespace WorkerFixtures;

namespace {

unsigned modeOf(const QString& path)
{
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

using ManifestRow = std::vector<std::pair<QString, QString>>;

int intValue(const ManifestRow& row, const char* column)
{
    return manifestValue(row, QString::fromLatin1(column)).toInt();
}

} // namespace

class TestWorkerProcess : public QObject {
    Q_OBJECT

private slots:
    void builtWorkers_data();
    void builtWorkers();
    void commandLineErrors_data();
    void commandLineErrors();
    void slimsMadeDocuments_data();
    void slimsMadeDocuments();
    void slimsCorpusCopies_data();
    void slimsCorpusCopies();
    void temporaryBesideTheOriginal();
    void deepCleansEmbeddedObjects_data();
    void deepCleansEmbeddedObjects();
    void deepSkipsABrokenEmbeddedObject();
};

void TestWorkerProcess::builtWorkers_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("hooks");
    QTest::newRow("shipped worker") << workerPath() << u"LeanfoldWorker.exe"_s << false;
    if (!testWorkerPath().isEmpty())
        QTest::newRow("test worker") << testWorkerPath() << u"LeanfoldWorkerTest.exe"_s << true;
}

void TestWorkerProcess::builtWorkers()
{
    QFETCH(QString, path);
    QFETCH(QString, fileName);
    QFETCH(bool, hooks);
    QVERIFY2(QFileInfo(path).isExecutable(), qPrintable(path));
    QCOMPARE(QFileInfo(path).fileName(), fileName);
    // The host embeds the shipped worker: no test hook may be in it (the test worker shows that the search
    // finds one where it is).
    QCOMPARE(readAll(path).contains("LEANFOLD_WORKER_TEST_"), hooks);
    if (QStandardPaths::findExecutable(QStringLiteral("ldd")).isEmpty())
        QSKIP("ldd is not installed");
    QProcess ldd;
    ldd.start(QStringLiteral("ldd"), {path});
    QVERIFY(ldd.waitForFinished(30000));
    const QByteArray said = ldd.readAllStandardOutput() + ldd.readAllStandardError();
    QVERIFY2(said.contains("not a dynamic executable"), said.constData());
}

void TestWorkerProcess::commandLineErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("jobText"); // written to job.json when not null
    QTest::addColumn<int>("exitCode");       // -1: any non-zero code
    QTest::addColumn<QByteArray>("stdoutText");
    // clang-format off
    QTest::newRow("no --job")           << QStringList{}                     << QByteArray()                  << -1 << QByteArray();
    QTest::newRow("unknown option")     << QStringList{u"--jobs"_s, u"job.json"_s} << QByteArray("{}")              << -1 << QByteArray();
    QTest::newRow("job file missing")   << QStringList{u"--job"_s, u"none.json"_s} << QByteArray()                  << 1  << QByteArray();
    QTest::newRow("job not JSON")       << QStringList{u"--job"_s, u"job.json"_s}  << QByteArray("[{")              << 1  << QByteArray();
    QTest::newRow("non-string entry")   << QStringList{u"--job"_s, u"job.json"_s}  << QByteArray(R"({"files":[1]})") << 1  << QByteArray();
    QTest::newRow("no files")           << QStringList{u"--job"_s, u"job.json"_s}  << QByteArray(R"({"files":[]})") << 2
                                        << QByteArray("ERROR\t没有可处理的 PSD/PSB 文件\n");
    // clang-format on
}

void TestWorkerProcess::commandLineErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, jobText);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, stdoutText);
    QTemporaryDir dir;
    if (!jobText.isNull())
        QVERIFY(writeAll(dir.filePath(QStringLiteral("job.json")), jobText));
    for (QString& a : args)
        if (a.endsWith(QStringLiteral(".json")))
            a = dir.filePath(a);
    const WorkerRun run = runWorker(args);
    QVERIFY(!run.crashed);
    if (exitCode < 0)
        QVERIFY(run.exitCode != 0);
    else
        QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.out, stdoutText);
    if (stdoutText.isEmpty())
        QVERIFY2(!run.err.trimmed().isEmpty(), "a refused command line or job says why on standard error");
}

void TestWorkerProcess::slimsMadeDocuments_data()
{
    QTest::addColumn<bool>("psb");
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("history");
    QTest::addColumn<unsigned>("mode");
    // clang-format off
    QTest::newRow("PSD 8-bit, 2 events")    << false << 8  << 2   << 0644u;
    QTest::newRow("PSD 16-bit, 300 events") << false << 16 << 300 << 0600u;
    QTest::newRow("PSB 8-bit, 2 events")    << true  << 8  << 2   << 0640u;
    QTest::newRow("PSB 16-bit, 300 events") << true  << 16 << 300 << 0444u;
    // clang-format on
}

void TestWorkerProcess::slimsMadeDocuments()
{
    QFETCH(bool, psb);
    QFETCH(int, depth);
    QFETCH(int, history);
    QFETCH(unsigned, mode);
    QString why;
    if (!toolsAvailable(why))
        QSKIP(qPrintable(why));
    QTemporaryDir dir;
    const QString path = dir.filePath(psb ? QStringLiteral("made.psb") : QStringLiteral("made.psd"));
    FixtureRecipe recipe;
    recipe.psb = psb;
    recipe.depth = depth;
    recipe.historyEvents = history;
    QVERIFY2(makeLayeredDocument(path, recipe, why), qPrintable(why));
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
    const QByteArray before = readAll(path);

    const WorkerRun run = runWorkerOnFiles(dir.path(), {path}, false);
    QCOMPARE(run.exitCode, 0);
    const QByteArray after = readAll(path);
    const QString difference = differenceOutsideXmp(before, after);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    ResourceSplit split;
    QVERIFY(splitResources(after, split, why));
    QVERIFY(!hasHistory(split.xmp));
    QVERIFY(split.xmp.contains("kept title"));
    QCOMPARE(modeOf(path), mode);
    const qint64 saved = before.size() - after.size();
    QVERIFY(saved > 0);
    QVERIFY2(run.lines().last().endsWith(QStringLiteral(R"("bytesSaved":%1,"modifications":2})").arg(saved)),
             qPrintable(run.lines().last()));
}

void TestWorkerProcess::slimsCorpusCopies_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("historyItems");
    if (corpusRoot().isEmpty()) {
        QTest::newRow("no corpus") << QString() << 0;
        return;
    }
    // Every corpus file with history that an independent reader opens and that ends where its image data ends,
    // up to a few MiB, in manifest order: a dozen PSD and a dozen PSB.
    int psd = 0, psb = 0;
    for (const ManifestRow& row : corpusManifest()) {
        if (intValue(row, "xmpMM_History") == 0 || intValue(row, "psd_tools_ok") != 1
            || intValue(row, "bytes") > 4 * 1024 * 1024)
            continue;
        int& count = intValue(row, "version") == 2 ? psb : psd;
        if (count >= 12 && manifestValue(row, QStringLiteral("file")) != QStringLiteral("psd.rb/spec/files/slices.psd"))
            continue;
        ++count;
        const QString file = manifestValue(row, QStringLiteral("file"));
        QTest::newRow(qPrintable(file)) << file << intValue(row, "history_li");
    }
}

void TestWorkerProcess::slimsCorpusCopies()
{
    QFETCH(QString, file);
    if (file.isEmpty())
        QSKIP("LEANFOLD_CORPUS does not name the shared corpus; corpus runs skipped");
    QTemporaryDir dir;
    const QString copy = dir.filePath(QFileInfo(file).fileName());
    QVERIFY(QFile::copy(corpusRoot() + QLatin1Char('/') + file, copy));
    QCOMPARE(::chmod(QFile::encodeName(copy).constData(), 0640), 0);
    const QByteArray before = readAll(copy);
    const WorkerRun run = runWorkerOnFiles(dir.path(), {copy}, false);
    QVERIFY2(run.exitCode == 0, run.out.constData());
    const QByteArray after = readAll(copy);
    const QString difference = differenceOutsideXmp(before, after);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    ResourceSplit split;
    QString why;
    QVERIFY(splitResources(after, split, why));
    QVERIFY2(!hasHistory(split.xmp), "history is still in the XMP packet");
    QVERIFY(after.size() < before.size());
    QCOMPARE(modeOf(copy), 0640u);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2); // the copy and the job file
}

void TestWorkerProcess::temporaryBesideTheOriginal()
{
    QString why;
    if (!toolsAvailable(why))
        QSKIP(qPrintable(why));
    if (testWorkerPath().isEmpty())
        QSKIP("built without LEANFOLD_WORKER_TEST_HOOKS: no worker that pauses");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Poster.PSD"));
    QVERIFY2(makeLayeredDocument(path, FixtureRecipe{}, why), qPrintable(why));
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0664), 0);
    QVERIFY(writeAll(dir.filePath(QStringLiteral("job.json")), jobText({path}, false)));

    QProcess worker;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LEANFOLD_WORKER_TEST_PAUSE"), QStringLiteral("after-write"));
    worker.setProcessEnvironment(env);
    worker.setReadChannel(QProcess::StandardError); // the pause is announced on standard error
    worker.start(testWorkerPath(), {QStringLiteral("--job"), dir.filePath(QStringLiteral("job.json"))});
    QByteArray err;
    while (!err.contains("LEANFOLD_WORKER_PAUSED") && worker.waitForReadyRead(30000))
        err += worker.readAllStandardError();
    QVERIFY(err.contains("LEANFOLD_WORKER_PAUSED"));
    const QStringList temporaries = QDir(dir.path()).entryList({QStringLiteral(".*psdslim*")}, QDir::Files | QDir::Hidden);
    worker.kill();
    worker.waitForFinished();
    QCOMPARE(temporaries.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\.Poster\\.psdslim_[a-z0-9]{12}\\.psd$")).match(temporaries[0]).hasMatch(),
             qPrintable(temporaries[0]));
    // Private until it is complete and checked; it takes the original's bits only just before the swap.
    QCOMPARE(modeOf(dir.filePath(temporaries[0])), 0600u);

    const WorkerRun again = runWorkerOnFiles(dir.path(), {path}, false);
    QCOMPARE(again.exitCode, 0);
    QVERIFY(!QFile::exists(dir.filePath(temporaries[0])));
    QCOMPARE(modeOf(path), 0664u);
}

void TestWorkerProcess::deepCleansEmbeddedObjects_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("scans"); // distinct embedded PSD objects, each scanned once
    if (corpusRoot().isEmpty()) {
        QTest::newRow("no corpus") << QString() << 0;
        return;
    }
    for (const ManifestRow& row : corpusManifest()) {
        if (intValue(row, "embedded_history_li") == 0 || intValue(row, "smart_layers_embedded_psd") == 0)
            continue;
        const QString file = manifestValue(row, QStringLiteral("file"));
        QTest::newRow(qPrintable(file)) << file << intValue(row, "embedded_psd_payloads");
    }
}

void TestWorkerProcess::deepCleansEmbeddedObjects()
{
    QFETCH(QString, file);
    QFETCH(int, scans);
    if (file.isEmpty())
        QSKIP("LEANFOLD_CORPUS does not name the shared corpus; deep runs skipped");
    QTemporaryDir dir;
    const QString copy = dir.filePath(QFileInfo(file).fileName());
    QVERIFY(QFile::copy(corpusRoot() + QLatin1Char('/') + file, copy));
    const QByteArray before = readAll(copy);
    const WorkerRun run = runWorkerOnFiles(dir.path(), {copy}, true);
    QVERIFY2(run.exitCode == 0, run.out.constData());
    const QStringList lines = run.lines();
    QCOMPARE(lines.filter(QStringLiteral("LOG\t深度扫描：第 1 层嵌入对象 → ")).size(), scans);
    QVERIFY2(lines.filter(QStringLiteral("LOG\t嵌入对象已清理：")).size() >= 1, qPrintable(lines.join(QLatin1Char('\n'))));
    QVERIFY(lines.filter(QStringLiteral("跳过无法安全处理的嵌入对象")).isEmpty());
    QVERIFY(lines.contains(QStringLiteral("PROGRESS\t60\t100\t完成嵌入对象扫描：%1").arg(QFileInfo(file).fileName())));
    // Embedded packets are plain text inside the file: no history may be left anywhere in it.
    const QByteArray after = readAll(copy);
    QVERIFY(before.contains("xmpMM:History"));
    QVERIFY2(!after.contains("<xmpMM:History>") && !after.contains("<photoshop:DocumentAncestors>"),
             "history left inside the document or an embedded object");
    QVERIFY(after.size() < before.size());
}

void TestWorkerProcess::deepSkipsABrokenEmbeddedObject()
{
    const QString file = QStringLiteral("ag-psd/test/read-write/werps/src.psd"); // six layers share one object
    if (corpusRoot().isEmpty() || !QFileInfo::exists(corpusRoot() + QLatin1Char('/') + file))
        QSKIP("LEANFOLD_CORPUS does not hold the shared-object file; skipped");
    QByteArray bytes = readAll(corpusRoot() + QLatin1Char('/') + file);
    // The embedded document is the second "8BPS" of the file: give it a version no reader accepts.
    const qsizetype embedded = bytes.indexOf("8BPS", 4);
    QVERIFY(embedded > 0);
    bytes[embedded + 4] = '\x00';
    bytes[embedded + 5] = '\x09';
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("broken.psd"));
    QVERIFY(writeAll(copy, bytes));
    const WorkerRun run = runWorkerOnFiles(dir.path(), {copy}, true);
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = run.lines();
    QCOMPARE(lines.filter(QStringLiteral("LOG\t深度扫描：第 1 层嵌入对象 → ")).size(), 1);
    const QStringList skipped = lines.filter(QStringLiteral("LOG\t跳过无法安全处理的嵌入对象："));
    QCOMPARE(skipped.size(), 1);
    QVERIFY(skipped.first().endsWith(QStringLiteral("）")));
    QVERIFY(lines.filter(QStringLiteral("嵌入对象已清理")).isEmpty());
    QVERIFY(lines.last().contains(QStringLiteral(R"("exported":1,"skipped":0,"failed":0)")));
    // The document itself is slimmed; the broken object inside it is carried over byte for byte.
    const QByteArray after = readAll(copy);
    const QString difference = differenceOutsideXmp(bytes, after);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    ResourceSplit split;
    QString why;
    QVERIFY(splitResources(after, split, why));
    QVERIFY(!hasHistory(split.xmp));
}

QTEST_APPLESS_MAIN(TestWorkerProcess)
#include "TestWorkerProcess.moc"
