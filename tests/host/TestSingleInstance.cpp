// Real Leanfold processes: a first instance with its window, and later launches that hand it their files.
#include "LeanfoldProcessLog.h"
#include "app/InstanceEndpoint.h"
#include "support/HostSystem.h"
#include "support/ProcessControl.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {

const QString kExecutable = QStringLiteral(LEANFOLD_EXECUTABLE);
const QString kTool = u"psd-slim"_s;
constexpr int kStartTimeoutMs = 30000;
// How long a later launch may take to end. One whose window is stopped tries 30 times, and each attempt that
// connects waits a second for its bytes to be written, for a Windows pipe holds none: under Wine that is about
// 40 s before it writes the inbox file.
constexpr int kLaterTimeoutMs = 90000;

QString addedRecord(int added)
{
    return u"message=\"integrated tool path list psd-slim added= %1 "_s.arg(added);
}

// This environment with changes: "NAME=value" sets, a bare "NAME" unsets; "@run" stands for the user's system
// runtime folder.
[[maybe_unused]] QProcessEnvironment changedEnvironment(const QStringList& changes, const QString& userRun)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (QString change : changes) {
        change.replace(u"@run"_s, userRun);
        const qsizetype equals = change.indexOf(u'=');
        if (equals < 0)
            environment.remove(change);
        else
            environment.insert(change.left(equals), change.mid(equals + 1));
    }
    return environment;
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
    void secondLaunchUsesInboxWhenEndpointIsGone_data();
    void secondLaunchUsesInboxWhenEndpointIsGone();
    void secondLaunchWithNoChannelFails();
    void startThatCannotHappenSaysWhy_data();
    void startThatCannotHappenSaysWhy();
    void mixedLaunchesShareOneWindow_data();
    void mixedLaunchesShareOneWindow();
    void killedInstanceLeavesNoObstacle_data();
    void killedInstanceLeavesNoObstacle();

private:
    // Starts a first instance with files and waits until its window is shown and its endpoint listens.
    bool startFirst(QProcess& process, const QStringList& arguments,
                    const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
    // Runs a later launch to its end; returns its exit code, or -1 when it did not end normally. Its standard
    // error goes to *errors when given.
    int runLater(const QStringList& arguments, qint64* pid = nullptr,
                 const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                 QByteArray* errors = nullptr);
    // Makes the file name under the scratch folder (a name ending in "/" is made as a folder; "@files" stands
    // for the scratch folder) and returns its path.
    QString makeFile(const QString& name);

    QTemporaryDir files;
    QString serverName;
    QString inboxFolder;
    QList<QProcess*> firstInstances;
    LeanfoldProcessLog* log = nullptr;
    QString userRun;         // /run/user/<uid>, where launches without XDG_RUNTIME_DIR meet the desktop's
    bool userRunMade = false; // made here (as root, where no login manager made it), so removed at the end
};

void TestSingleInstance::initTestCase()
{
    QVERIFY2(QFileInfo(kExecutable).isExecutable(), qPrintable(kExecutable));
    QVERIFY(files.isValid());
    serverName = InstanceEndpoint::toolServerName(kTool);
    inboxFolder = InstanceEndpoint::toolInboxDirectory(kTool);
    QVERIFY(!serverName.isEmpty() && !inboxFolder.isEmpty());
#ifdef Q_OS_UNIX
    userRun = u"/run/user/%1"_s.arg(::getuid());
    if (::getuid() == 0 && !QFileInfo::exists(userRun) && QDir().mkpath(u"/run/user"_s))
        userRunMade = ::mkdir(QFile::encodeName(userRun).constData(), 0700) == 0;
#endif
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
    if (userRunMade)
        QDir(userRun).removeRecursively();
}

QString TestSingleInstance::makeFile(const QString& pattern)
{
    QString name = pattern;
    name.replace(u"@files"_s, files.path());
    if (name.endsWith(u'/')) {
        const QString folder = files.filePath(name.chopped(1));
        return QDir().mkpath(folder) ? folder : QString();
    }
    const QString path = files.filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write("8BPS") != 4)
        return QString();
    return path;
}

bool TestSingleInstance::startFirst(QProcess& process, const QStringList& arguments,
                                    const QProcessEnvironment& environment)
{
    process.setProcessEnvironment(environment);
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

int TestSingleInstance::runLater(const QStringList& arguments, qint64* pid, const QProcessEnvironment& environment,
                                 QByteArray* errors)
{
    QProcess later;
    later.setProcessEnvironment(environment);
    later.setProgram(kExecutable);
    later.setArguments(arguments);
    if (!errors)
        later.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    later.start();
    if (!later.waitForStarted(kStartTimeoutMs))
        return -1;
    if (pid)
        *pid = later.processId();
    if (!later.waitForFinished(kLaterTimeoutMs)) {
        later.kill();
        later.waitForFinished();
        return -1;
    }
    if (errors)
        *errors = later.readAllStandardError();
    return later.exitStatus() == QProcess::NormalExit ? later.exitCode() : -1;
}

void TestSingleInstance::secondLaunchForwardsThroughEndpoint_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("prefixes");
    QTest::addColumn<QStringList>("alsoMade"); // made, but not named on the command line
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("added");
    const QStringList none;
    QTest::newRow("two files") << QStringList{u"a/one.psd"_s, u"a/two.psb"_s} << QStringList{QString(), QString()}
                               << none << 2 << 2;
    QTest::newRow("input prefix in any case")
        << QStringList{u"b/three.psd"_s} << QStringList{u"/INPUT:"_s} << none << 1 << 1;
    QTest::newRow("name with spaces and CJK")
        << QStringList{u"c/图 层.psd"_s} << QStringList{QString()} << none << 1 << 1;
    // A folder name planted to read as a second path: it is left out, and the user's own folder is not queued.
    QTest::newRow("line feed in a folder name")
        << QStringList{u"d/chosen.psd"_s, u"d/photos\n@files/d/docs/"_s} << QStringList{QString(), QString()}
        << QStringList{u"d/docs/victim.psd"_s} << 1 << 1;
}

void TestSingleInstance::secondLaunchForwardsThroughEndpoint()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, prefixes);
    QFETCH(QStringList, alsoMade);
    QFETCH(int, sent);
    QFETCH(int, added);
    if (HostSystem::isWindows && names.join(QString()).contains(u'\n'))
        QSKIP("Windows file names cannot hold a line feed");

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
    for (const QString& name : std::as_const(alsoMade))
        QVERIFY(!makeFile(name).isEmpty());
    qint64 laterPid = 0;
    QCOMPARE(runLater(arguments, &laterPid), 0);
    QVERIFY(log->has(laterPid, u"standalone paths forwarded psd-slim count= %1"_s.arg(sent)));
    // What was left out is named in the log, on one line.
    const QStringList leftOut = log->records(laterPid, u"standalone path not forwarded psd-slim"_s);
    QCOMPARE(leftOut.size(), names.size() - sent);
    for (const QString& record : leftOut)
        QVERIFY2(record.contains(u"level=WARN"_s) && record.contains(u"photos"_s) && record.contains(u"d/docs"_s),
                 qPrintable(record));
    // Waited for with its total: "added= 1" alone is already there from the first instance's own file.
    const QString forwarded = addedRecord(added) + u"rejected= 0 total= %1"_s.arg(1 + added);
    QTRY_VERIFY_WITH_TIMEOUT(log->has(first->processId(), forwarded), kStartTimeoutMs);
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

void TestSingleInstance::secondLaunchUsesInboxWhenEndpointIsGone_data()
{
    QTest::addColumn<bool>("stopWindow");
    // The socket file vanishes (as a cleaner of runtime folders might do); the first instance still polls.
    QTest::newRow("socket file removed") << false;
    // The message reaches the socket buffer, but nobody reads it: without the receiver's answer it is not
    // delivered, and the inbox file keeps the paths for whenever an instance polls again.
    QTest::newRow("window stopped, never reads") << true;
}

void TestSingleInstance::secondLaunchUsesInboxWhenEndpointIsGone()
{
    QFETCH(bool, stopWindow);
    if (HostSystem::isWindows && !stopWindow)
        QSKIP("a named pipe has no file that could be removed");
    auto* first = new QProcess;
    firstInstances.append(first);
    QVERIFY(startFirst(*first, {}));
    if (stopWindow)
        QVERIFY(ProcessControl::pause(first->processId()));
    else
        QVERIFY(QFile::remove(serverName));

    const QString one = makeFile(u"inbox/one.psd"_s);
    const QString two = makeFile(u"inbox/two.psd"_s);
    qint64 laterPid = 0;
    const int code = runLater({one, two}, &laterPid);
    if (stopWindow)
        QVERIFY(ProcessControl::resume(first->processId()));
    QCOMPARE(code, 0);
    QVERIFY(log->has(laterPid, u"standalone paths queued psd-slim count= 2"_s));
    QTRY_VERIFY_WITH_TIMEOUT(log->has(first->processId(), addedRecord(2)), kStartTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(QDir(inboxFolder).entryList({u"*.paths"_s}, QDir::Files).isEmpty(), kStartTimeoutMs);
    // Delivered twice once it runs again (the socket's bytes and the inbox file), queued once.
    QTRY_VERIFY_WITH_TIMEOUT(log->has(first->processId(), u"total= 2"_s), kStartTimeoutMs);
    QVERIFY(!log->has(first->processId(), u"total= 4"_s));
    QCOMPARE(first->state(), QProcess::Running);
}

void TestSingleInstance::secondLaunchWithNoChannelFails()
{
#ifdef Q_OS_WIN
    QSKIP("a named pipe has no file that could be removed, and the inbox's rights are not modes");
#else
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
#endif
}

void TestSingleInstance::startThatCannotHappenSaysWhy_data()
{
    QTest::addColumn<QString>("obstacle"); // what is in the way, and the name it sits on
    QTest::addColumn<QString>("expected");
    QTest::newRow("folder where the socket belongs")
        << u"endpoint"_s << u"unable to create the tool instance endpoint"_s;
    QTest::newRow("link planted as the lock") << u"lock"_s
                                              << u"unable to take the instance lock psd-slim reason="_s;
}

void TestSingleInstance::startThatCannotHappenSaysWhy()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, expected);
    if (HostSystem::isWindows)
        QSKIP("the endpoint is a named pipe and the lock a mutex: there is no file to put in their way");
    // A folder can be neither listened on nor removed; a link is never followed to a lock.
    const QString lockPath = QFileInfo(serverName).absoluteDir().filePath(u"Lumora.Tool.psd-slim.lock"_s);
    const QString blocked = obstacle == u"endpoint"_s ? serverName : lockPath;
    if (obstacle == u"endpoint"_s) {
        QVERIFY(QDir().mkpath(serverName));
    } else {
        QFile::remove(lockPath); // left by an earlier instance, or not there yet
        QVERIFY(QFile::link(files.filePath(u"elsewhere"_s), lockPath));
    }

    qint64 pid = 0;
    QByteArray errors;
    const int code =
        runLater({makeFile(u"no-start/one.psd"_s)}, &pid, QProcessEnvironment::systemEnvironment(), &errors);
    const QStringList records = log->records(pid, expected);
    QVERIFY(obstacle == u"endpoint"_s ? QDir().rmdir(blocked) : QFile::remove(blocked));
    QCOMPARE(code, 66);
    // Once in the log and always on standard error: started from a desktop there is no terminal to look at.
    QCOMPARE(records.size(), 1);
    QVERIFY(records.first().contains(u"level=WARN"_s));
    QVERIFY2(QString::fromLocal8Bit(errors).contains(expected), errors.constData());
    QVERIFY(!log->has(pid, u"standalone window shown"_s));
}

void TestSingleInstance::mixedLaunchesShareOneWindow_data()
{
    QTest::addColumn<QStringList>("firstChanges"); // environment changes, see changedEnvironment
    QTest::addColumn<QStringList>("laterChanges");
    QTest::addColumn<bool>("needsUserRun");
    QTest::addColumn<bool>("removeLock");
    const QStringList none;
    const QStringList session3{u"XDG_SESSION_ID=3"_s};
    const QStringList noSession{u"XDG_SESSION_ID"_s};
    const QStringList withRun{u"XDG_RUNTIME_DIR=@run"_s};
    const QStringList withoutRun{u"XDG_RUNTIME_DIR"_s};
    // clang-format off
    QTest::newRow("terminal session, then desktop without") << session3  << noSession << false << false;
    QTest::newRow("desktop without session, then terminal") << noSession << session3  << false << false;
    QTest::newRow("two session ids")                        << session3  << QStringList{u"XDG_SESSION_ID=c1"_s} << false
                                                            << false;
    QTest::newRow("runtime folder set, then unset")         << withRun    << withoutRun << true  << false;
    QTest::newRow("runtime folder unset, then set")         << withoutRun << withRun    << true  << false;
    // A cleaner of runtime folders took the lock file: the later launch gets a fresh lock of its own, and only
    // asking the socket first keeps it from taking over the live instance's endpoint.
    QTest::newRow("lock file removed while running")        << none      << none      << false << true;
    // clang-format on
}

void TestSingleInstance::mixedLaunchesShareOneWindow()
{
    QFETCH(QStringList, firstChanges);
    QFETCH(QStringList, laterChanges);
    QFETCH(bool, needsUserRun);
    QFETCH(bool, removeLock);
#ifdef Q_OS_WIN
    Q_UNUSED(firstChanges);
    Q_UNUSED(laterChanges);
    Q_UNUSED(needsUserRun);
    Q_UNUSED(removeLock);
    QSKIP("the rows vary the Unix session and runtime folders; a Windows user's launches share one session");
#else
    if (needsUserRun) {
        struct stat st {};
        if (::lstat(QFile::encodeName(userRun).constData(), &st) != 0 || !S_ISDIR(st.st_mode)
            || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
            QSKIP(qPrintable(u"%1 is not this user's private runtime folder"_s.arg(userRun)));
    }

    auto* first = new QProcess;
    firstInstances.append(first);
    QVERIFY(startFirst(*first, {makeFile(u"mixed/first.psd"_s)}, changedEnvironment(firstChanges, userRun)));
    QTRY_VERIFY_WITH_TIMEOUT(log->has(first->processId(), addedRecord(1)), kStartTimeoutMs);
    if (removeLock)
        QVERIFY(QFile::remove(QFileInfo(serverName).absoluteDir().filePath(u"Lumora.Tool.psd-slim.lock"_s)));

    qint64 laterPid = 0;
    QCOMPARE(runLater({makeFile(u"mixed/later.psb"_s)}, &laterPid, changedEnvironment(laterChanges, userRun)), 0);
    QVERIFY(log->has(laterPid, u"standalone paths forwarded psd-slim count= 1"_s));
    QVERIFY(!log->has(laterPid, u"standalone window shown"_s));
    QTRY_VERIFY_WITH_TIMEOUT(log->has(first->processId(), u"total= 2"_s), kStartTimeoutMs);
    QCOMPARE(log->anyRecords(u"standalone window shown psd-slim"_s).size(), 1);
    QCOMPARE(first->state(), QProcess::Running);
#endif
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
    if (!HostSystem::isWindows)
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
