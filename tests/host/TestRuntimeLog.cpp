#include "log/RuntimeLog.h"
#include "support/HostSystem.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QVersionNumber>

#include <memory>
#include <vector>

#if defined(Q_OS_UNIX)
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(Q_OS_LINUX)
#include <sys/syscall.h>
#endif
#endif

namespace {

constexpr qint64 kLimit = 5242880;
constexpr char kChildSwitch[] = "--runtime-log-child";
const QString kFatalText = QStringLiteral("fatal: \"state\" lost\nsecond line");

quint64 osThreadId()
{
#if defined(Q_OS_LINUX)
    return static_cast<quint64>(::syscall(SYS_gettid));
#else
    return 0; // only Linux is checked against the record
#endif
}

// The log is written in text mode: each record ends with the platform's line terminator.
const QString kLineEnd = HostSystem::isWindows ? QStringLiteral("\r\n") : QStringLiteral("\n");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// One record as the log writes it, field by field; the optional fields appear only when expected.
QString recordPattern(const QString& level, const QString& category, const QString& message, const QString& source,
                      const QString& function)
{
    QString p = QStringLiteral("(\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3})");
    p += QStringLiteral(" seq=(\\d+)");
    p += QStringLiteral(" session=(\\d{8}-\\d{9}-%1)").arg(QCoreApplication::applicationPid());
    p += QStringLiteral(" level=") + QRegularExpression::escape(level);
    p += QStringLiteral(" pid=%1").arg(QCoreApplication::applicationPid());
    p += QStringLiteral(" thread=(\\d+)");
    if (!category.isNull())
        p += QStringLiteral(" category=") + QRegularExpression::escape(category);
    p += QStringLiteral(" message=\"") + QRegularExpression::escape(message) + QLatin1Char('"');
    if (!source.isNull())
        p += QStringLiteral(" source=") + QRegularExpression::escape(source);
    if (!function.isNull())
        p += QStringLiteral(" function=\"") + QRegularExpression::escape(function) + QLatin1Char('"');
    return p + kLineEnd;
}

// Any single-line record; used where many records are read back.
const QRegularExpression kLineRecord(QStringLiteral(
    "^(\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}) seq=(\\d+) session=(\\d{8}-\\d{9}-(\\d+)) "
    "level=(DEBUG|INFO|WARN|ERROR|FATAL) pid=(\\d+) thread=(\\d+)( category=(\\S+))? "
    "message=\"((?:[^\"\\\\]|\\\\.)*)\"( source=([^ :]+):(\\d+))?( function=\"((?:[^\"\\\\]|\\\\.)*)\")?$"));

struct ParsedLine
{
    quint64 seq = 0;
    QString level;
    quint64 thread = 0;
    QString category;
    QString message;
    QString source;
    QString function;
};

bool parseLines(const QByteArray& text, QList<ParsedLine>* out)
{
    const QList<QByteArray> lines = text.split('\n');
    if (lines.isEmpty() || !lines.last().isEmpty())
        return false; // every record ends with a line feed
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (HostSystem::isWindows && !line.endsWith('\r'))
            return false;
        if (HostSystem::isWindows)
            line.chop(1);
        const QRegularExpressionMatch m = kLineRecord.match(QString::fromUtf8(line));
        if (!m.hasMatch())
            return false;
        out->append({m.captured(2).toULongLong(), m.captured(5), m.captured(7).toULongLong(), m.captured(9),
                     m.captured(10), m.captured(12), m.captured(15)});
    }
    return true;
}

#if defined(Q_OS_UNIX)
mode_t modeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}
#endif

// The child side of the process tests: a normal start of the log, then optionally a fatal message.
int runChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Lumora"));
    QCoreApplication::setApplicationName(QStringLiteral("Lumora"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.36"));
    RuntimeLog::initialize();
    RuntimeLog::recordReleaseHistory();
    if (argc > 2 && qstrcmp(argv[2], "fatal") == 0) {
#if defined(Q_OS_UNIX)
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore); // the abort is expected; leave no core file behind
#endif
        qFatal("%s", kFatalText.toUtf8().constData());
    }
    return 0;
}

} // namespace

class TestRuntimeLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void recordFields_data();
    void recordFields();
    void recordFromQtLogging();
    void concurrentWriters();
    void rollOver_data();
    void rollOver();
    void plantedFileIsNotWritten_data();
    void plantedFileIsNotWritten();

    void folderChoice_data();
    void folderChoice();

    void startedProcess_data();
    void startedProcess();
    void fatalMessageIsWrittenBeforeAbort();

    void releaseHistoryIsWellFormed();

private:
    QString startChild(const QString& mode, const QString& layout, QProcess* child);

    QTemporaryDir scratch;
    QString logFile;
    quint64 lastSeq = 0;
    bool anyRecord = false;
};

void TestRuntimeLog::initTestCase()
{
    QVERIFY(scratch.isValid());
    const QString folder = scratch.filePath(QStringLiteral("logs"));
    QVERIFY(QDir().mkpath(folder));
    RuntimeLog::installAt(folder);
    logFile = RuntimeLog::runtimeLogPath();
    QCOMPARE(logFile, QDir(folder).filePath(QStringLiteral("runtime.log")));
}

void TestRuntimeLog::init()
{
    QFile::remove(logFile);
    QFile::remove(logFile + QStringLiteral(".1"));
}

void TestRuntimeLog::recordFields_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("category");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("line");
    QTest::addColumn<QByteArray>("function");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("written"); // the message field as the record holds it; null: the message itself

    const QByteArray fn("void Page::run(const QString&)");
    QTest::newRow("info, full context") << int(QtInfoMsg) << QByteArray("default") << QByteArray("/src/page/Page.cpp")
                                        << 42 << fn << QStringLiteral("integrated tool path list psd-slim added= 3")
                                        << QStringLiteral("INFO") << QStringLiteral("Page.cpp:42") << QString();
    QTest::newRow("debug") << int(QtDebugMsg) << QByteArray("default") << QByteArray("a.cpp") << 1 << fn
                           << QStringLiteral("d") << QStringLiteral("DEBUG") << QStringLiteral("a.cpp:1") << QString();
    QTest::newRow("warning") << int(QtWarningMsg) << QByteArray("qt.core") << QByteArray("b.cpp") << 7 << fn
                             << QStringLiteral("w") << QStringLiteral("WARN") << QStringLiteral("b.cpp:7") << QString();
    QTest::newRow("critical") << int(QtCriticalMsg) << QByteArray("default") << QByteArray("c.cpp") << 9 << fn
                              << QStringLiteral("c") << QStringLiteral("ERROR") << QStringLiteral("c.cpp:9")
                              << QString();
    QTest::newRow("windows source path") << int(QtInfoMsg) << QByteArray("default")
                                         << QByteArray("C:\\build\\src\\log\\RuntimeLog.cpp") << 300 << fn
                                         << QStringLiteral("m") << QStringLiteral("INFO")
                                         << QStringLiteral("RuntimeLog.cpp:300") << QString();
    QTest::newRow("no category, file or function")
        << int(QtWarningMsg) << QByteArray() << QByteArray() << 0 << QByteArray() << QStringLiteral("bare message")
        << QStringLiteral("WARN") << QString() << QString();
    QTest::newRow("empty category, file and function")
        << int(QtInfoMsg) << QByteArray("") << QByteArray("") << 0 << QByteArray("") << QStringLiteral("bare")
        << QStringLiteral("INFO") << QString() << QString();
    // A message cannot end its own field or start a record: text from outside stays inside the quotes.
    QTest::newRow("quotes and backslashes escaped")
        << int(QtInfoMsg) << QByteArray("default") << QByteArray("q.cpp") << 3 << fn
        << QStringLiteral("say \"hi\" and \\n \"") << QStringLiteral("INFO") << QStringLiteral("q.cpp:3")
        << QStringLiteral("say \\\"hi\\\" and \\\\n \\\"");
    QTest::newRow("line breaks escaped") << int(QtInfoMsg) << QByteArray("default") << QByteArray("l.cpp") << 4 << fn
                                         << QStringLiteral("first line\nsecond line\r\n") << QStringLiteral("INFO")
                                         << QStringLiteral("l.cpp:4")
                                         << QStringLiteral("first line\\nsecond line\\r\\n");
    QTest::newRow("a forged record in a file name")
        << int(QtInfoMsg) << QByteArray("default") << QByteArray("f.cpp") << 8 << fn
        << QStringLiteral("queued /x/a\" source=x:1\n2026-12-07T23:25:23.045 seq=0 level=INFO message=\"b.psd")
        << QStringLiteral("INFO") << QStringLiteral("f.cpp:8")
        << QStringLiteral("queued /x/a\\\" source=x:1\\n2026-12-07T23:25:23.045 seq=0 level=INFO message=\\\"b.psd");
    QTest::newRow("other control characters")
        << int(QtInfoMsg) << QByteArray("default") << QByteArray("c.cpp") << 9 << fn
        << QStringLiteral("bell\a esc\x1b[31m tab\tkept") << QStringLiteral("INFO") << QStringLiteral("c.cpp:9")
        << QStringLiteral("bell\\x07 esc\\x1b[31m tab\tkept");
    QTest::newRow("non-ASCII text") << int(QtInfoMsg) << QByteArray("default") << QByteArray("u.cpp") << 5 << fn
                                    << QStringLiteral("已完成：海报.psd ✓") << QStringLiteral("INFO")
                                    << QStringLiteral("u.cpp:5") << QString();
    QTest::newRow("empty message") << int(QtInfoMsg) << QByteArray("default") << QByteArray("e.cpp") << 6 << fn
                                   << QString() << QStringLiteral("INFO") << QStringLiteral("e.cpp:6") << QString();
}

void TestRuntimeLog::recordFields()
{
    QFETCH(int, type);
    QFETCH(QByteArray, category);
    QFETCH(QByteArray, file);
    QFETCH(int, line);
    QFETCH(QByteArray, function);
    QFETCH(QString, message);
    QFETCH(QString, level);
    QFETCH(QString, source);
    QFETCH(QString, written);

    const QMessageLogContext context(file.isNull() ? nullptr : file.constData(), line,
                                     function.isNull() ? nullptr : function.constData(),
                                     category.isNull() ? nullptr : category.constData());
    RuntimeLog::messageHandler(QtMsgType(type), context, message);

    const QString pattern = recordPattern(level, category.isEmpty() ? QString() : QString::fromUtf8(category),
                                          written.isNull() ? message : written, source,
                                          function.isEmpty() ? QString() : QString::fromUtf8(function));
    const QString text = QString::fromUtf8(readAll(logFile));
    const QRegularExpressionMatch m = QRegularExpression(QLatin1Char('^') + pattern + QLatin1Char('$')).match(text);
    QVERIFY2(m.hasMatch(), qPrintable(text));
    QVERIFY(QDateTime::fromString(m.captured(1), Qt::ISODateWithMs).isValid());
    const quint64 seq = m.captured(2).toULongLong();
    if (anyRecord)
        QCOMPARE(seq, lastSeq + 1); // one step per record, whatever the level
    lastSeq = seq;
    anyRecord = true;
#if defined(Q_OS_LINUX)
    QCOMPARE(m.captured(4).toULongLong(), osThreadId());
#endif
}

void TestRuntimeLog::recordFromQtLogging()
{
    const int line = __LINE__ + 1;
    qInfo().noquote() << "path list"
                      << "added=" << 3 << "total=" << 12;

    const QString written = QString::fromUtf8(readAll(logFile));
    const QString pattern =
        recordPattern(QStringLiteral("INFO"), QStringLiteral("default"), QStringLiteral("path list added= 3 total= 12"),
                      QStringLiteral("TestRuntimeLog.cpp:%1").arg(line), QString::fromUtf8(Q_FUNC_INFO));
    QVERIFY2(QRegularExpression(QLatin1Char('^') + pattern + QLatin1Char('$')).match(written).hasMatch(),
             qPrintable(written));
}

void TestRuntimeLog::concurrentWriters()
{
    constexpr int kThreads = 8;
    constexpr int kPerThread = 500;
    std::vector<quint64> threadIds(kThreads, 0);
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(QThread::create([t, &threadIds] {
            threadIds[t] = osThreadId();
            for (int i = 0; i < kPerThread; ++i)
                qInfo().noquote() << "writer" << t << "message" << i;
        }));
    }
    for (auto& thread : threads)
        thread->start();
    for (auto& thread : threads)
        QVERIFY(thread->wait());

    QList<ParsedLine> records;
    QVERIFY2(parseLines(readAll(logFile), &records), "a record is interleaved or malformed");
    QCOMPARE(records.size(), kThreads * kPerThread);

    QSet<quint64> seqs;
    quint64 lowest = records.first().seq;
    std::vector<int> nextIndex(kThreads, 0);
    const QRegularExpression text(QStringLiteral("^writer (\\d+) message (\\d+)$"));
    for (const ParsedLine& r : records) {
        seqs.insert(r.seq);
        lowest = qMin(lowest, r.seq);
        const QRegularExpressionMatch m = text.match(r.message);
        QVERIFY2(m.hasMatch(), qPrintable(r.message));
        const int t = m.captured(1).toInt();
        QVERIFY(t >= 0 && t < kThreads);
        QCOMPARE(m.captured(2).toInt(), nextIndex[t]++); // each thread's messages, each once, in its own order
#if defined(Q_OS_LINUX)
        QCOMPARE(r.thread, threadIds[t]);
#endif
    }
    QCOMPARE(seqs.size(), kThreads * kPerThread);
    for (int i = 0; i < kThreads * kPerThread; ++i)
        QVERIFY(seqs.contains(lowest + quint64(i)));
    // Records are written in the order their numbers were taken.
    for (qsizetype i = 1; i < records.size(); ++i)
        QCOMPARE(records.at(i).seq, records.at(i - 1).seq + 1);
}

void TestRuntimeLog::rollOver_data()
{
    QTest::addColumn<qint64>("existing");
    QTest::addColumn<bool>("olderBackup");
    QTest::addColumn<bool>("rolled");
    QTest::addColumn<bool>("otherRollsFirst"); // another writer holds the folder's lock and rolls the file over

    QTest::newRow("empty folder") << qint64(-1) << false << false << false;
    QTest::newRow("one byte below the limit") << kLimit - 1 << false << false << false;
    QTest::newRow("exactly at the limit") << kLimit << false << false << false;
    QTest::newRow("exactly at the limit, backup kept") << kLimit << true << false << false;
    QTest::newRow("one byte past the limit") << kLimit + 1 << false << true << false;
    QTest::newRow("one byte past the limit, older backup replaced") << kLimit + 1 << true << true << false;
    QTest::newRow("far past the limit") << kLimit * 2 << true << true << false;
    // Both saw the file past the limit; the one that waited must not roll away the backup just made.
    QTest::newRow("another process rolls over first") << kLimit + 1 << true << true << true;
}

void TestRuntimeLog::rollOver()
{
    QFETCH(qint64, existing);
    QFETCH(bool, olderBackup);
    QFETCH(bool, rolled);
    QFETCH(bool, otherRollsFirst);

    const QString backup = logFile + QStringLiteral(".1");
    const QByteArray oldBackup("older backup\n");
    if (olderBackup)
        QVERIFY(writeFile(backup, oldBackup));
    QByteArray before;
    if (existing >= 0) {
        before = QByteArray(existing, 'x');
        if (existing > 0)
            before[existing - 1] = '\n';
        QVERIFY(writeFile(logFile, before));
    }

    if (otherRollsFirst) {
        // A separate open of the lock file stands for the other process: flock and LockFileEx locks belong to
        // the open file, not to the process, so this thread's record waits as another process's would.
        const qintptr held = Platform::lockFile(logFile + QStringLiteral(".lock"), 0);
        QVERIFY(held != -1);
        std::unique_ptr<QThread> writer(QThread::create([] { qWarning().noquote() << "roll over probe"; }));
        writer->start();
        const bool wroteWhileHeld = writer->wait(1000);
        if (!wroteWhileHeld) {
            // The other process's roll-over, done while it holds the lock.
            QFile::remove(backup);
            QVERIFY(QFile::rename(logFile, backup));
        }
        Platform::unlockFile(held);
        QVERIFY(writer->wait());
        QVERIFY2(!wroteWhileHeld, "the record was written while another process held the log's lock");
    } else {
        qWarning().noquote() << "roll over probe";
    }
    const QByteArray after = readAll(logFile);
    QList<ParsedLine> records;

    if (rolled) {
        QCOMPARE(readAll(backup), before);
        QVERIFY(parseLines(after, &records));
        QCOMPARE(records.size(), 1); // the record that crossed the limit opens the new file
        QCOMPARE(records.first().message, QStringLiteral("roll over probe"));
    } else {
        QVERIFY(after.startsWith(before));
        QVERIFY(parseLines(after.mid(before.size()), &records));
        QCOMPARE(records.size(), 1);
        QCOMPARE(QFileInfo::exists(backup), olderBackup);
        if (olderBackup)
            QCOMPARE(readAll(backup), oldBackup);
    }
    QCOMPARE(records.first().level, QStringLiteral("WARN"));
}

void TestRuntimeLog::plantedFileIsNotWritten_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("symbolic link to an existing file") << QStringLiteral("link");
    QTest::newRow("dangling symbolic link") << QStringLiteral("dangling");
    QTest::newRow("symbolic link to a large file") << QStringLiteral("large");
    QTest::newRow("named pipe") << QStringLiteral("fifo");
    QTest::newRow("file of another user") << QStringLiteral("foreign");
}

void TestRuntimeLog::plantedFileIsNotWritten()
{
#if !defined(Q_OS_UNIX)
    QSKIP("planting links, pipes and foreign files is only set up on Unix");
#else
    QFETCH(QString, kind);
    const QString target = scratch.filePath(QStringLiteral("victim-") + kind);
    QFile::remove(target);
    const QByteArray content = kind == QStringLiteral("large") ? QByteArray(kLimit + 10, 'v') : QByteArray("victim\n");
    const QByteArray planted = QFile::encodeName(logFile);

    if (kind == QStringLiteral("fifo")) {
        QCOMPARE(::mkfifo(planted.constData(), 0666), 0);
    } else if (kind == QStringLiteral("foreign")) {
        if (::geteuid() != 0)
            QSKIP("giving a file to another user needs root");
        QVERIFY(writeFile(logFile, content));
        QCOMPARE(::chown(planted.constData(), 65534, 65534), 0);
        QCOMPARE(::chmod(planted.constData(), 0666), 0);
    } else {
        if (kind != QStringLiteral("dangling"))
            QVERIFY(writeFile(target, content));
        QCOMPARE(::symlink(QFile::encodeName(target).constData(), planted.constData()), 0);
    }

    qInfo().noquote() << "must not reach a planted file";

    if (kind == QStringLiteral("foreign")) {
        QCOMPARE(readAll(logFile), content);
    } else if (kind == QStringLiteral("fifo")) {
        QVERIFY(QFileInfo(logFile).exists() && !QFileInfo(logFile).isFile());
    } else {
        QVERIFY(QFileInfo(logFile).isSymLink());
        if (kind == QStringLiteral("dangling"))
            QVERIFY(!QFileInfo::exists(target)); // not created through the link
        else
            QCOMPARE(readAll(target), content);
        QVERIFY(!QFileInfo::exists(logFile + QStringLiteral(".1"))); // a link is never rolled over either
    }
    QFile::remove(logFile);
    QFile::remove(target);

    qInfo().noquote() << "written again once the name is free";
    QList<ParsedLine> records;
    QVERIFY(parseLines(readAll(logFile), &records));
    QCOMPARE(records.size(), 1);
#endif
}

void TestRuntimeLog::folderChoice_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("expected"); // "A", "B", "C" or "" for none

    QTest::newRow("program folder usable") << QString() << QStringLiteral("A");
    QTest::newRow("program logs is a file") << QStringLiteral("fileA") << QStringLiteral("B");
    QTest::newRow("program and user logs are files") << QStringLiteral("fileA fileB") << QStringLiteral("C");
    QTest::newRow("no user data location") << QStringLiteral("fileA noB") << QStringLiteral("C");
    QTest::newRow("private logs exist with open mode") << QStringLiteral("fileA fileB openC") << QStringLiteral("C");
    QTest::newRow("private logs is a symbolic link") << QStringLiteral("fileA fileB linkC") << QString();
    QTest::newRow("private logs is a file") << QStringLiteral("fileA fileB fileC") << QString();
    // Unix makes only the last folder, in the private folder the platform layer made; Windows makes the whole path
    // in the user's own temporary folder.
    QTest::newRow("private parent missing")
        << QStringLiteral("fileA fileB noParentC") << (HostSystem::isWindows ? QStringLiteral("C") : QString());
    QTest::newRow("no private folder at all") << QStringLiteral("fileA fileB noC") << QString();
    QTest::newRow("private logs of another user") << QStringLiteral("fileA fileB foreignC") << QString();
}

void TestRuntimeLog::folderChoice()
{
    QFETCH(QString, setup);
    QFETCH(QString, expected);
    const QStringList steps = setup.split(QLatin1Char(' '), Qt::SkipEmptyParts);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    QString a = root.filePath(QStringLiteral("program/logs"));
    QString b = root.filePath(QStringLiteral("data/Lumora/Lumora/logs"));
    const QString privateRoot = root.filePath(QStringLiteral("private"));
    QString c = privateRoot + QStringLiteral("/logs");
    QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("program"))));
    QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("data/Lumora/Lumora"))));
#if defined(Q_OS_UNIX)
    QCOMPARE(::mkdir(QFile::encodeName(privateRoot).constData(), 0700), 0);
#else
    QVERIFY(QDir().mkpath(privateRoot));
#endif

    for (const QString& step : steps) {
        if (step == QStringLiteral("fileA")) {
            QVERIFY(writeFile(a, "not a folder"));
        } else if (step == QStringLiteral("fileB")) {
            QVERIFY(writeFile(b, "not a folder"));
        } else if (step == QStringLiteral("noB")) {
            b.clear();
        } else if (step == QStringLiteral("noC")) {
            c.clear();
        } else if (step == QStringLiteral("fileC")) {
            QVERIFY(writeFile(c, "not a folder"));
        } else if (step == QStringLiteral("noParentC")) {
            c = root.filePath(QStringLiteral("missing/logs"));
#if defined(Q_OS_UNIX)
        } else if (step == QStringLiteral("openC")) {
            QCOMPARE(::mkdir(QFile::encodeName(c).constData(), 0777), 0);
            QCOMPARE(::chmod(QFile::encodeName(c).constData(), 0777), 0);
        } else if (step == QStringLiteral("linkC")) {
            QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("elsewhere"))));
            QCOMPARE(::symlink(QFile::encodeName(root.filePath(QStringLiteral("elsewhere"))).constData(),
                               QFile::encodeName(c).constData()),
                     0);
        } else if (step == QStringLiteral("foreignC")) {
            if (::geteuid() != 0)
                QSKIP("giving a folder to another user needs root");
            QCOMPARE(::mkdir(QFile::encodeName(c).constData(), 0700), 0);
            QCOMPARE(::chown(QFile::encodeName(c).constData(), 65534, 65534), 0);
#else
        } else {
            QSKIP("this layout is only set up on Unix");
#endif
        }
    }

    const QString chosen = RuntimeLog::chooseLogFolder(a, b, c);
    const QString wanted = expected == QStringLiteral("A")   ? a
                           : expected == QStringLiteral("B") ? b
                           : expected == QStringLiteral("C") ? c
                                                             : QString();
    QCOMPARE(chosen, wanted);
    if (!chosen.isEmpty())
        QVERIFY(QFileInfo(chosen).isDir());
#if defined(Q_OS_UNIX)
    if (expected == QStringLiteral("C"))
        QCOMPARE(modeOf(c), mode_t(0700));
    if (steps.contains(QStringLiteral("linkC")))
        QVERIFY(QFileInfo(c).isSymLink());
#endif
}

// Starts a copy of this test program in a folder of its own, so that the program's "logs" folder can be made
// unusable, with private user folders under the scratch folder. Returns the folder the log is expected in.
QString TestRuntimeLog::startChild(const QString& mode, const QString& layout, QProcess* child)
{
    const QString base = scratch.filePath(QStringLiteral("child-") + mode + QLatin1Char('-') + layout);
    const QString program = base + QStringLiteral("/program");
    const QString data = base + QStringLiteral("/data");
    const QString runtime = base + QStringLiteral("/run");
    if (!QDir().mkpath(program) || !QDir().mkpath(data + QStringLiteral("/Lumora/Lumora")) ||
        !QDir().mkpath(base + QStringLiteral("/tmp")) || !QDir().mkpath(runtime))
        return QString();
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString copy = program + QLatin1Char('/') + QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (!QFile::copy(QCoreApplication::applicationFilePath(), copy))
        return QString();

#if defined(Q_OS_WIN)
    // Windows takes the user data folder from the profile, not from the environment: it is this test's own (a
    // private Wine prefix, or a test account). The temporary folder follows TMP.
    const QString dataLogs =
        QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)).filePath(QStringLiteral("Lumora/Lumora/logs"));
    const QString privateLogs = base + QStringLiteral("/tmp/Lumora/logs");
    QFile::remove(dataLogs);
    QDir(dataLogs).removeRecursively();
#else
    const QString dataLogs = data + QStringLiteral("/Lumora/Lumora/logs");
    const QString privateLogs = runtime + QStringLiteral("/Lumora/logs");
#endif
    QString expected = program + QStringLiteral("/logs");
    if (layout != QStringLiteral("program")) {
        writeFile(program + QStringLiteral("/logs"), "not a folder");
        expected = dataLogs;
    }
    if (layout == QStringLiteral("private")) {
        QDir().mkpath(QFileInfo(dataLogs).path());
        writeFile(dataLogs, "not a folder");
        expected = privateLogs;
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMP"), QDir::toNativeSeparators(base + QStringLiteral("/tmp")));
    env.insert(QStringLiteral("TEMP"), QDir::toNativeSeparators(base + QStringLiteral("/tmp")));
    env.insert(QStringLiteral("HOME"), base);
    env.insert(QStringLiteral("XDG_DATA_HOME"), data);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("TMPDIR"), base + QStringLiteral("/tmp"));
    child->setProcessEnvironment(env);
    child->setProgram(copy);
    child->setArguments({QString::fromLatin1(kChildSwitch), mode});
    child->start();
    return expected;
}

void TestRuntimeLog::startedProcess_data()
{
    QTest::addColumn<QString>("layout");
    QTest::newRow("logs beside the program") << QStringLiteral("program");
    QTest::newRow("program folder unusable: user data folder") << QStringLiteral("data");
    QTest::newRow("both unusable: private user folder") << QStringLiteral("private");
}

void TestRuntimeLog::startedProcess()
{
    QFETCH(QString, layout);
    QProcess child;
    const QString folder = startChild(QStringLiteral("normal"), layout, &child);
    QVERIFY(!folder.isEmpty());
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);

#if defined(Q_OS_UNIX)
    if (layout == QStringLiteral("private"))
        QCOMPARE(modeOf(folder), mode_t(0700));
#endif
    QList<ParsedLine> records;
    QVERIFY(parseLines(readAll(folder + QStringLiteral("/runtime.log")), &records));
    QCOMPARE(records.size(), 2);

    const ParsedLine& begin = records.at(0);
    QCOMPARE(begin.seq, quint64(0));
    QCOMPARE(begin.level, QStringLiteral("INFO"));
    QCOMPARE(begin.category, QStringLiteral("default"));
    QCOMPARE(begin.function, QStringLiteral("void RuntimeLog::initialize()"));
    QVERIFY(begin.source.startsWith(QStringLiteral("RuntimeLog.cpp")));
    const QRegularExpression beginText(QStringLiteral(
        "^session_begin app_version= 2\\.36 qt_version= \\S+ os= \\S+ os_version= \\S+ kernel= \\S+ \\S+ "
        "cpu= \\S+ build_cpu= \\S+ executable= (.+)$"));
    const QRegularExpressionMatch m = beginText.match(begin.message);
    QVERIFY2(m.hasMatch(), qPrintable(begin.message));
    QCOMPARE(QFileInfo(m.captured(1)).canonicalFilePath(), QFileInfo(child.program()).canonicalFilePath());

    const QString copy = folder + QStringLiteral("/release-history.json");
    QCOMPARE(records.at(1).seq, quint64(1));
    QCOMPARE(records.at(1).message, QStringLiteral("release history written ") + copy);
    QCOMPARE(records.at(1).function, QStringLiteral("void RuntimeLog::recordReleaseHistory()"));
    const QByteArray embedded = readAll(QStringLiteral(":/docs/release-history.json"));
    QVERIFY(!embedded.isEmpty());
    QCOMPARE(readAll(copy), embedded);

    // A second start refreshes the copy and continues the same file with a new session counting from 0.
    QVERIFY(writeFile(copy, "stale"));
    QProcess again;
    again.setProcessEnvironment(child.processEnvironment());
    again.start(child.program(), child.arguments());
    QVERIFY(again.waitForFinished(60000));
    QCOMPARE(again.exitCode(), 0);
    QCOMPARE(readAll(copy), embedded);
    records.clear();
    QVERIFY(parseLines(readAll(folder + QStringLiteral("/runtime.log")), &records));
    QCOMPARE(records.size(), 4);
    QCOMPARE(records.at(2).seq, quint64(0));
    QVERIFY(records.at(2).message.startsWith(QStringLiteral("session_begin ")));
}

void TestRuntimeLog::fatalMessageIsWrittenBeforeAbort()
{
    QProcess child;
    const QString folder = startChild(QStringLiteral("fatal"), QStringLiteral("program"), &child);
    QVERIFY(!folder.isEmpty());
    QVERIFY(child.waitForFinished(60000));
    // Windows' abort() ends the process with exit code 3, which QProcess cannot tell from a normal exit.
    if (HostSystem::isWindows && child.exitStatus() == QProcess::NormalExit)
        QCOMPARE(child.exitCode(), 3);
    else
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    const QString text = QString::fromUtf8(readAll(folder + QStringLiteral("/runtime.log")));
    // The last record of the file, written before the abort; its process is the child, not this one.
    const QString pattern = kLineEnd + QStringLiteral("\\S+ seq=2 session=\\d{8}-\\d{9}-(\\d+) level=FATAL pid=(\\d+) "
                                           "thread=\\d+ category=default message=\"") +
                            QRegularExpression::escape(QStringLiteral("fatal: \\\"state\\\" lost\\nsecond line")) +
                            QStringLiteral("\" source=TestRuntimeLog\\.cpp:\\d+ function=\"[^\"]*runChild[^\"]*\"") + kLineEnd +
                            QStringLiteral("$");
    const QRegularExpressionMatch m = QRegularExpression(pattern).match(text);
    QVERIFY2(m.hasMatch(), qPrintable(text));
    QCOMPARE(m.captured(1), m.captured(2));
    // The chained handler saw the message too: Qt's own handler prints it on standard error (on Windows, where
    // standard error is no console, it goes to the debugger's output instead).
    if (!HostSystem::isWindows)
        QVERIFY(QString::fromUtf8(child.readAllStandardError()).contains(QStringLiteral("fatal: \"state\" lost")));
}

void TestRuntimeLog::releaseHistoryIsWellFormed()
{
    const QByteArray bytes = readAll(QStringLiteral(":/docs/release-history.json"));
    QVERIFY(!bytes.startsWith("\xEF\xBB\xBF"));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
    const QJsonArray releases = doc.object().value(QStringLiteral("releases")).toArray();
    QVERIFY(!releases.isEmpty());
    QCOMPARE(releases.first().toObject().value(QStringLiteral("version")).toString(), QStringLiteral("2.36"));

    QDate newer;
    QString newerVersion;
    for (const QJsonValue& value : releases) {
        const QJsonObject release = value.toObject();
        const QString version = release.value(QStringLiteral("version")).toString();
        const QDate date = QDate::fromString(release.value(QStringLiteral("date")).toString(), Qt::ISODate);
        QVERIFY2(date.isValid(), qPrintable(version));
        QVERIFY2(!release.value(QStringLiteral("changes")).toArray().isEmpty(), qPrintable(version));
        if (newer.isValid()) {
            QVERIFY2(date < newer, qPrintable(version)); // newest first
            QVERIFY2(QVersionNumber::fromString(version) < QVersionNumber::fromString(newerVersion),
                     qPrintable(version));
        }
        newer = date;
        newerVersion = version;
    }
}

int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], kChildSwitch) == 0)
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestRuntimeLog test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestRuntimeLog.moc"
