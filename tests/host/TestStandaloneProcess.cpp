#include "app/StandaloneMain.h"
#include "i18n/Language.h"
#include "tools/IntegratedTools.h"

#include "support/HostSystem.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace Qt::StringLiterals;

// Runs the real Leanfold executable: start-up roads, the self-test and the single-instance lock. Every process
// inherits this test's private HOME, XDG folders and temporary folder.
class TestStandaloneProcess : public QObject {
    Q_OBJECT

private:
    QList<QProcess*> running;

    static QString executable() { return QStringLiteral(LEANFOLD_EXECUTABLE); }

    static int runToEnd(const QString& program, const QStringList& arguments)
    {
        QProcess process;
        process.start(program, arguments);
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    }

    // True while the process holds the instance lock. Linux: the process has the instance lock file open with an
    // flock on it, as its own descriptors tell (/proc/<pid>/fdinfo), so looking does not take the lock. The file
    // is named: the runtime log takes an flock of its own for each record, before the instance lock exists.
    // Windows: the session's named mutex exists, which only a live first instance keeps.
    static bool holdsInstanceLock(qint64 pid)
    {
#ifdef Q_OS_WIN
        Q_UNUSED(pid);
        const HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"Local\\Lumora.Tool.psd-slim");
        if (mutex)
            CloseHandle(mutex);
        return mutex != nullptr;
#endif
        const QString process = u"/proc/%1/"_s.arg(pid);
        const QStringList descriptors =
            QDir(process + u"fd"_s).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        static const QRegularExpression flock(u"^lock:.*\\bFLOCK\\b.*\\bWRITE\\b"_s,
                                              QRegularExpression::MultilineOption);
        for (const QString& descriptor : descriptors) {
            if (!QFileInfo(process + u"fd/"_s + descriptor).symLinkTarget().endsWith(u"/Lumora.Tool.psd-slim.lock"_s))
                continue;
            QFile info(process + u"fdinfo/"_s + descriptor);
            if (info.open(QIODevice::ReadOnly) && flock.match(QString::fromLatin1(info.readAll())).hasMatch())
                return true;
        }
        return false;
    }

    QProcess* startInstance(const QStringList& arguments = {})
    {
        auto* process = new QProcess(this);
        running.append(process);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(executable(), arguments);
        return process;
    }

    static void killAndWait(QProcess* process)
    {
        process->kill(); // SIGKILL: no clean-up of any kind runs in the process
        process->waitForFinished(10000);
    }

    static bool helperPresent()
    {
        const QFileInfo helper(IntegratedTools::helperExecutablePath(IntegratedTools::PsdSlim));
        return helper.isFile() && helper.size() > 0;
    }

private slots:
    void initTestCase()
    {
        setUpApplicationIdentity();
        QVERIFY2(QFileInfo(executable()).isExecutable(), qPrintable(executable()));
        if (!HostSystem::isWindows && !QFile::exists(u"/proc/self/fdinfo"_s))
            QSKIP("no /proc/self/fdinfo: the lock state cannot be observed on this system");
    }

    void cleanup()
    {
        for (QProcess* process : std::as_const(running)) {
            if (process->state() != QProcess::NotRunning)
                killAndWait(process);
            delete process;
        }
        running.clear();
    }

    void selfTestKeepsLanguage_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("absent") << QVariant() << QStringList{u"--standalone-self-test"_s};
        QTest::newRow("en_US") << QVariant(u"en_US"_s) << QStringList{u"--standalone-self-test"_s};
        QTest::newRow("unknown code kept") << QVariant(u"fr_FR"_s) << QStringList{u"--standalone-self-test"_s};
        QTest::newRow("empty value kept") << QVariant(QString()) << QStringList{u"--standalone-self-test"_s};
        QTest::newRow("after a file path") << QVariant(u"ko_KR"_s)
                                           << QStringList{QCoreApplication::applicationFilePath(),
                                                          u"--standalone-self-test"_s};
    }

    void selfTestKeepsLanguage()
    {
        QFETCH(QVariant, stored);
        QFETCH(QStringList, arguments);
        storeLanguageSetting(stored);
        // Exit 0 needs the PSD slim worker on disk; without it the self-test reports failure.
        QCOMPARE(runToEnd(executable(), arguments), helperPresent() ? 0 : 65);
        const QVariant after = storedLanguageSetting();
        QCOMPARE(after.isValid(), stored.isValid());
        if (stored.isValid())
            QCOMPARE(after.toString(), stored.toString());
        // The user's own settings file, with exactly one spelling of the key on file, or none (read as text:
        // Windows' settings ignore the case of keys).
        const QString file = QSettings().fileName();
        const QString home = qEnvironmentVariable(HostSystem::isWindows ? "LOCALAPPDATA" : "XDG_CONFIG_HOME");
        QCOMPARE(QDir::cleanPath(file).toLower(),
                 QDir::cleanPath(QDir::fromNativeSeparators(home) + u"/Lumora/Lumora.ini"_s).toLower());
        QFile text(file);
        if (text.open(QIODevice::ReadOnly))
            QVERIFY(text.readAll().toLower().count("\nlanguage=") <= 1);
        // The self-test never reaches the instance lock, so it works beside a running window too.
    }

    void buildWithoutToolExits64()
    {
        QCOMPARE(runToEnd(QStringLiteral(LEANFOLD_NO_TOOL_EXECUTABLE), {}), 64);
        QCOMPARE(runToEnd(QStringLiteral(LEANFOLD_NO_TOOL_EXECUTABLE), {u"--standalone-self-test"_s}), 64);
    }

    void firstInstanceHoldsLockUntilKilled()
    {
        QProcess* first = startInstance();
        QVERIFY(first->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(holdsInstanceLock(first->processId()), 30000);
        QCOMPARE(first->state(), QProcess::Running);

        // A bare second launch has nothing to hand over: it exits 0 and leaves the first one alone.
        QCOMPARE(runToEnd(executable(), {}), 0);
        QCOMPARE(first->state(), QProcess::Running);
        QVERIFY(holdsInstanceLock(first->processId()));

        killAndWait(first);
        QCOMPARE(first->exitStatus(), QProcess::CrashExit);

        // No stale lock: the next launch is a first instance again and stays up.
        QProcess* second = startInstance();
        QVERIFY(second->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(holdsInstanceLock(second->processId()), 30000);
        QCOMPARE(second->state(), QProcess::Running);
        QCOMPARE(runToEnd(executable(), {}), 0);
        QCOMPARE(second->state(), QProcess::Running);
    }

    void collectPaths_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("expected");
        const QString self = QCoreApplication::applicationFilePath();
        const QString folder = QFileInfo(self).absolutePath();
        QTest::newRow("program path skipped") << QStringList{self} << QStringList{};
        QTest::newRow("bare path") << QStringList{self, self} << QStringList{self};
        QTest::newRow("input prefix") << QStringList{self, u"/input:"_s + self} << QStringList{self};
        QTest::newRow("input prefix upper case") << QStringList{self, u"/INPUT:"_s + self} << QStringList{self};
        QTest::newRow("input prefix mixed case") << QStringList{self, u"/InPuT:"_s + folder} << QStringList{folder};
        QTest::newRow("options and missing paths skipped")
            << QStringList{self, u"--flag"_s, u"/nonexistent/x.psd"_s, folder} << QStringList{folder};
        QTest::newRow("duplicates kept") << QStringList{self, folder, folder} << QStringList{folder, folder};
        QTest::newRow("prefix only names nothing") << QStringList{self, u"/input:"_s} << QStringList{};
    }

    void collectPaths()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, expected);
        QCOMPARE(collectCommandLinePaths(arguments), expected);
    }

    void collectRelativePath()
    {
        const QString self = QCoreApplication::applicationFilePath();
        const QString name = QFileInfo(self).fileName();
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(QFileInfo(self).absolutePath()));
        const QStringList collected = collectCommandLinePaths({self, name, u"/input:"_s + name});
        QDir::setCurrent(previous);
        QCOMPARE(collected, (QStringList{self, self}));
    }
};

QTEST_MAIN(TestStandaloneProcess)
#include "TestStandaloneProcess.moc"
