// Real Leanfold processes: a first instance with its window, and later launches that hand it their files.
#include "LeanfoldProcessLog.h"
#include "app/InstanceEndpoint.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

const QString kExecutable = QStringLiteral(LEANFOLD_EXECUTABLE);
const QString kTool = u"psd-slim"_s;
constexpr int kStartTimeoutMs = 30000;

QString addedRecord(int added)
{
    return u"message=\"integrated tool path list psd-slim added= %1 "_s.arg(added);
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void secondLaunchForwardsThroughEndpoint_data();
    void secondLaunchForwardsThroughEndpoint();
    void bareSecondLaunchLeavesFirstAlone();
    void secondLaunchUsesInboxWhenEndpointIsGone();
    void secondLaunchWithNoChannelFails();
    void firstInstanceWithoutEndpointFails();
    void killedInstanceLeavesNoObstacle_data();
    void killedInstanceLeavesNoObstacle();

private:
    // Starts a first instance with files and waits until its window is shown and its endpoint listens.
    bool startFirst(QProcess& process, const QStringList& arguments);
    // Runs a later launch to its end; returns its exit code, or -1 when it did not end normally.
    int runLater(const QStringList& arguments, qint64* pid = nullptr);
    QString makeFile(const QString& name);

    QTemporaryDir files;
    QString serverName;
    QString inboxFolder;
    QList<QProcess*> firstInstances;
    LeanfoldProcessLog* log = nullptr;
};

void TestSingleInstance::initTestCase()
{
    QVERIFY2(QFileInfo(kExecutable).isExecutable(), qPrintable(kExecutable));
    QVERIFY(files.isValid());
    serverName = InstanceEndpoint::toolServerName(kTool);
    inboxFolder = InstanceEndpoint::toolInboxDirectory(kTool);
    QVERIFY(!serverName.isEmpty() && !inboxFolder.isEmpty());
}

void TestSingleInstance::init()
{
    log = new LeanfoldProcessLog(kExecutable);
    QLocalServer::removeServer(serverName);
    QDir(inboxFolder).removeRecursively();
}

void TestSingleInstance::cleanup()
{
    for (QProcess* process : std::as_const(firstInstances)) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(10000);
        }
        delete process;
    }
    firstInstances.clear();
    delete log;
    log = nullptr;
}

void TestSingleInstance::cleanupTestCase()
{
    QLocalServer::removeServer(serverName);
}

QString TestSingleInstance::makeFile(const QString& name)
{
    const QString path = files.filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write("8BPS") != 4)
        return QString();
    return path;
}

bool TestSingleInstance::startFirst(QProcess& process, const QStringList& arguments)
{
    process.setProgram(kExecutable);
    process.setArguments(arguments);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    if (!process.waitForStarted(kStartTimeoutMs))
        return false;
    const qint64 pid = process.processId();
    const bool shown = QTest::qWaitFor([&] {
        return process.state() != QProcess::Running || log->has(pid, u"standalone window shown psd-slim"_s);
    }, kStartTimeoutMs);
    return shown && process.state() == QProcess::Running && log->has(pid, u"standalone window shown psd-slim"_s);
}

int TestSingleInstance::runLater(const QStringList& arguments, qint64* pid)
{
    QProcess later;
    later.setProgram(kExecutable);
    later.setArguments(arguments);
    later.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    later.start();
    if (!later.waitForStarted(kStartTimeoutMs))
        return -1;
    if (pid)
        *pid = later.processId();
    if (!later.waitForFinished(kStartTimeoutMs)) {
        later.kill();
        later.waitForFinished();
        return -1;
    }
    return later.exitStatus() == QProcess::NormalExit ? later.exitCode() : -1;
}

void TestSingleInstance::secondLaunchForwardsThroughEndpoint_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("prefixes");
    QTest::addColumn<int>("added");
    QTest::newRow("two files") << QStringList{u"a/one.psd"_s, u"a/two.psb"_s} << QStringList{QString(), QString()} << 2;
    QTest::newRow("input prefix in any case") << QStringList{u"b/three.psd"_s} << QStringList{u"/INPUT:"_s} << 1;
    QTest::newRow("name with spaces and CJK") << QStringList{u"c/图 层.psd"_s} << QStringList{QString()} << 1;
}

void TestSingleInstance::secondLaunchForwardsThroughEndpoint()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, prefixes);
    QFETCH(int, added);

    auto* first = new QProcess;
    firstInstances.append(first);
    const QString initial = makeFile(u"first/initial.psd"_s);
    QVERIFY(startFirst(*first, {initial}));
    QTRY_VERIFY_WITH_TIMEOUT(log->has(first->processId(), addedRecord(1)), kStartTimeoutMs);

    QStringList arguments;
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString path = makeFile(names.at(i));
        QVERIFY(!path.isEmpty());
        arguments.append(prefixes.at(i) + path);
    }
    qint64 laterPid = 0;
    QCOMPARE(runLater(arguments, &laterPid), 0);
    QVERIFY(log->has(laterPid, u"standalone paths forwarded psd-slim count= %1"_s.arg(names.size())));
    QTRY_VERIFY_WITH_TIMEOUT(log->has(first->processId(), addedRecord(added)), kStartTimeoutMs);
    QVERIFY(log->has(first->processId(), u"total= %1"_s.arg(1 + added)));
    QCOMPARE(first->state(), QProcess::Running);
}

void TestSingleInstance::bareSecondLaunchLeavesFirstAlone()
{
    auto* first = new QProcess;
    firstInstances.append(first);
    QVERIFY(startFirst(*first, {}));
    const int before = log->records(first->processId(), u"integrated tool path list"_s).size();

    qint64 laterPid = 0;
    QCOMPARE(runLater({}, &laterPid), 0);
    QVERIFY(log->has(laterPid, u"standalone paths forwarded psd-slim count= 0"_s));
    QVERIFY(!log->has(laterPid, u"standalone window shown"_s));
    // Nothing reached the first window: the next launch's file is the only addition after the bare one, and
    // connections are served in the order they come.
    QCOMPARE(runLater({makeFile(u"bare/after.psd"_s)}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(log->has(first->processId(), addedRecord(1)), kStartTimeoutMs);
    QCOMPARE(log->records(first->processId(), u"integrated tool path list"_s).size(), before + 1);
    QCOMPARE(first->state(), QProcess::Running);
}

void TestSingleInstance::secondLaunchUsesInboxWhenEndpointIsGone()
{
    auto* first = new QProcess;
    firstInstances.append(first);
    QVERIFY(startFirst(*first, {}));
    // The socket file vanishes (as a cleaner of runtime folders might do); the first instance still polls.
    QVERIFY(QFile::remove(serverName));

    const QString one = makeFile(u"inbox/one.psd"_s);
    const QString two = makeFile(u"inbox/two.psd"_s);
    qint64 laterPid = 0;
    QCOMPARE(runLater({one, two}, &laterPid), 0);
    QVERIFY(log->has(laterPid, u"standalone paths queued psd-slim count= 2"_s));
    QTRY_VERIFY_WITH_TIMEOUT(log->has(first->processId(), addedRecord(2)), kStartTimeoutMs);
    QTRY_VERIFY(QDir(inboxFolder).entryList({u"*.paths"_s}, QDir::Files).isEmpty());
}

void TestSingleInstance::secondLaunchWithNoChannelFails()
{
    auto* first = new QProcess;
    firstInstances.append(first);
    QVERIFY(startFirst(*first, {}));
    QVERIFY(QFile::remove(serverName));
    // An inbox folder others could write is not used, so the paths have nowhere to go.
    QVERIFY(QDir().mkpath(inboxFolder));
    QCOMPARE(::chmod(QFile::encodeName(inboxFolder).constData(), 0777), 0);

    qint64 laterPid = 0;
    QCOMPARE(runLater({makeFile(u"lost/one.psd"_s)}, &laterPid), 66);
    QVERIFY(log->has(laterPid, u"level=WARN"_s));
    QVERIFY(log->has(laterPid, u"unable to forward selected files to the running tool"_s));
    QVERIFY(QDir(inboxFolder).entryList({u"*.paths"_s}, QDir::Files).isEmpty());
}

void TestSingleInstance::firstInstanceWithoutEndpointFails()
{
    // A folder where the socket belongs can be neither listened on nor removed.
    QVERIFY(QDir().mkpath(serverName));
    qint64 pid = 0;
    QCOMPARE(runLater({makeFile(u"no-endpoint/one.psd"_s)}, &pid), 66);
    QVERIFY(log->has(pid, u"unable to create the tool instance endpoint %1"_s.arg(serverName)));
    QVERIFY(!log->has(pid, u"standalone window shown"_s));
    QVERIFY(QDir().rmdir(serverName));
}

void TestSingleInstance::killedInstanceLeavesNoObstacle_data()
{
    QTest::addColumn<bool>("withFile");
    QTest::newRow("bare launch shows a window") << false;
    QTest::newRow("launch with a file queues it") << true;
}

void TestSingleInstance::killedInstanceLeavesNoObstacle()
{
    QFETCH(bool, withFile);
    auto* killed = new QProcess;
    firstInstances.append(killed);
    QVERIFY(startFirst(*killed, {}));
    killed->kill();
    QVERIFY(killed->waitForFinished(10000));
    QVERIFY2(QFileInfo::exists(serverName), "a killed instance leaves its socket file behind");

    auto* next = new QProcess;
    firstInstances.append(next);
    const QStringList arguments = withFile ? QStringList{makeFile(u"after-kill/one.psd"_s)} : QStringList{};
    QVERIFY(startFirst(*next, arguments));
    QVERIFY(log->has(next->processId(), u"standalone invocation psd-slim received_paths= %1"_s.arg(arguments.size())));
    if (withFile)
        QTRY_VERIFY_WITH_TIMEOUT(log->has(next->processId(), addedRecord(1)), kStartTimeoutMs);

    // And it is a real first instance: a later launch reaches it.
    const QString later = makeFile(u"after-kill/later.psd"_s);
    QCOMPARE(runLater({later}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(log->has(next->processId(), u"total= %1"_s.arg(arguments.size() + 1)), kStartTimeoutMs);
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "TestSingleInstance.moc"
