#include "PsdFixture.h"
#include "RecordingPrompts.h"
#include "RunProbe.h"

#include "app/StandaloneMain.h"
#include "page/IntegratedToolPage.h"

#include "support/HostSystem.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kRunTimeout = 60000;
const QString kJobPattern = u"Lumora-layer-export-*.json"_s;

// What the stand-in recorded: its working folder, its arguments and the job text it read.
struct Record {
    QString cwd;
    QStringList arguments;
    QByteArray job;
};

Record readRecord(const QString& path)
{
    Record record;
    const QList<QByteArray> lines = PsdFixture::read(path).split('\n');
    for (const QByteArray& line : lines) {
        const qsizetype tab = line.indexOf('\t');
        const QByteArray key = line.left(tab);
        const QByteArray value = line.mid(tab + 1);
        if (key == "cwd")
            record.cwd = QString::fromUtf8(value);
        else if (key == "arg")
            record.arguments.append(QString::fromUtf8(value));
        else if (key == "job")
            record.job = value;
    }
    return record;
}

} // namespace

class TestLayerExportRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void jobKeys_data();
    void jobKeys();
    void oneWorkerForTheWholeQueue();
    void workerFails_data();
    void workerFails();
    void protocol_data();
    void protocol();
    void missingWorker();
    void emptyQueue();
    void jobFileCannotBeWritten();

private:
    std::unique_ptr<IntegratedToolPage> makePage(int files);
    QString workerPath() const;
    void installWorker(const QByteArray& bytes);

    QTemporaryDir scratch;
    RecordingPrompts prompts;
    QStringList paths;
    QString record;
    QString release;
};

void TestLayerExportRun::initTestCase()
{
    prepareRunTest(kJobPattern);
    QVERIFY(scratch.isValid());
    for (int i = 0; i < 3; ++i) {
        paths.append(scratch.filePath(u"art/%1.psd"_s.arg(QChar(u'a' + i))));
        QVERIFY(QDir().mkpath(QFileInfo(paths.last()).path()));
        QVERIFY(PsdFixture::write(paths.last(), PsdFixture::document(2)));
    }
}

void TestLayerExportRun::init()
{
    prompts.asked.clear();
    prompts.answers.clear();
    for (const char* name :
         {"LEANFOLD_FAKE_MODE", "LEANFOLD_FAKE_EXIT", "LEANFOLD_FAKE_LINES", "LEANFOLD_FAKE_RELEASE"}) {
        qunsetenv(name);
    }
    const QString tag = QString::fromLatin1(QTest::currentTestFunction()) + u'-' +
                        QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_');
    record = scratch.filePath(u"record-"_s + tag);
    release = scratch.filePath(u"release-"_s + tag);
    qputenv("LEANFOLD_FAKE_RECORD", record.toUtf8());
    QFile standIn(QStringLiteral(LEANFOLD_FAKE_WORKER));
    QVERIFY(standIn.open(QIODevice::ReadOnly));
    installWorker(standIn.readAll());
}

void TestLayerExportRun::cleanup()
{
    QVERIFY2(WorkerWatcher::jobFiles(kJobPattern).isEmpty(), "a job file outlived its worker");
}

void TestLayerExportRun::cleanupTestCase()
{
    QCOMPARE(ProcessHygiene::destroyedWhileRunning(), 0);
}

QString TestLayerExportRun::workerPath() const
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(u"tools/integrated/StratafileWorker.exe"_s);
}

// The layer export worker lies beside the layer export tool in the program's tools/integrated folder.
void TestLayerExportRun::installWorker(const QByteArray& bytes)
{
    QVERIFY(QDir().mkpath(QFileInfo(workerPath()).path()));
    QFile::remove(workerPath());
    QVERIFY(PsdFixture::write(workerPath(), bytes));
    QVERIFY(QFile::setPermissions(workerPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ExeOwner));
}

std::unique_ptr<IntegratedToolPage> TestLayerExportRun::makePage(int files)
{
    auto page = std::make_unique<IntegratedToolPage>(IntegratedTools::LayerExport, nullptr, false);
    page->setUserPrompts(&prompts);
    page->addPaths(paths.mid(0, files), false);
    return page;
}

void TestLayerExportRun::jobKeys_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("sizing"); // item data to select; empty keeps the default item
    QTest::addColumn<bool>("trim");
    QTest::addColumn<QString>("jobOutput");
    QTest::addColumn<QString>("jobSizing");

    // clang-format off
    QTest::newRow("defaults") << QString() << QString() << true << u""_s << u"multiple4"_s;
    QTest::newRow("output folder trimmed")
        << u"  /out/放这里 \t"_s << QString() << true << u"/out/放这里"_s << u"multiple4"_s;
    QTest::newRow("even sizing") << QString() << u"even"_s << true << u""_s << u"even"_s;
    QTest::newRow("no rule, trim cleared") << QString() << u"none"_s << false << u""_s << u"none"_s;
    QTest::newRow("power of two") << u"/o"_s << u"power2"_s << true << u"/o"_s << u"power2"_s;
    // clang-format on
}

void TestLayerExportRun::jobKeys()
{
    QFETCH(QString, output);
    QFETCH(QString, sizing);
    QFETCH(bool, trim);
    QFETCH(QString, jobOutput);
    QFETCH(QString, jobSizing);

    const auto page = makePage(3);
    RunProbe probe(*page);
    page->findChild<QLineEdit*>(u"layerOutputDirectory"_s)->setText(output);
    auto* sizingMode = page->findChild<QComboBox*>(u"layerSizingMode"_s);
    if (!sizing.isEmpty())
        sizingMode->setCurrentIndex(sizingMode->findData(sizing));
    page->findChild<QCheckBox*>(u"layerTrimTransparency"_s)->setChecked(trim);
    probe.start->click();
    QTRY_VERIFY_WITH_TIMEOUT(probe.start->isEnabled(), kRunTimeout);

    const Record seen = readRecord(record);
    // Compact JSON, keys in alphabetical order, absolute paths in queue order.
    const QString expected =
        u"{\"files\":[\"%1\",\"%2\",\"%3\"],\"output\":\"%4\",\"sizingMode\":\"%5\",\"trimTransparency\":%6}"_s
            .arg(paths.at(0), paths.at(1), paths.at(2), jobOutput, jobSizing, trim ? u"true"_s : u"false"_s);
    QCOMPARE(QString::fromUtf8(seen.job), expected);
    QCOMPARE(seen.arguments.size(), 2);
    QCOMPARE(seen.arguments.at(0), u"--job"_s);
    const QString jobName =
        u"^%1/Lumora-layer-export-\\w{6}\\.json$"_s.arg(QRegularExpression::escape(QDir::tempPath()));
    QVERIFY(QRegularExpression(jobName).match(seen.arguments.at(1)).hasMatch());
    QCOMPARE(seen.cwd, QFileInfo(workerPath()).absolutePath());
    QVERIFY(!QFile::exists(seen.arguments.at(1)));
}

void TestLayerExportRun::oneWorkerForTheWholeQueue()
{
    qputenv("LEANFOLD_FAKE_RELEASE", release.toUtf8());
    const auto page = makePage(3);
    RunProbe probe(*page);
    probe.start->click();
    QVERIFY(!probe.start->isEnabled());
    QVERIFY(!probe.tree->isEnabled());
    QCOMPARE(probe.rowStatuses(), QStringList(3, u"等待导出"_s));
    QVERIFY(QRegularExpression(u"^\\[\\d\\d:\\d\\d:\\d\\d\\] 开始页内直接导出，共 3 个 PSD/PSB；不会打开第二个程序窗口。$"_s)
                .match(probe.logLines().last())
                .hasMatch());
    QCOMPARE(probe.elapsed->text(), u"已用时间：00:00:00"_s);
    QCOMPARE(probe.remaining->text(), u"剩余时间：--:--:--"_s);

    // The worker's progress drives the bar with its own total.
    QTRY_COMPARE_WITH_TIMEOUT(probe.bar->value(), 3, kRunTimeout);
    QCOMPARE(probe.bar->maximum(), 3);
    QCOMPARE(probe.status->text(), u"导出：c.psd"_s);
    // A second Start while the worker runs does nothing.
    probe.start->setEnabled(true);
    probe.start->click();
    probe.start->setEnabled(false);
    QVERIFY(prompts.asked.isEmpty());

    QVERIFY(PsdFixture::write(release, "go"));
    QTRY_VERIFY_WITH_TIMEOUT(probe.start->isEnabled(), kRunTimeout);
    QVERIFY(QFile::exists(record));
    QVERIFY(!QFile::exists(record + u".2"_s));
    QCOMPARE(probe.rowStatuses(), QStringList(3, u"已完成"_s));
    QCOMPARE(probe.status->text(), u"处理完成"_s);
    QCOMPARE(probe.bar->value(), probe.bar->maximum());
    QCOMPARE(probe.remaining->text(), u"剩余时间：00:00:00"_s);
    QCOMPARE(probe.logLinesWith(u"完成："_s), QStringList{u"完成：导出 3，跳过 0，失败 0。"_s});
    QVERIFY(probe.tree->isEnabled());
}

void TestLayerExportRun::workerFails_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("replacement");
    QTest::addColumn<int>("reported");

    // clang-format off
    QTest::newRow("exit code 5")         << u"normal"_s   << 5 << QByteArray()                 << 5;
    QTest::newRow("exit without output") << u"exitonly"_s << 1 << QByteArray()                 << 1;
    // abort() is SIGABRT (6) on Unix and exit code 3 on Windows.
    QTest::newRow("crash (abort)")       << u"crash"_s    << 0 << QByteArray()  << (HostSystem::isWindows ? 3 : 6);
    QTest::newRow("cannot start")        << u"normal"_s   << 0 << QByteArray("plain text\n")   << 3;
    // clang-format on
}

void TestLayerExportRun::workerFails()
{
    QFETCH(QString, mode);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, replacement);
    QFETCH(int, reported);

    qputenv("LEANFOLD_FAKE_MODE", mode.toUtf8());
    qputenv("LEANFOLD_FAKE_EXIT", QByteArray::number(exitCode));
    if (!replacement.isEmpty())
        installWorker(replacement);
    const auto page = makePage(2);
    RunProbe probe(*page);
    probe.start->click();
    QTRY_VERIFY_WITH_TIMEOUT(probe.start->isEnabled(), kRunTimeout);

    QCOMPARE(probe.rowStatuses(), QStringList(2, u"失败"_s));
    QCOMPARE(probe.status->text(), u"导出失败"_s);
    QCOMPARE(probe.logLinesWith(u"后台导出异常结束"_s), QStringList{u"后台导出异常结束，退出码：%1"_s.arg(reported)});
    QVERIFY(!page->isRunning());
}

void TestLayerExportRun::protocol_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QByteArray>("lines");   // LEANFOLD_FAKE_LINES
    QTest::addColumn<bool>("hold");          // look while the worker still runs
    QTest::addColumn<QString>("status");     // status text seen (empty: not checked)
    QTest::addColumn<int>("barValue");
    QTest::addColumn<int>("barMaximum");
    QTest::addColumn<QStringList>("logHas"); // log lines that must be there
    QTest::addColumn<QStringList>("logLacks"); // texts no log line may hold

    const QString done3 = u"完成：导出 3，跳过 0，失败 0。"_s;
    const QStringList none;
    // clang-format off
    QTest::newRow("line split across reads")
        << u"split"_s << QByteArray() << true << u"导出：c.psd  part two"_s << 30 << 30 << none << none;
    QTest::newRow("CR LF line ends")
        << u"crlf"_s << QByteArray("ERROR\tdisk\tfull") << false << u"处理完成"_s << 3 << 3
        << QStringList{done3, u"导出错误：disk  full"_s} << QStringList{u"\r"_s};
    QTest::newRow("progress with total 0")
        << u"normal"_s << QByteArray("PROGRESS\t10\t0\tz") << true << u"z"_s << 1 << 1 << none << none;
    QTest::newRow("progress, three fields")
        << u"normal"_s << QByteArray("PROGRESS\t1\t2") << true << u"导出：c.psd"_s << 3 << 3 << none << none;
    QTest::newRow("progress, bad numbers")
        << u"normal"_s << QByteArray("PROGRESS\tx\t-4\tq") << true << u"q"_s << 0 << 1 << none << none;
    QTest::newRow("DONE with bad JSON")
        << u"badjson"_s << QByteArray() << false << u"处理完成"_s << 3 << 3
        << QStringList{u"完成：导出 0，跳过 0，失败 0。"_s} << none;
    QTest::newRow("no final line feed")
        << u"nofinallf"_s << QByteArray() << false << u"处理完成"_s << 3 << 3 << none << QStringList{u"完成："_s};
    QTest::newRow("invalid UTF-8")
        << u"badutf8"_s << QByteArray() << false << QString() << 3 << 3 << none << none;
    QTest::newRow("over-long line dropped")
        << u"overlong"_s << QByteArray() << false << u"处理完成"_s << 3 << 3
        << QStringList{done3} << QStringList{u"999"_s, u"xxxxxxxx"_s};
    QTest::newRow("white-space standard error")
        << u"stderr"_s << QByteArray() << false << u"处理完成"_s << 3 << 3
        << QStringList{u"后台详情：first detail"_s, u"second detail"_s} << none;
    // The widget keeps the newest lines: the first ones and most of the flood go.
    QTest::newRow("flood of LOG lines and standard error")
        << u"flood"_s << QByteArray() << false << u"处理完成"_s << 3 << 3
        << none << QStringList{u"stand-in started"_s, u"flood line 0"_s, u"yyyyyyyy"_s};
    QTest::newRow("unknown kinds ignored")
        << u"normal"_s << QByteArray("WARN\tx|progress\t1\t1\tlow|DONE") << true << u"导出：c.psd"_s << 3 << 3
        << none << QStringList{u"WARN"_s};
    // clang-format on
}

void TestLayerExportRun::protocol()
{
    QFETCH(QString, mode);
    QFETCH(QByteArray, lines);
    QFETCH(bool, hold);
    QFETCH(QString, status);
    QFETCH(int, barValue);
    QFETCH(int, barMaximum);
    QFETCH(QStringList, logHas);
    QFETCH(QStringList, logLacks);

    qputenv("LEANFOLD_FAKE_MODE", mode.toUtf8());
    if (hold) {
        // The sentinel tells when every line before it has been handled.
        lines += lines.isEmpty() ? "LOG\tsentinel" : "|LOG\tsentinel";
        qputenv("LEANFOLD_FAKE_RELEASE", release.toUtf8());
    }
    if (!lines.isEmpty())
        qputenv("LEANFOLD_FAKE_LINES", lines);
    const auto page = makePage(3);
    RunProbe probe(*page);
    probe.start->click();

    if (hold) {
        QTRY_VERIFY_WITH_TIMEOUT(!probe.logLinesWith(u"sentinel"_s).isEmpty(), kRunTimeout);
        QCOMPARE(probe.status->text(), status);
        QCOMPARE(probe.bar->value(), barValue);
        QCOMPARE(probe.bar->maximum(), barMaximum);
        // ITEM lines are not this tool's: rows stay as the run set them.
        QCOMPARE(probe.rowStatuses(), QStringList(3, u"等待导出"_s));
        QVERIFY(PsdFixture::write(release, "go"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(probe.start->isEnabled(), kRunTimeout);
    if (!hold) {
        if (!status.isEmpty())
            QCOMPARE(probe.status->text(), status);
        QCOMPARE(probe.bar->value(), barValue);
        QCOMPARE(probe.bar->maximum(), barMaximum);
    }
    const QStringList log = probe.logLines();
    for (const QString& line : logHas)
        QVERIFY2(log.contains(line), qPrintable(line));
    for (const QString& text : logLacks)
        QVERIFY2(probe.logLinesWith(text).isEmpty(), qPrintable(text));
    if (mode == u"flood") {
        // At most twice the 1000 lines kept after each cut, each entry at most 4096 characters and an ellipsis.
        QVERIFY2(probe.log->document()->blockCount() <= 2000,
                 qPrintable(QString::number(probe.log->document()->blockCount())));
        QVERIFY(probe.log->toPlainText().size() <= 2000 * 4097);
        return;
    }
    QVERIFY(probe.logLinesWith(u"stand-in started"_s).first().endsWith(u"] stand-in started"_s));
    if (mode == u"badutf8")
        QCOMPARE(probe.logLinesWith(u"bad "_s).first().section(u"] "_s, 1), u"bad \uFFFD\uFFFD bytes"_s);
    if (mode == u"stderr")
        QCOMPARE(probe.logLinesWith(u"后台详情"_s).size(), 1);
}

void TestLayerExportRun::missingWorker()
{
    QFile::remove(workerPath());
    const auto page = makePage(2);
    RunProbe probe(*page);
    probe.start->click();
    QCOMPARE(prompts.asked.size(), 1);
    QCOMPARE(prompts.asked.first().kind, UserPrompts::Kind::Warning);
    QCOMPARE(prompts.asked.first().title, u"无法开始导出"_s);
    QCOMPARE(prompts.asked.first().text, u"后台导出组件不存在：%1"_s.arg(workerPath()));
    QVERIFY(probe.start->isEnabled());
    QCOMPARE(probe.rowStatuses(), QStringList(2, u"等待处理"_s));
}

void TestLayerExportRun::emptyQueue()
{
    const auto page = makePage(0);
    RunProbe probe(*page);
    probe.start->click();
    QCOMPARE(prompts.titles(), QStringList{u"尚未选择文件"_s});
    QCOMPARE(prompts.asked.first().kind, UserPrompts::Kind::Information);
    QCOMPARE(prompts.asked.first().text, u"请先选择 PSD/PSB 文件或文件夹。"_s);
    QVERIFY(!QFile::exists(record));
}

void TestLayerExportRun::jobFileCannotBeWritten()
{
    const auto page = makePage(2);
    RunProbe probe(*page);
    const QString logBefore = probe.log->toPlainText();
    // The temporary folder is a file: no job file can be made.
    const QString notAFolder = scratch.filePath(u"not-a-folder"_s);
    QVERIFY(PsdFixture::write(notAFolder, "file"));
    // The variable the system's temporary folder follows.
    const char* const tempVariable = HostSystem::isWindows ? "TMP" : "TMPDIR";
    const QByteArray savedTemp = qgetenv(tempVariable);
    qputenv(tempVariable, notAFolder.toUtf8());
    probe.start->click();
    qputenv(tempVariable, savedTemp);

    QCOMPARE(prompts.titles(), QStringList{u"无法开始导出"_s});
    QCOMPARE(prompts.asked.first().text, u"无法创建临时导出任务文件。"_s);
    // Nothing on the page has changed.
    QVERIFY(probe.start->isEnabled());
    QCOMPARE(probe.status->text(), u"就绪"_s);
    QCOMPARE(probe.log->toPlainText(), logBefore);
    QCOMPARE(probe.rowStatuses(), QStringList(2, u"等待处理"_s));
    QVERIFY(!page->isRunning());
    QVERIFY(!QFile::exists(record));
}

QTEST_MAIN(TestLayerExportRun)
#include "TestLayerExportRun.moc"
