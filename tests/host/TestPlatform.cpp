#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "support/HostSystem.h"

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#else
#include <windows.h>
#endif

using namespace Qt::StringLiterals;

// The private folder decides where the instance lock, the instance channel and fallback logs live; a folder
// another user could have planted or can enter must never be used.
class TestPlatform : public QObject {
    Q_OBJECT

private:
#ifdef Q_OS_UNIX
    static mode_t modeOf(const QString& path)
    {
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            return 0;
        return st.st_mode;
    }

    static QString tempFolderName() { return u"Lumora-%1"_s.arg(::getuid()); }
#endif

private slots:
#ifdef Q_OS_UNIX
    void privateUserDirectory_data()
    {
        QTest::addColumn<QString>("runtimeSetup"); // private, open, symlink, unset, relative
        QTest::addColumn<QString>("userRunSetup"); // private, open, missing
        QTest::addColumn<QString>("tempSetup");    // fresh, ours, symlink, open, foreign
        QTest::addColumn<QString>("cacheSetup");   // fresh, missing, symlink, open, foreign, unset
        QTest::addColumn<QString>("expected");     // runtime, userRun, temp, cache, none

        const QString priv = u"private"_s, open = u"open"_s, link = u"symlink"_s, unset = u"unset"_s;
        const QString relative = u"relative"_s, missing = u"missing"_s, fresh = u"fresh"_s, ours = u"ours"_s;
        const QString foreign = u"foreign"_s, runtime = u"runtime"_s, userRun = u"userRun"_s, temp = u"temp"_s;
        const QString cache = u"cache"_s, none = u"none"_s;
        // clang-format off
        QTest::newRow("private runtime folder")         << priv    << priv    << fresh   << fresh   << runtime;
        QTest::newRow("runtime folder open to others")  << open    << missing << fresh   << fresh   << temp;
        QTest::newRow("runtime folder is a link")       << link    << missing << fresh   << fresh   << temp;
        QTest::newRow("no runtime folder")              << unset   << missing << fresh   << fresh   << temp;
        QTest::newRow("relative runtime folder")        << relative << missing << fresh   << fresh   << temp;
        QTest::newRow("no runtime, user run dir")       << unset   << priv    << fresh   << fresh   << userRun;
        QTest::newRow("open runtime, user run dir")     << open    << priv    << fresh   << fresh   << userRun;
        QTest::newRow("user run dir open to others")    << unset   << open    << fresh   << fresh   << temp;
        QTest::newRow("temp folder already ours")       << unset   << missing << ours    << fresh   << temp;
        // Another user planted the name in the shared temporary folder: the start goes on in the cache folder.
        QTest::newRow("temp folder planted as link")    << unset   << missing << link    << fresh   << cache;
        QTest::newRow("temp folder open to others")     << unset   << missing << open    << fresh   << cache;
        QTest::newRow("temp folder of another user")    << unset   << missing << foreign << fresh   << cache;
        QTest::newRow("planted temp, cache not made")   << unset   << missing << open    << missing << cache;
        QTest::newRow("planted temp, cache via link")   << unset   << missing << open    << link    << cache;
        QTest::newRow("planted temp, cache open")       << unset   << missing << open    << open    << none;
        QTest::newRow("planted temp, no cache folder")  << unset   << missing << link    << unset   << none;
        QTest::newRow("planted temp, cache of other")   << unset   << missing << open    << foreign << none;
        // clang-format on
    }

    void privateUserDirectory()
    {
        QFETCH(QString, runtimeSetup);
        QFETCH(QString, userRunSetup);
        QFETCH(QString, tempSetup);
        QFETCH(QString, cacheSetup);
        QFETCH(QString, expected);
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        const QString runtime = scratch.filePath(u"run"_s);
        const QString userRun = scratch.filePath(u"run-user"_s);
        const QString temp = scratch.filePath(u"tmp"_s);
        QVERIFY(QDir().mkpath(runtime) && QDir().mkpath(temp));
        QVERIFY(::chmod(QFile::encodeName(runtime).constData(), runtimeSetup == u"open"_s ? 0755 : 0700) == 0);
        if (userRunSetup != u"missing"_s) {
            QVERIFY(QDir().mkpath(userRun));
            QVERIFY(::chmod(QFile::encodeName(userRun).constData(), userRunSetup == u"open"_s ? 0755 : 0700) == 0);
        }

        QString runtimeArgument = runtime;
        if (runtimeSetup == u"unset"_s) {
            runtimeArgument.clear();
        } else if (runtimeSetup == u"relative"_s) {
            runtimeArgument = u"run"_s;
        } else if (runtimeSetup == u"symlink"_s) {
            runtimeArgument = scratch.filePath(u"runlink"_s);
            QVERIFY(QFile::link(runtime, runtimeArgument));
        }

        const QString tempTarget = QDir(temp).filePath(tempFolderName());
        if (tempSetup == u"ours"_s) {
            QVERIFY(::mkdir(QFile::encodeName(tempTarget).constData(), 0700) == 0);
        } else if (tempSetup == u"symlink"_s) {
            QVERIFY(QFile::link(scratch.filePath(u"elsewhere"_s), tempTarget));
            QVERIFY(QDir().mkpath(scratch.filePath(u"elsewhere"_s)));
        } else if (tempSetup == u"open"_s) {
            QVERIFY(::mkdir(QFile::encodeName(tempTarget).constData(), 0700) == 0);
            QVERIFY(::chmod(QFile::encodeName(tempTarget).constData(), 0777) == 0);
        } else if (tempSetup == u"foreign"_s) {
            if (::getuid() != 0)
                QSKIP("giving a folder to another user needs root");
            QVERIFY(::mkdir(QFile::encodeName(tempTarget).constData(), 0700) == 0);
            QVERIFY(::chown(QFile::encodeName(tempTarget).constData(), 65534, 65534) == 0);
        }

        QString cache = scratch.filePath(u"cache"_s);
        if (cacheSetup == u"fresh"_s || cacheSetup == u"open"_s || cacheSetup == u"foreign"_s) {
            QVERIFY(::mkdir(QFile::encodeName(cache).constData(), cacheSetup == u"open"_s ? 0777 : 0755) == 0);
            QVERIFY(::chmod(QFile::encodeName(cache).constData(), cacheSetup == u"open"_s ? 0777 : 0755) == 0);
            if (cacheSetup == u"foreign"_s) {
                if (::getuid() != 0)
                    QSKIP("giving a folder to another user needs root");
                QVERIFY(::chown(QFile::encodeName(cache).constData(), 65534, 65534) == 0);
            }
        } else if (cacheSetup == u"symlink"_s) {
            QVERIFY(QDir().mkpath(scratch.filePath(u"cache-disk"_s)));
            QVERIFY(QFile::link(scratch.filePath(u"cache-disk"_s), cache));
        } else if (cacheSetup == u"unset"_s) {
            cache.clear();
        }

        QString error;
        const QString folder = Platform::choosePrivateUserDirectory(runtimeArgument, userRun, temp, cache, &error);
        if (expected == u"none"_s) {
            QVERIFY(folder.isEmpty());
            QVERIFY(!error.isEmpty());
            return;
        }
        QVERIFY2(!folder.isEmpty(), qPrintable(error));
        const QString wanted = expected == u"runtime"_s   ? QDir(runtime).filePath(u"Lumora"_s)
                               : expected == u"userRun"_s ? QDir(userRun).filePath(u"Lumora"_s)
                               : expected == u"cache"_s   ? QDir(cache).filePath(u"Lumora-private"_s)
                                                          : tempTarget;
        QCOMPARE(folder, wanted);
        const mode_t mode = modeOf(folder);
        QVERIFY(S_ISDIR(mode));
        QCOMPARE(mode & 0777, mode_t(0700));
        // Asking again gives the same folder and changes nothing.
        QCOMPARE(Platform::choosePrivateUserDirectory(runtimeArgument, userRun, temp, cache), folder);
    }
#else
    // A Windows user's temporary folder lies in the profile, which other users cannot enter.
    void privateUserDirectory()
    {
        const QString expected = QDir(QDir::tempPath()).filePath(u"Lumora"_s);
        QVERIFY2(QDir::tempPath().startsWith(QDir::homePath() + u'/', Qt::CaseInsensitive), qPrintable(QDir::tempPath()));
        QCOMPARE(QDir(Platform::privateUserDirectory()).absolutePath().toLower(), expected.toLower());
        QVERIFY(QFileInfo(expected).isDir());
    }
#endif

    void userName_data()
    {
        QTest::addColumn<QByteArray>("environment");
        QTest::newRow("USERNAME set") << QByteArray("someone");
        QTest::newRow("USERNAME empty") << QByteArray();
    }

    void userName()
    {
        QFETCH(QByteArray, environment);
        const QByteArray saved = qgetenv("USERNAME");
        if (environment.isEmpty())
            qunsetenv("USERNAME");
        else
            qputenv("USERNAME", environment);
        const QString name = Platform::userName();
        if (saved.isEmpty())
            qunsetenv("USERNAME");
        else
            qputenv("USERNAME", saved);
        if (!environment.isEmpty()) {
            QCOMPARE(name, QString::fromLocal8Bit(environment));
            return;
        }
#ifdef Q_OS_WIN
        wchar_t account[257];
        DWORD size = DWORD(std::size(account));
        QVERIFY(GetUserNameW(account, &size));
        QCOMPARE(name, QString::fromWCharArray(account));
#else
        QProcess id;
        id.start(u"id"_s, {u"-un"_s});
        QVERIFY(id.waitForFinished());
        QCOMPARE(name, QString::fromLocal8Bit(id.readAllStandardOutput().trimmed()));
#endif
    }

    // An installed program keeps no logs beside itself; a copy unpacked anywhere else does.
    void systemProgramFolder_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("system");
        QTest::newRow("/usr/bin") << u"/usr/bin"_s << true;
        QTest::newRow("/usr/local/bin/") << u"/usr/local/bin/"_s << true;
        QTest::newRow("/opt") << u"/opt/lumora/bin"_s << true;
        QTest::newRow("/bin") << u"/bin"_s << true;
        QTest::newRow("only a look-alike") << u"/usrlocal/bin"_s << false;
        QTest::newRow("leaves /usr by ..") << u"/usr/../home/u/Leanfold"_s << false;
        QTest::newRow("home folder") << u"/home/u/Leanfold"_s << false;
        QTest::newRow("private prefix in /tmp") << u"/tmp/x/prefix/bin"_s << false;
        QTest::newRow("per-user programs") << u"C:/Users/u/AppData/Local/Programs/Leanfold"_s << false;
        QTest::newRow("Program Files") << u"C:/Program Files/Leanfold"_s << false;
    }

    void systemProgramFolder()
    {
        QFETCH(QString, folder);
        QFETCH(bool, system);
        // Windows keeps logs beside any program whose folder is writable, installed or not.
        QCOMPARE(Platform::isSystemProgramFolder(folder), system && !HostSystem::isWindows);
    }

    void instanceLockIsExclusiveAndKept()
    {
        QString error;
        QCOMPARE(Platform::acquireInstanceLock(u"test-tool"_s, &error), Platform::InstanceLock::Acquired);
        QCOMPARE(Platform::acquireInstanceLock(u"test-tool"_s, &error), Platform::InstanceLock::Acquired);
#ifdef Q_OS_WIN
        // The session's named mutex: opening the name again finds it taken, as any launch of the session would,
        // until it is released.
        HANDLE other = CreateMutexW(nullptr, FALSE, L"Local\\Lumora.Tool.test-tool");
        QVERIFY(other);
        QCOMPARE(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
        CloseHandle(other);
        Platform::releaseInstanceLock();
        other = CreateMutexW(nullptr, FALSE, L"Local\\Lumora.Tool.test-tool");
        QVERIFY(other);
        QCOMPARE(GetLastError(), DWORD(ERROR_SUCCESS));
        CloseHandle(other);
#else
        const QString folder = Platform::privateUserDirectory();
        QVERIFY(!folder.isEmpty());
        // One name per user and tool, whatever session the launch comes from.
        const QStringList locks = QDir(folder).entryList({u"Lumora.Tool.test-tool*.lock"_s}, QDir::Files);
        QCOMPARE(locks, QStringList{u"Lumora.Tool.test-tool.lock"_s});
        QCOMPARE(modeOf(QDir(folder).filePath(locks.first())) & 0777, mode_t(0600));
        // Another process cannot take it while this one lives (flock(1) from util-linux, when present).
        const QString flock = QStandardPaths::findExecutable(u"flock"_s);
        if (flock.isEmpty())
            QSKIP("flock(1) not installed");
        QProcess other;
        other.start(flock, {u"-n"_s, QDir(folder).filePath(locks.first()), u"true"_s});
        QVERIFY(other.waitForFinished());
        QCOMPARE(other.exitCode(), 1);
#endif
    }
};

QTEST_MAIN(TestPlatform)
#include "TestPlatform.moc"
