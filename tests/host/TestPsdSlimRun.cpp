#include "PsdFixture.h"
#include "RecordingPrompts.h"
#include "RunProbe.h"

#include "app/StandaloneMain.h"
#include "i18n/Language.h"
#include "page/IntegratedToolPage.h"
#include "platform/Platform.h"
#include "tools/WorkerExtraction.h"

#include "support/HostSystem.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kRunTimeout = 120000;
constexpr qint64 kGiB = Q_INT64_C(1) << 30;
const QString kJobPattern = u"Lumora-psd-slim-*.json"_s;

QString sizeText(qint64 bytes)
{
    return uiLocale().formattedDataSize(bytes, 2, QLocale::DataSizeIecFormat);
}

QStringList jobFiles(const QJsonObject& job)
{
    QStringList files;
    for (const QJsonValue& value : job.value(u"files"_s).toArray())
        files.append(value.toString());
    return files;
}

bool makeSparse(const QString& path, qint64 size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

QString batchStatus(int first, int last)
{
    return u"正在处理第 %1-%2 项（每批 20 项）"_s.arg(first).arg(last);
}

} // namespace

class TestPsdSlimRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void fortyFiveFilesInThreeBatches();
    void corruptFileEndsItsBatch();
    void workerEndsWithoutDone_data();
    void workerEndsWithoutDone();
    void itemLinesSettleTheirRows();
    void progressCoversTheWholeQueue();
    void confirmations_data();
    void confirmations();
    void largeFileGoesAlone_data();
    void largeFileGoesAlone();
    void jobFileCannotBeWritten_data();
    void jobFileCannotBeWritten();
    void emptyQueue();
    void noTrustedWorker();

private:
    std::unique_ptr<IntegratedToolPage> makePage(const QStringList& paths);
    QStringList makeFixtures(const QString& folder, int count, int corruptIndex = -1);
    void plantStandIn(const QString& mode, int exitCode = 0);
    void plantFile(const QByteArray& bytes);
    QString plantedPath() const;
    bool hasEmbeddedWorker() const;

    QTemporaryDir scratch;
    RecordingPrompts prompts;
};

void TestPsdSlimRun::initTestCase()
{
    prepareRunTest(kJobPattern);
    QVERIFY(scratch.isValid());
    // The worker is extracted afresh from this build: a copy an earlier build left in this test's home would be
    // reused as it is.
    QFile::remove(extractedWorkerPath());
}

void TestPsdSlimRun::init()
{
    prompts.asked.clear();
    prompts.answers.clear();
    for (const char* name : {"LEANFOLD_FAKE_MODE", "LEANFOLD_FAKE_EXIT", "LEANFOLD_FAKE_LINES", "LEANFOLD_FAKE_RELEASE",
                             "LEANFOLD_FAKE_RECORD"})
        qunsetenv(name);
}

void TestPsdSlimRun::cleanup()
{
    // The next test that wants the real worker gets it extracted afresh.
    QFile::remove(plantedPath());
    WorkerExtraction::setWorkerResource(QString());
    QVERIFY2(WorkerWatcher::jobFiles(kJobPattern).isEmpty(), "a job file outlived its worker");
}

void TestPsdSlimRun::cleanupTestCase()
{
    QCOMPARE(ProcessHygiene::destroyedWhileRunning(), 0);
}

std::unique_ptr<IntegratedToolPage> TestPsdSlimRun::makePage(const QStringList& paths)
{
    auto page = std::make_unique<IntegratedToolPage>(IntegratedTools::PsdSlim, nullptr, false);
    page->setUserPrompts(&prompts);
    page->addPaths(paths, false);
    return page;
}

QStringList TestPsdSlimRun::makeFixtures(const QString& folder, int count, int corruptIndex)
{
    QDir().mkpath(folder);
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path = QDir(folder).filePath(u"f%1.psd"_s.arg(i + 1, 2, 10, QLatin1Char('0')));
        const QByteArray bytes = i == corruptIndex ? PsdFixture::truncated() : PsdFixture::document(10 + i);
        if (!PsdFixture::write(path, bytes))
            return {};
        paths.append(path);
    }
    return paths;
}

QString TestPsdSlimRun::plantedPath() const
{
    return extractedWorkerPath();
}

// The stand-in takes the worker's place in the per-user folder, where the page's own lookup finds and trusts it.
void TestPsdSlimRun::plantStandIn(const QString& mode, int exitCode)
{
    QFile standIn(QStringLiteral(LEANFOLD_FAKE_WORKER));
    QVERIFY(standIn.open(QIODevice::ReadOnly));
    plantFile(standIn.readAll());
    qputenv("LEANFOLD_FAKE_MODE", mode.toUtf8());
    qputenv("LEANFOLD_FAKE_EXIT", QByteArray::number(exitCode));
}

void TestPsdSlimRun::plantFile(const QByteArray& bytes)
{
    QVERIFY(QDir().mkpath(WorkerExtraction::candidateFolders().at(0)));
    QFile::remove(plantedPath());
    QVERIFY(PsdFixture::write(plantedPath(), bytes));
    QVERIFY(QFile::setPermissions(plantedPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                     QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                                     QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                                     QFileDevice::ExeOther));
    // Trusted as the embedded worker would be: the page only starts a copy that holds the bytes it carries.
    WorkerExtraction::setWorkerResource(plantedPath());
}

bool TestPsdSlimRun::hasEmbeddedWorker() const
{
    return QFile::exists(QLatin1String(WorkerExtraction::kWorkerResource));
}

void TestPsdSlimRun::fortyFiveFilesInThreeBatches()
{
    if (!hasEmbeddedWorker())
        QSKIP("this build embeds no PSD slim worker");
    const QStringList paths = makeFixtures(scratch.filePath(u"forty-five"_s), 45);
    QCOMPARE(paths.size(), 45);
    QList<qint64> before;
    for (const QString& path : paths)
        before.append(QFileInfo(path).size());

    const auto page = makePage(paths);
    RunProbe probe(*page);
    QVERIFY(probe.complete());
    auto* deep = page->findChild<QCheckBox*>(u"psdDeepClean"_s);
    QVERIFY(deep && !deep->isChecked());
    WorkerWatcher watcher(*page, probe.status, kJobPattern);
    // Ticked while the first batch starts: the first job is already written, the second is not.
    watcher.onWorker = [deep](int index) {
        if (index == 0)
            deep->setChecked(true);
    };

    probe.start->click();
    QVERIFY(!probe.start->isEnabled());
    QVERIFY(!probe.tree->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(probe.start->isEnabled(), kRunTimeout);

    QVERIFY(prompts.asked.isEmpty());
    QCOMPARE(watcher.statuses, (QStringList{batchStatus(1, 20), batchStatus(21, 40), batchStatus(41, 45)}));
    QCOMPARE(watcher.jobs.size(), 3);
    QCOMPARE(jobFiles(watcher.jobs.at(0)), paths.mid(0, 20));
    QCOMPARE(jobFiles(watcher.jobs.at(1)), paths.mid(20, 20));
    QCOMPARE(jobFiles(watcher.jobs.at(2)), paths.mid(40, 5));
    QCOMPARE(watcher.jobs.at(0).value(u"deep"_s), QJsonValue(false));
    QCOMPARE(watcher.jobs.at(1).value(u"deep"_s), QJsonValue(true));
    QCOMPARE(watcher.jobs.at(2).value(u"deep"_s), QJsonValue(true));

    // Every file slimmed: smaller, without its history, still a PSD.
    qint64 savedTotal = 0;
    QList<qint64> savedPerBatch{0, 0, 0};
    for (int i = 0; i < paths.size(); ++i) {
        const QByteArray after = PsdFixture::read(paths.at(i));
        QVERIFY(after.startsWith("8BPS"));
        QVERIFY2(!after.contains("xmpMM:History"), qPrintable(paths.at(i)));
        QVERIFY(after.size() < before.at(i));
        savedPerBatch[i / 20] += before.at(i) - after.size();
        savedTotal += before.at(i) - after.size();
    }

    const QStringList lines = probe.logLines();
    QVERIFY(QRegularExpression(u"^\\[\\d\\d:\\d\\d:\\d\\d\\] 开始无 Photoshop 安全瘦身，共 45 个文件；深度清理：关闭。$"_s)
                .match(probe.logLinesWith(u"开始无"_s).value(0))
                .hasMatch());
    const QStringList batchLines = probe.logLinesWith(u"开始瘦身批次"_s);
    QCOMPARE(batchLines, (QStringList{u"开始瘦身批次：第 1-20 项，共 45 项。"_s, u"开始瘦身批次：第 21-40 项，共 45 项。"_s,
                                      u"开始瘦身批次：第 41-45 项，共 45 项。"_s}));
    QCOMPARE(probe.logLinesWith(u"本批完成"_s),
             (QStringList{u"本批完成：成功 20，失败 0，节省 %1。"_s.arg(sizeText(savedPerBatch.at(0))),
                          u"本批完成：成功 20，失败 0，节省 %1。"_s.arg(sizeText(savedPerBatch.at(1))),
                          u"本批完成：成功 5，失败 0，节省 %1。"_s.arg(sizeText(savedPerBatch.at(2)))}));
    QCOMPARE(lines.last(), u"瘦身任务结束：完成 45 项，失败 0 项，累计节省 %1。"_s.arg(sizeText(savedTotal)));
    QVERIFY(probe.logLinesWith(u"处理失败"_s).isEmpty());

    QCOMPARE(probe.rowStatuses(), QStringList(45, u"已完成"_s));
    QCOMPARE(probe.status->text(), u"处理完成"_s);
    QCOMPARE(probe.bar->maximum(), 4500);
    QCOMPARE(probe.bar->value(), 4500);
    QCOMPARE(probe.remaining->text(), u"剩余时间：00:00:00"_s);
    QVERIFY(probe.tree->isEnabled());
    QVERIFY(!page->isRunning());
}

void TestPsdSlimRun::corruptFileEndsItsBatch()
{
    if (!hasEmbeddedWorker())
        QSKIP("this build embeds no PSD slim worker");
    const QStringList paths = makeFixtures(scratch.filePath(u"corrupt"_s), 45, 22);
    QCOMPARE(paths.size(), 45);
    const QByteArray corruptBefore = PsdFixture::read(paths.at(22));
    const auto page = makePage(paths);
    RunProbe probe(*page);
    probe.start->click();
    QTRY_VERIFY_WITH_TIMEOUT(probe.start->isEnabled(), kRunTimeout);

    // The whole second batch ends "see the log"; its other files were slimmed all the same.
    const QStringList expected =
        QStringList(20, u"已完成"_s) + QStringList(20, u"已结束，详见日志"_s) + QStringList(5, u"已完成"_s);
    QCOMPARE(probe.rowStatuses(), expected);
    QCOMPARE(PsdFixture::read(paths.at(22)), corruptBefore);
    for (int i = 0; i < paths.size(); ++i) {
        if (i != 22)
            QVERIFY2(!PsdFixture::read(paths.at(i)).contains("xmpMM:History"), qPrintable(paths.at(i)));
    }
    QCOMPARE(probe.logLinesWith(u"处理失败：f23.psd"_s).size(), 1);
    const QStringList batches = probe.logLinesWith(u"本批完成"_s);
    QCOMPARE(batches.size(), 3);
    QVERIFY(batches.at(0).startsWith(u"本批完成：成功 20，失败 0，节省 "_s));
    QVERIFY(batches.at(1).startsWith(u"本批完成：成功 19，失败 1，节省 "_s));
    QVERIFY(batches.at(2).startsWith(u"本批完成：成功 5，失败 0，节省 "_s));
    QVERIFY(probe.logLines().last().startsWith(u"瘦身任务结束：完成 44 项，失败 1 项，累计节省 "_s));
    QCOMPARE(probe.status->text(), u"处理完成，1 项失败"_s);
}

void TestPsdSlimRun::workerEndsWithoutDone_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("planted"); // replaces the stand-in when not empty
    QTest::addColumn<QByteArray>("lines");   // LEANFOLD_FAKE_LINES; "@0" stands for the first file's path
    QTest::addColumn<bool>("caseTwins");     // the second file is named as the first in another case
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("failureLine"); // empty: no failure line
    QTest::addColumn<QString>("summary");

    const QString crashLine = u"瘦身后台异常结束，当前批次 3 项未完成，退出码：%1。"_s;
    const QStringList failed(3, u"失败"_s);
    const QStringList done(3, u"已完成"_s);
    const QString noneDone = u"瘦身任务结束：完成 0 项，失败 3 项"_s;
    const QByteArray wholeDone = QByteArray("DONE\t") + R"({"exported":3,"failed":0,"skipped":0,"bytesSaved":3000})";
    // clang-format off
    QTest::newRow("crash before DONE")  << u"crash"_s << 0 << QByteArray() << QByteArray() << false << failed
                                        << crashLine.arg(3) << noneDone;
    QTest::newRow("exit 9 without DONE") << u"exitonly"_s << 9 << QByteArray() << QByteArray() << false << failed
                                        << crashLine.arg(9) << noneDone;
    QTest::newRow("worker cannot start") << u"normal"_s << 0 << QByteArray("not a program\n") << QByteArray()
                                        << false << failed << crashLine.arg(3) << noneDone;
    QTest::newRow("DONE with bad JSON") << u"badjson"_s << 0 << QByteArray() << QByteArray() << false << failed
                                        << crashLine.arg(0) << noneDone;
    QTest::newRow("DONE without final line feed") << u"nofinallf"_s << 0 << QByteArray() << QByteArray() << false
                                        << failed << crashLine.arg(0) << noneDone;
    QTest::newRow("DONE with fractional counts") << u"nodone"_s << 0 << QByteArray()
                                        << QByteArray("DONE\t" R"({"exported":2.5,"failed":0.5,"bytesSaved":0})")
                                        << false << failed << crashLine.arg(0) << noneDone;
    QTest::newRow("DONE with huge counts adding up in 64 bits") << u"nodone"_s << 0 << QByteArray()
                                        << QByteArray("DONE\t" R"({"exported":4294967299,"failed":-4294967296})")
                                        << false << failed << crashLine.arg(0) << noneDone;
    QTest::newRow("DONE with a negative count") << u"nodone"_s << 0 << QByteArray()
                                        << QByteArray("DONE\t" R"({"exported":4,"failed":-1,"bytesSaved":4000})")
                                        << false << failed << crashLine.arg(0) << noneDone;
    QTest::newRow("DONE counting fewer files than the batch") << u"nodone"_s << 0 << QByteArray()
                                        << QByteArray("DONE\t" R"({"exported":2,"failed":0,"bytesSaved":2000})")
                                        << false << failed << crashLine.arg(0) << noneDone;
    QTest::newRow("crash after DONE") << u"crash"_s << 0 << QByteArray() << wholeDone << false << failed
                                        << crashLine.arg(3) << noneDone;
    QTest::newRow("exit 1 after DONE") << u"nodone"_s << 1 << QByteArray() << wholeDone << false << failed
                                        << crashLine.arg(1) << noneDone;
    QTest::newRow("exit 4 after DONE with a failure") << u"nodone"_s << 4 << QByteArray()
                                        << QByteArray("DONE\t" R"({"exported":2,"failed":1,"bytesSaved":2000})")
                                        << false << QStringList(3, u"已结束，详见日志"_s) << QString()
                                        << u"瘦身任务结束：完成 2 项，失败 1 项"_s;
    QTest::newRow("exit 0 after a whole DONE") << u"nodone"_s << 0 << QByteArray() << wholeDone << false << done
                                        << QString() << u"瘦身任务结束：完成 3 项，失败 0 项"_s;
    QTest::newRow("names differing only in case") << u"normal"_s << 0 << QByteArray() << QByteArray("ITEM\tok\t@0")
                                        << true << done << QString() << u"瘦身任务结束：完成 3 项，失败 0 项"_s;
    // clang-format on
}

void TestPsdSlimRun::workerEndsWithoutDone()
{
    QFETCH(QString, mode);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, planted);
    QFETCH(QByteArray, lines);
    QFETCH(bool, caseTwins);
    QFETCH(QStringList, rows);
    QFETCH(QString, failureLine);
    QFETCH(QString, summary);

    if (caseTwins && Platform::fileNameCase() == Qt::CaseInsensitive)
        QSKIP("names that differ only in case are one file here");
    plantStandIn(mode, exitCode);
    if (!planted.isEmpty())
        plantFile(planted);
    const QString folder = u"ends-%1"_s.arg(QString::fromLatin1(QTest::currentDataTag())).replace(u' ', u'_');
    QStringList paths = makeFixtures(scratch.filePath(folder), 3);
    QCOMPARE(paths.size(), 3);
    if (caseTwins) {
        const QString twin = QDir(scratch.filePath(folder)).filePath(QFileInfo(paths.at(0)).fileName().toUpper());
        QVERIFY(QFile::rename(paths.at(1), twin));
        paths[1] = twin;
    }
    if (!lines.isEmpty())
        qputenv("LEANFOLD_FAKE_LINES", QByteArray(lines).replace("@0", paths.at(0).toUtf8()));
    const auto page = makePage(paths);
    QCOMPARE(page->queuedPaths(), paths);
    RunProbe probe(*page);
    probe.start->click();
    QTRY_VERIFY_WITH_TIMEOUT(probe.start->isEnabled(), kRunTimeout);

    QCOMPARE(probe.rowStatuses(), rows);
    // Reported once, even where errorOccurred and finished both arrive.
    QCOMPARE(probe.logLinesWith(u"瘦身后台异常结束"_s), failureLine.isEmpty() ? QStringList() : QStringList{failureLine});
    QVERIFY2(probe.logLines().last().startsWith(summary), qPrintable(probe.logLines().last()));
}

void TestPsdSlimRun::itemLinesSettleTheirRows()
{
    plantStandIn(u"items"_s);
    const QStringList paths = makeFixtures(scratch.filePath(u"items"_s), 3);
    const auto page = makePage(paths);
    RunProbe probe(*page);
    probe.start->click();
    QTRY_VERIFY_WITH_TIMEOUT(probe.start->isEnabled(), kRunTimeout);
    // "ok" is success and nothing else is; DONE reports a failure, so the row without an ITEM line is sent to
    // the log.
    QCOMPARE(probe.rowStatuses(), (QStringList{u"已完成"_s, u"失败"_s, u"已结束，详见日志"_s}));
    QCOMPARE(probe.logLinesWith(u"本批完成"_s),
             QStringList{u"本批完成：成功 2，失败 1，节省 %1。"_s.arg(sizeText(3000))});
}

void TestPsdSlimRun::progressCoversTheWholeQueue()
{
    plantStandIn(u"normal"_s);
    const QString release = scratch.filePath(u"release-progress"_s);
    QStringList paths;
    for (int i = 0; i < 45; ++i) {
        paths.append(scratch.filePath(u"progress/p%1.psd"_s.arg(i, 2, 10, QLatin1Char('0'))));
        QDir().mkpath(QFileInfo(paths.last()).path());
        QVERIFY(PsdFixture::write(paths.last(), "x"));
    }
    // A file whose name holds a tab: its ITEM line splits it into two fields, which must be joined again.
    // A tab would split the protocol's fields; Windows allows no tab in a name, so there the name is plain.
    const QString tabbed =
        scratch.filePath(HostSystem::isWindows ? u"progress/tab-free.psd"_s : u"progress/tab\there.psd"_s);
    QVERIFY(PsdFixture::write(tabbed, "x"));
    paths.insert(42, tabbed);
    paths.removeLast();

    const auto page = makePage(paths);
    RunProbe probe(*page);
    WorkerWatcher watcher(*page, probe.status, kJobPattern);
    watcher.onWorker = [&](int index) {
        if (index == 2) {
            // A file name that looks like markup, in a status, a log line and standard error.
            qputenv("LEANFOLD_FAKE_LINES", "PROGRESS\t250\t500\tthird <b>x<b> &amp; y.psd|ITEM\tok\t" +
                                               tabbed.toUtf8() + "|LOG\tsentinel <b>x<b> &amp; y.psd");
            qputenv("LEANFOLD_FAKE_STDERR", "<b>x<b> &amp; y.psd\nsecond line\n");
            qputenv("LEANFOLD_FAKE_RELEASE", release.toUtf8());
        }
    };
    probe.start->click();
    QTRY_VERIFY_WITH_TIMEOUT(!probe.logLinesWith(u"sentinel"_s).isEmpty(), kRunTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(!probe.logLinesWith(u"后台详情"_s).isEmpty(), kRunTimeout);
    // Shown as the text it is: not bold, entities not decoded, line breaks kept.
    QCOMPARE(probe.status->text(), u"third <b>x<b> &amp; y.psd"_s);
    QCOMPARE(probe.status->textFormat(), Qt::PlainText);
    QVERIFY(probe.logLinesWith(u"sentinel"_s).first().endsWith(u"] sentinel <b>x<b> &amp; y.psd"_s));
    const QStringList lines = probe.logLines();
    const qsizetype detail = lines.indexOf(u"后台详情：<b>x<b> &amp; y.psd"_s);
    QVERIFY2(detail >= 0 && lines.value(detail + 1) == u"second line"_s, qPrintable(lines.join(u'\n')));
    QCOMPARE(probe.bar->maximum(), 4500);
    QCOMPARE(probe.bar->value(), 4250);
    QVERIFY(!probe.bar->isTextVisible());
    QVERIFY(QRegularExpression(u"^剩余时间：\\d\\d:\\d\\d:\\d\\d$"_s).match(probe.remaining->text()).hasMatch());
    QCOMPARE(probe.tree->topLevelItem(42)->text(3), u"已完成"_s);
    QCOMPARE(probe.tree->topLevelItem(43)->text(3), u"等待处理"_s);
    QVERIFY(PsdFixture::write(release, "go"));
    QTRY_VERIFY_WITH_TIMEOUT(probe.start->isEnabled(), kRunTimeout);
    QCOMPARE(watcher.statuses.last(), batchStatus(41, 45));
}

void TestPsdSlimRun::confirmations_data()
{
    QTest::addColumn<int>("smallFiles");
    QTest::addColumn<QList<qint64>>("largeSizes");
    QTest::addColumn<QList<QMessageBox::StandardButton>>("answers");
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<bool>("runs");

    const QString large = u"大批量 PSD/PSB 处理确认"_s;
    const QString huge = u"超大 PSD/PSB 文件提示"_s;
    using Sizes = QList<qint64>;
    using Answers = QList<QMessageBox::StandardButton>;
    const auto yes = QMessageBox::Yes;
    const auto no = QMessageBox::No;
    // clang-format off
    const Sizes twentyGiB{4 * kGiB, 4 * kGiB, 4 * kGiB, 4 * kGiB, 4 * kGiB};
    QTest::newRow("200 files ask nothing") << 200 << Sizes{} << Answers{} << QStringList{} << true;
    QTest::newRow("201 files ask") << 201 << Sizes{} << Answers{yes} << QStringList{large} << true;
    QTest::newRow("201 files, refused") << 201 << Sizes{} << Answers{no} << QStringList{large} << false;
    QTest::newRow("over 20 GiB in total") << 1 << twentyGiB << Answers{yes} << QStringList{large} << true;
    QTest::newRow("exactly 20 GiB") << 0 << twentyGiB << Answers{} << QStringList{} << true;
    QTest::newRow("one file over 4 GiB") << 2 << Sizes{4 * kGiB + 1} << Answers{yes} << QStringList{huge} << true;
    QTest::newRow("over 4 GiB, refused") << 2 << Sizes{4 * kGiB + 1} << Answers{no} << QStringList{huge} << false;
    QTest::newRow("first refused, no second") << 201 << Sizes{5 * kGiB} << Answers{no} << QStringList{large} << false;
    QTest::newRow("first accepted, second refused")
        << 201 << Sizes{5 * kGiB} << Answers{yes, no} << QStringList{large, huge} << false;
    QTest::newRow("both accepted") << 201 << Sizes{5 * kGiB} << Answers{yes, yes} << QStringList{large, huge} << true;
    // clang-format on
}

void TestPsdSlimRun::confirmations()
{
    QFETCH(int, smallFiles);
    QFETCH(QList<qint64>, largeSizes);
    QFETCH(QList<QMessageBox::StandardButton>, answers);
    QFETCH(QStringList, asked);
    QFETCH(bool, runs);

    plantStandIn(u"normal"_s);
    const QString folder = scratch.filePath(u"confirm-%1"_s.arg(QString::fromLatin1(QTest::currentDataTag()))
                                                .replace(u' ', u'_'));
    QVERIFY(QDir().mkpath(folder));
    QStringList paths;
    qint64 total = 0;
    for (int i = 0; i < smallFiles; ++i) {
        paths.append(QDir(folder).filePath(u"s%1.psd"_s.arg(i, 3, 10, QLatin1Char('0'))));
        QVERIFY(makeSparse(paths.last(), 1024));
        total += 1024;
    }
    for (int i = 0; i < largeSizes.size(); ++i) {
        paths.append(QDir(folder).filePath(u"l%1.psb"_s.arg(i)));
        QVERIFY(makeSparse(paths.last(), largeSizes.at(i)));
        total += largeSizes.at(i);
    }

    const auto page = makePage(paths);
    RunProbe probe(*page);
    prompts.answers = answers;
    const QString logBefore = probe.log->toPlainText();
    probe.start->click();
    QCOMPARE(prompts.titles(), asked);
    for (const RecordingPrompts::Asked& question : std::as_const(prompts.asked)) {
        QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(question.defaultButton, QMessageBox::Yes);
        if (question.title == u"大批量 PSD/PSB 处理确认"_s) {
            QCOMPARE(question.kind, UserPrompts::Kind::Question);
            QCOMPARE(question.text,
                     u"已选择 %1 个文件（%2）。为了避免长队列导致后台解析器内存持续增长，程序会每 20 个文件自动完成一个安全批次并重启后台组件。"
                     "\n\n处理期间，每个文件所在目录必须保留可用临时空间，且单个 PSD/PSB 的解析可能占用数倍于文件大小的内存。不会覆盖未经结构校验的文件。是否继续？"_s
                         .arg(paths.size())
                         .arg(sizeText(total)));
        } else {
            QCOMPARE(question.kind, UserPrompts::Kind::Warning);
            QCOMPARE(question.text,
                     u"队列中包含大于 %1 的单个文件。该文件会在独立安全批次中处理，需要足够的磁盘临时空间与可用内存；内存不足、文件被占用或格式不受支持时，该项会标记为失败，其余文件将继续处理。是否继续？"_s
                         .arg(sizeText(4 * kGiB)));
        }
    }
    if (!runs) {
        // A refusal leaves everything as it was.
        QVERIFY(probe.start->isEnabled());
        QCOMPARE(probe.log->toPlainText(), logBefore);
        QCOMPARE(probe.status->text(), u"就绪"_s);
        QVERIFY(!page->isRunning());
        QVERIFY(WorkerWatcher::jobFiles(kJobPattern).isEmpty());
        return;
    }
    QVERIFY(!probe.start->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(probe.start->isEnabled(), kRunTimeout);
    QCOMPARE(probe.status->text(), u"处理完成"_s);
}

void TestPsdSlimRun::largeFileGoesAlone_data()
{
    QTest::addColumn<QList<qint64>>("sizes");
    QTest::addColumn<QList<int>>("batches"); // batch sizes in order

    constexpr qint64 gb = 1000 * 1000 * 1000;
    // clang-format off
    QTest::newRow("1 GB, 5 GB, 1 GB")        << QList<qint64>{gb, 5 * gb, gb}             << QList<int>{1, 1, 1};
    QTest::newRow("big file at the head")    << QList<qint64>{5 * gb, gb, gb}             << QList<int>{1, 2};
    QTest::newRow("exactly 4 GiB is normal") << QList<qint64>{gb, 4 * kGiB, gb}           << QList<int>{3};
    QTest::newRow("two big files in a row")  << QList<qint64>{gb, 5 * gb, 5 * gb, gb, gb} << QList<int>{1, 1, 1, 2};
    // clang-format on
}

void TestPsdSlimRun::largeFileGoesAlone()
{
    QFETCH(QList<qint64>, sizes);
    QFETCH(QList<int>, batches);

    plantStandIn(u"normal"_s);
    const QString folder = scratch.filePath(u"alone-%1"_s.arg(QString::fromLatin1(QTest::currentDataTag()))
                                                .replace(u' ', u'_'));
    QVERIFY(QDir().mkpath(folder));
    QStringList paths;
    for (int i = 0; i < sizes.size(); ++i) {
        paths.append(QDir(folder).filePath(u"big%1.psb"_s.arg(i)));
        QVERIFY(makeSparse(paths.last(), sizes.at(i)));
    }
    const auto page = makePage(paths);
    RunProbe probe(*page);
    WorkerWatcher watcher(*page, probe.status, kJobPattern);
    probe.start->click();
    QTRY_VERIFY_WITH_TIMEOUT(probe.start->isEnabled(), kRunTimeout);

    QList<int> seen;
    QStringList handedOut;
    for (const QJsonObject& job : std::as_const(watcher.jobs)) {
        seen.append(int(jobFiles(job).size()));
        handedOut += jobFiles(job);
    }
    QCOMPARE(seen, batches);
    QCOMPARE(handedOut, paths);
    const bool askedHuge = prompts.titles().contains(u"超大 PSD/PSB 文件提示"_s);
    QCOMPARE(askedHuge, std::any_of(sizes.begin(), sizes.end(), [](qint64 s) { return s > 4 * kGiB; }));
}

void TestPsdSlimRun::jobFileCannotBeWritten_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("failingBatch"); // the batch whose job file cannot be made
    QTest::addColumn<int>("slimmed");      // rows of earlier batches, all done
    // clang-format off
    QTest::newRow("first batch")  << 25 << 0 << 0;
    QTest::newRow("second batch") << 45 << 1 << 20;
    // clang-format on
}

void TestPsdSlimRun::jobFileCannotBeWritten()
{
    QFETCH(int, files);
    QFETCH(int, failingBatch);
    QFETCH(int, slimmed);

    plantStandIn(u"normal"_s);
    const QString folder = u"nojob-%1"_s.arg(QString::fromLatin1(QTest::currentDataTag())).replace(u' ', u'_');
    const QStringList paths = makeFixtures(scratch.filePath(folder), files);
    QCOMPARE(paths.size(), files);
    const auto page = makePage(paths);
    RunProbe probe(*page);

    // The temporary folder becomes a file: no job file can be made from the failing batch on.
    const QString notAFolder = scratch.filePath(u"not-a-folder"_s);
    QVERIFY(PsdFixture::write(notAFolder, "file"));
    // The variable the system's temporary folder follows.
    const char* const kTempVariable = HostSystem::isWindows ? "TMP" : "TMPDIR";
    const QByteArray savedTemp = qgetenv(kTempVariable);
    WorkerWatcher watcher(*page, probe.status, kJobPattern);
    watcher.onWorker = [&](int index) {
        if (index + 1 == failingBatch)
            qputenv(kTempVariable, notAFolder.toUtf8());
    };
    if (failingBatch == 0)
        qputenv(kTempVariable, notAFolder.toUtf8());
    probe.start->click();
    if (failingBatch == 0)
        qputenv(kTempVariable, savedTemp);
    QTRY_VERIFY_WITH_TIMEOUT(probe.start->isEnabled(), kRunTimeout);
    qputenv(kTempVariable, savedTemp);

    const int notStarted = files - slimmed;
    QCOMPARE(prompts.titles(), QStringList{u"无法继续处理"_s});
    QCOMPARE(prompts.asked.first().text, u"无法创建瘦身任务临时文件，剩余文件未被修改。"_s);
    QCOMPARE(prompts.asked.first().kind, UserPrompts::Kind::Warning);
    // No row is left "pending" by a run that has ended, and the failure count matches the rows.
    QCOMPARE(probe.rowStatuses(), QStringList(slimmed, u"已完成"_s) + QStringList(notStarted, u"未开始"_s));
    QCOMPARE(probe.status->text(), u"处理完成，%1 项失败"_s.arg(notStarted));
    QCOMPARE(probe.logLines().last(), u"瘦身任务结束：完成 %1 项，失败 %2 项，累计节省 %3。"_s.arg(slimmed)
                                          .arg(notStarted)
                                          .arg(sizeText(slimmed * 1000)));
    QVERIFY(!page->isRunning());
}

void TestPsdSlimRun::emptyQueue()
{
    const auto page = makePage({});
    RunProbe probe(*page);
    probe.start->click();
    QCOMPARE(prompts.asked.size(), 1);
    QCOMPARE(prompts.asked.first().kind, UserPrompts::Kind::Information);
    QCOMPARE(prompts.asked.first().title, u"尚未选择文件"_s);
    QCOMPARE(prompts.asked.first().text, u"请先选择 PSD/PSB 文件或文件夹。"_s);
    QCOMPARE(prompts.asked.first().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(probe.start->isEnabled());
}

void TestPsdSlimRun::noTrustedWorker()
{
    // Every candidate folder is blocked by a file where its "components" folder would be; a stand-in that would
    // record its start lies in the current folder, where an untrusting lookup must never go.
    const QStringList folders = WorkerExtraction::candidateFolders();
    QStringList blockers;
    for (const QString& folder : folders) {
        const QString components = QFileInfo(folder).path();
        // A worker that has just ended may hold its program file a moment longer on Windows.
        if (QFileInfo(components).isDir())
            QTRY_VERIFY_WITH_TIMEOUT(QDir(components).removeRecursively(), 10000);
        QVERIFY(QDir().mkpath(QFileInfo(components).path()));
        QVERIFY(PsdFixture::write(components, "blocked"));
        blockers.append(components);
    }
    const QString cwd = scratch.filePath(u"cwd"_s);
    QVERIFY(QDir().mkpath(cwd));
    const QString savedCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(cwd));
    QVERIFY(QFile::copy(QStringLiteral(LEANFOLD_FAKE_WORKER), QDir(cwd).filePath(u"LeanfoldWorker.exe"_s)));
    const QString record = scratch.filePath(u"cwd-record"_s);
    qputenv("LEANFOLD_FAKE_RECORD", record.toUtf8());

    const QStringList paths = makeFixtures(scratch.filePath(u"untrusted"_s), 2);
    const auto page = makePage(paths);
    RunProbe probe(*page);
    probe.start->click();

    QDir::setCurrent(savedCwd);
    for (const QString& blocker : blockers)
        QFile::remove(blocker);
    QCOMPARE(prompts.titles(), QStringList{u"无法开始处理"_s});
    QCOMPARE(prompts.asked.first().text, u"后台瘦身组件不存在：LeanfoldWorker.exe"_s);
    QVERIFY(!page->isRunning());
    QVERIFY(probe.start->isEnabled());
    QVERIFY(!QFile::exists(record));
}

QTEST_MAIN(TestPsdSlimRun)
#include "TestPsdSlimRun.moc"
