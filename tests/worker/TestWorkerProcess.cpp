// The built LeanfoldWorker.exe, run as the host runs it, on documents made at test time and on corpus copies.
#include "PassThroughFolder.h"
#include "PsdBuilder.h"
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

#include <grp.h>
#include <map>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace WorkerFixtures;

namespace {

using ManifestRow = std::vector<std::pair<QString, QString>>;

// Every extended attribute of path (the POSIX ACL included), by name.
std::map<QByteArray, QByteArray> attributesOf(const QString& path)
{
    std::map<QByteArray, QByteArray> attributes;
    const QByteArray name = QFile::encodeName(path);
    QByteArray list(65536, '\0');
    const ssize_t length = ::llistxattr(name.constData(), list.data(), std::size_t(list.size()));
    for (const QByteArray& key : list.left(std::max<ssize_t>(length, 0)).split('\0')) {
        if (key.isEmpty())
            continue;
        QByteArray value(65536, '\0');
        const ssize_t n = ::lgetxattr(name.constData(), key.constData(), value.data(), std::size_t(value.size()));
        attributes[key] = value.left(std::max<ssize_t>(n, 0));
    }
    return attributes;
}

// Ownership for a case that must run without root's right to ignore permission bits.
void chownTree(const QString& path, uid_t uid)
{
    if (::lchown(QFile::encodeName(path).constData(), uid, uid) != 0)
        qWarning("cannot give %s to %u", qPrintable(path), unsigned(uid));
    for (const QString& entry : QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        chownTree(path + QLatin1Char('/') + entry, uid);
}

// A document with history and payloadBytes of image data, copied when it is slimmed.
QByteArray bigDocument(std::size_t payloadBytes)
{
    using namespace psdtest;
    Builder b;
    const std::string xmp = xmpWithHistory(2);
    b.resources.push_back({1060, Bytes(xmp.begin(), xmp.end())});
    b.layers.push_back(Layer{"pixels"});
    b.imageData = Bytes(payloadBytes, 0x11);
    const Bytes bytes = b.build();
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

// A document that needs more memory than its size: each empty image resource takes 12 bytes of file and far more
// once parsed. (A large embedded object no longer does: it is spliced, never held.)
QByteArray manyResourcesDocument(int count)
{
    using namespace psdtest;
    Builder b;
    const std::string xmp = xmpWithHistory(2);
    b.resources.push_back({1060, Bytes(xmp.begin(), xmp.end())});
    b.resources.insert(b.resources.end(), std::size_t(count), {1000, Bytes{}});
    const Bytes bytes = b.build();
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

// A document made by independent tools, with history; made once. The large one is big enough for whole blocks
// to be cloned where the file system shares them.
QByteArray seedDocument(QString& why, bool large = false)
{
    static QByteArray seeds[2];
    QByteArray& seed = seeds[large ? 1 : 0];
    if (seed.isEmpty()) {
        QTemporaryDir seedDir;
        FixtureRecipe recipe;
        if (large) {
            recipe.width = 400;
            recipe.height = 300;
        }
        if (makeLayeredDocument(seedDir.filePath(u"seed.psd"_s), recipe, why))
            seed = readAll(seedDir.filePath(u"seed.psd"_s));
    }
    return seed;
}

// One system call of an uninjected run, as strace showed it.
struct TracedCall
{
    QString name;
    int fd = -1;      // the first argument, where it is a descriptor
    QString argument; // the first quoted argument
    long result = 0;
    int occurrence = 0; // as strace counts the calls of that name, over the whole run
};

// A case of the injection table: one file of the batch (the target) carries an ACL, a user attribute and (as root)
// another group, so that every call that keeps them is made; the worker's calls for that file, and what an
// uninjected run makes of the files. Small files are committed together: the target's flush and rename come
// after the next file was read, among its calls.
struct FaultFixture
{
    QString folder;
    int count = 2;           // files in the batch
    int target = 0;          // the file whose calls are failed
    bool commitOnly = false; // only the calls of its commit (flush, close, rename), made after the next file began
    QByteArray first;
    QByteArray slimmed;
    unsigned mode = 0;
    QProcessEnvironment environment;
    QString worker;
    std::vector<TracedCall> calls; // every call strace counts that is made for the target
    int renameAt = -1;             // index in calls of the rename over the target
    int temporaryFd = -1;
};

// The calls of the write path that the table fails in turn; strace counts each name on its own.
const QStringList kInjectedCalls = {
    u"openat"_s,    u"pread64"_s,         u"pwrite64"_s, u"copy_file_range"_s, u"ioctl"_s,      u"fsync"_s,
    u"fdatasync"_s, u"sync_file_range"_s, u"fchmod"_s,   u"fchown"_s,          u"flistxattr"_s, u"fgetxattr"_s,
    u"fsetxattr"_s, u"fremovexattr"_s,    u"close"_s,    u"renameat"_s,        u"renameat2"_s,  u"unlinkat"_s};

// a.psd, b.psd, ...
QStringList caseFiles(const QString& folder, int count = 2)
{
    QStringList files;
    for (int i = 0; i < count; ++i)
        files << folder + u"/"_s + QChar(u'a' + i) + u".psd"_s;
    return files;
}

// Lays out the files of a case (the target with its attributes) and the job.
bool layCase(const QString& folder, const QByteArray& seed, QString& why, int count = 2, int target = 0)
{
    const QStringList files = caseFiles(folder, count);
    const QByteArray first = QFile::encodeName(files[target]);
    bool written = writeAll(folder + u"/job.json"_s, jobText(files, false));
    for (const QString& file : files)
        written = written && writeAll(file, seed);
    if (!written || ::chmod(first.constData(), 0640) != 0) {
        why = u"cannot lay out the case in "_s + folder;
        return false;
    }
    ::setxattr(first.constData(), "user.xdg.tags", "poster", 6, 0);
    if (::geteuid() == 0 && ::chown(first.constData(), 0, 65534) != 0)
        qWarning("cannot give %s the group 65534", first.constData());
    QProcess setfacl;
    setfacl.start(u"setfacl"_s, {u"-m"_s, u"u:65534:r"_s, files[target]});
    setfacl.waitForFinished(30000);
    return true;
}

// Runs the worker on the case under strace; injection empty for an uninjected run that writes its trace.
WorkerRun runTraced(const FaultFixture& f, const QStringList& strace)
{
    QProcess p;
    p.setProcessEnvironment(f.environment);
    p.start(u"strace"_s, strace + QStringList{f.worker, u"--job"_s, f.folder + u"/job.json"_s});
    WorkerRun run;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        run.crashed = true; // a hang
        return run;
    }
    run.crashed = p.exitStatus() != QProcess::NormalExit;
    run.exitCode = p.exitCode();
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    return run;
}

// Makes the fixture in folder and reads the uninjected run's trace; false with why where it cannot.
bool makeFaultFixture(FaultFixture& f, const QString& folder, bool clone, QString& why)
{
    const QByteArray seed = seedDocument(why, true);
    if (seed.isEmpty() || !layCase(folder, seed, why, f.count, f.target))
        return false;
    const QStringList files = caseFiles(folder, f.count);
    f.folder = folder;
    f.first = readAll(files[f.target]);
    f.mode = modeOf(files[f.target]);
    f.environment = QProcessEnvironment::systemEnvironment();
    f.worker = workerPath();
    if (!testWorkerPath().isEmpty()) {
        // Groups of small files close on a clock as well: under strace a run may cross it where the traced run
        // did not, and make other calls. The table wants the same calls in each run.
        f.worker = testWorkerPath();
        f.environment.insert(u"LEANFOLD_WORKER_TEST_UNTIMED_GROUPS"_s, u"1"_s);
    }
    if (clone) // small files take the clone path too
        f.environment.insert(u"LEANFOLD_WORKER_TEST_CLONE_ANY_SIZE"_s, u"1"_s);
    const QString trace = folder + u"/../trace-"_s + QFileInfo(folder).fileName();
    const WorkerRun run = runTraced(f, {u"-f"_s, u"-qq"_s, u"-o"_s, trace});
    if (run.crashed || run.exitCode != 0) {
        why = u"the uninjected run failed: "_s + QString::fromUtf8(run.out + run.err);
        return false;
    }
    f.slimmed = readAll(files[f.target]);
    // Each line: "<pid> name(args) = result ...".
    static const QRegularExpression line(uR"re(^\d+\s+(\w+)\((\d+)?[^"]*(?:"([^"]*)")?.*\)\s+=\s+(-?\d+))re"_s);
    const QString name = QFileInfo(files[f.target]).fileName();
    const QString marker = name + u".psdslim_backup"_s;
    const QString nextMarker =
        f.target + 1 < f.count ? QFileInfo(files[f.target + 1]).fileName() + u".psdslim_backup"_s : QString();
    const QString temporaryPrefix = u"."_s + QFileInfo(name).completeBaseName() + u".psdslim_"_s;
    enum { Before, Own, After } part = Before;
    std::map<QString, int> seen;
    int temporaryFd = -1;
    int folderFd = -1; // the folder the target's temporary is made in: it is flushed once for the group
    QFile file(trace);
    if (!file.open(QIODevice::ReadOnly)) {
        why = u"no trace"_s;
        return false;
    }
    // With more than one thread (the worker reads its standard input on one of its own), strace may split a call
    // into "<pid> name(args <unfinished ...>" and "<pid> <... name resumed>rest": put each back together, where
    // its call began, so that calls are counted as strace counts them for the injection.
    static const QRegularExpression resumed(uR"re(^(\d+)\s+<\.\.\. \w+ resumed>(.*)$)re"_s);
    const QString unfinishedTail = u" <unfinished ...>"_s;
    std::vector<QString> lines;
    std::map<QString, std::size_t> openCall; // pid -> index in lines of its unfinished call
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString text = QString::fromUtf8(raw);
        if (text.endsWith(unfinishedTail)) {
            openCall[text.section(u' ', 0, 0)] = lines.size();
            lines.push_back(text.chopped(unfinishedTail.size()));
            continue;
        }
        const QRegularExpressionMatch r = resumed.match(text);
        const auto begun = r.hasMatch() ? openCall.find(r.captured(1)) : openCall.end();
        if (begun != openCall.end()) {
            lines[begun->second] += r.captured(2);
            openCall.erase(begun);
            continue;
        }
        lines.push_back(text);
    }
    for (const QString& text : lines) {
        if (part == Before && text.contains(marker))
            part = Own; // the target's clean-up of leftovers begins its work
        else if (part == Own && !nextMarker.isEmpty() && text.contains(nextMarker))
            part = After; // the next file's: from here on only the target's own descriptors and names
        const QRegularExpressionMatch m = line.match(text);
        if (!m.hasMatch() || !kInjectedCalls.contains(m.captured(1)))
            continue;
        TracedCall call{m.captured(1), m.captured(2).isEmpty() ? -1 : m.captured(2).toInt(), m.captured(3),
                        m.captured(4).toLong(), ++seen[m.captured(1)]};
        if (part == Before)
            continue;
        if (part == Own && call.name == u"openat"_s && call.argument.startsWith(temporaryPrefix)) {
            f.temporaryFd = temporaryFd = int(call.result);
            folderFd = call.fd;
        }
        const bool own = part == Own
                             ? !f.commitOnly
                             : (call.fd >= 0 && (call.fd == temporaryFd || call.fd == folderFd)) ||
                                   (call.name.startsWith(u"renameat"_s) && call.argument.startsWith(temporaryPrefix));
        // Past its own descriptors' close, their numbers may name another file's.
        if (call.name == u"close"_s && call.fd >= 0 && call.fd == temporaryFd)
            temporaryFd = -2;
        if (call.name == u"close"_s && call.fd >= 0 && call.fd == folderFd)
            folderFd = -2;
        if (!own)
            continue;
        if (call.name.startsWith(u"renameat"_s) && f.renameAt < 0)
            f.renameAt = int(f.calls.size());
        f.calls.push_back(call);
    }
    QFile::remove(trace);
    if (f.calls.empty() || f.renameAt < 0 || f.temporaryFd < 0) {
        why = u"the trace shows no slimming of "_s + name;
        return false;
    }
    return true;
}

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
    void failureCases_data();
    void failureCases();
    void injectedFaults_data();
    void injectedFaults();
    void cleanupTestCase();

private:
    // The injection table's folders: its own file system here, a loop-mounted XFS where blocks are cloned, and a
    // batch of five here whose third file's commit is failed.
    std::optional<FaultFixture> m_faults[3];
    std::optional<LoopMount> m_xfs;
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

void TestWorkerProcess::failureCases_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("target");  // the first file of the batch, inside the case folder
    QTest::addColumn<QString>("pauseAt"); // a step of the test worker at which the case acts
    QTest::addColumn<bool>("slimmed");    // else the first file fails and is left as it was
    QTest::addColumn<QString>("logLine"); // a LOG line that must be written, where not empty
    const QString failed = u"处理失败：a.psd（%1: "_s;
    const QString powerCut = u"断电后此次更改可能丢失：a.psd"_s;
    const QString longFolder = QString(300, u'n') + u"/a.psd"_s;
    // clang-format off
    QTest::newRow("temporary as created, umask 0") << u"umask0"_s        << u"a.psd"_s         << u"temp-opened"_s    << true  << QString();
    QTest::newRow("folder cannot be entered")      << u"no-entry"_s      << u"closed/a.psd"_s  << QString()           << false << failed.arg(u"IoError"_s);
    QTest::newRow("symbolic link loop")            << u"link-loop"_s     << u"loop/a.psd"_s    << QString()           << false << failed.arg(u"IoError"_s);
    QTest::newRow("folder name too long")          << u"long-name"_s     << longFolder         << QString()           << false << failed.arg(u"IoError"_s);
    QTest::newRow("drop-box folder 0333")          << u"drop-box"_s      << u"box/a.psd"_s     << QString()           << true  << powerCut;
    QTest::newRow("out of memory")                 << u"memory"_s        << u"a.psd"_s         << QString()           << false << failed.arg(u"MemoryError"_s);
    QTest::newRow("extended attributes and ACL")   << u"xattrs"_s        << u"a.psd"_s         << u"after-sync"_s     << true  << QString();
    QTest::newRow("folder sync fails")             << u"folder-sync"_s   << u"a.psd"_s         << QString()           << true  << powerCut;
    QTest::newRow("temporary swapped")             << u"swap-temp"_s     << u"a.psd"_s         << u"before-replace"_s << false << failed.arg(u"IoError"_s);
    QTest::newRow("original swapped")              << u"swap-original"_s << u"a.psd"_s         << u"before-replace"_s << false << failed.arg(u"IoError"_s);
    QTest::newRow("second hard link")              << u"hard-link"_s     << u"a.psd"_s         << QString()           << false << failed.arg(u"IoError"_s);
    QTest::newRow("FIFO put under the name")       << u"fifo"_s          << u"a.psd"_s         << u"before-open"_s    << false << failed.arg(u"IoError"_s);
    QTest::newRow("file of another user")          << u"other-owner"_s   << u"a.psd"_s         << QString()           << false << failed.arg(u"IoError"_s);
    QTest::newRow("disk full during write-back")   << u"write-back"_s    << u"mnt/a.psd"_s     << QString()           << false << failed.arg(u"IoError"_s);
    // A file with nothing left to remove is left as it is, but refused where a file to slim would be.
    QTest::newRow("second hard link, slimmed")
        << u"hard-link-slimmed"_s << u"a.psd"_s << QString() << false << failed.arg(u"IoError"_s);
    QTest::newRow("FIFO under the name, slimmed")
        << u"fifo-slimmed"_s << u"a.psd"_s << u"before-open"_s << false << failed.arg(u"IoError"_s);
    QTest::newRow("file of another user, slimmed")
        << u"other-owner-slimmed"_s << u"a.psd"_s << QString() << false << failed.arg(u"IoError"_s);
    // clang-format on
}

// Each case runs the worker on a batch of two: the first file meets the fault, the second must slim all the same.
void TestWorkerProcess::failureCases()
{
    QFETCH(QString, setup);
    // The same case on a file an earlier run slimmed.
    const bool slimmedBefore = setup.endsWith(u"-slimmed"_s);
    if (slimmedBefore)
        setup.chop(8);
    QFETCH(QString, target);
    QFETCH(QString, pauseAt);
    QFETCH(bool, slimmed);
    QFETCH(QString, logLine);
    QString why;
    if (!toolsAvailable(why))
        QSKIP(qPrintable(why));
    if (testWorkerPath().isEmpty())
        QSKIP("built without LEANFOLD_WORKER_TEST_HOOKS: no worker with test hooks");
    const QByteArray seed = seedDocument(why);
    QVERIFY2(!seed.isEmpty(), qPrintable(why));
    // An unprivileged worker must reach the case folder and the worker: beside this test's binary, not in its private
    // home; as root (whose checkout nobody may reach), in a folder of root's under /tmp with a copy of the worker.
    const PassThroughFolder reachable(::geteuid() == 0);
    QVERIFY(reachable.isValid());
    const QString workerProgram = ::geteuid() == 0 ? reachable.copyIn(testWorkerPath()) : testWorkerPath();
    QVERIFY(!workerProgram.isEmpty());
    QTemporaryDir dir(reachable.path() + u"/failure-XXXXXX"_s);
    QVERIFY(dir.isValid());
    QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    const QString first = dir.filePath(target);
    const QString second = dir.filePath(u"b.psd"_s);
    // A path that cannot be resolved names no file that could be written first.
    const bool unresolvable = setup == u"link-loop"_s || setup == u"long-name"_s;
    const bool deep = setup == u"memory"_s;
    QByteArray firstBytes = deep                       ? manyResourcesDocument(990000)
                            : setup == u"write-back"_s ? bigDocument(64u << 20)
                                                       : seed;
    if (slimmedBefore) {
        const QString scratch = dir.filePath(u"slimmed.psd"_s);
        QVERIFY(writeAll(scratch, seed));
        QCOMPARE(runWorkerOnFiles(dir.path(), {scratch}, false).exitCode, 0);
        firstBytes = readAll(scratch);
        QVERIFY(firstBytes != seed && !hasHistory(firstBytes));
        QVERIFY(QFile::remove(scratch) && QFile::remove(dir.filePath(u"job.json"_s)));
    }
    // The first file on a disk with room for it and the folder's records, and only 8 MiB for the new file.
    std::optional<LoopMount> disk;
    if (setup == u"write-back"_s) {
        disk.emplace(dir.path(), LoopMount::Kind::Ext4OnTmpfs);
        if (!disk->mounted())
            QSKIP(qPrintable(disk->why));
    }
    if (!unresolvable) {
        QVERIFY(QDir(dir.path()).mkpath(QFileInfo(first).path()));
        QVERIFY(writeAll(first, firstBytes));
    }
    if (disk)
        QVERIFY2(disk->limitBacking(8 << 20), qPrintable(disk->why));
    if (setup == u"link-loop"_s)
        QCOMPARE(::symlink("loop", QFile::encodeName(dir.filePath(u"loop"_s)).constData()), 0);
    const QString otherName = dir.filePath(u"a-link.psd"_s);
    if (setup == u"hard-link"_s)
        QCOMPARE(::link(QFile::encodeName(first).constData(), QFile::encodeName(otherName).constData()), 0);
    QVERIFY(writeAll(second, seed));
    QVERIFY(writeAll(dir.filePath(u"job.json"_s), jobText({first, second}, deep)));

    // Root ignores permission bits: the cases about them run as nobody, on files nobody owns.
    const bool unprivileged = setup == u"no-entry"_s || setup == u"drop-box"_s || setup == u"other-owner"_s;
    if (setup == u"other-owner"_s && ::geteuid() != 0)
        QSKIP("only root can make a file of another user in this user's folder");
    const uid_t runAs = unprivileged && ::geteuid() == 0 ? 65534 : ::geteuid();
    std::map<QByteArray, QByteArray> attributesBefore;
    if (setup == u"xattrs"_s) {
        const QByteArray name = QFile::encodeName(first);
        for (const auto& [key, value] : {std::pair{"user.xdg.origin.url", "https://example.org/posters/a.psd"},
                                         std::pair{"user.xdg.tags", "poster,final"}}) {
            if (::setxattr(name.constData(), key, value, std::strlen(value), 0) != 0)
                QSKIP(qPrintable(u"this file system keeps no user attributes: "_s +
                                 QString::fromLocal8Bit(std::strerror(errno))));
        }
        if (QStandardPaths::findExecutable(u"setfacl"_s).isEmpty())
            QSKIP("setfacl is not installed (Debian package acl)");
        QProcess setfacl;
        setfacl.start(u"setfacl"_s, {u"-m"_s, u"u:65534:rw,g:65534:r"_s, first});
        QVERIFY(setfacl.waitForFinished(30000) && setfacl.exitCode() == 0);
        attributesBefore = attributesOf(first);
        QVERIFY(attributesBefore.count("system.posix_acl_access") == 1);
    }
    const unsigned modeBefore = modeOf(first);
    if (runAs != ::geteuid())
        chownTree(dir.path(), runAs);
    if (setup == u"other-owner"_s) // a folder the worker's user may write, a file it may only read
        QCOMPARE(::chown(QFile::encodeName(first).constData(), 0, 0), 0);
    if (setup == u"no-entry"_s)
        QCOMPARE(::chmod(QFile::encodeName(dir.filePath(u"closed"_s)).constData(), 0600), 0);
    if (setup == u"drop-box"_s)
        QCOMPARE(::chmod(QFile::encodeName(dir.filePath(u"box"_s)).constData(), 0333), 0);

    QProcess worker;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!pauseAt.isEmpty())
        env.insert(u"LEANFOLD_WORKER_TEST_PAUSE"_s, pauseAt);
    if (setup == u"folder-sync"_s)
        env.insert(u"LEANFOLD_WORKER_TEST_FAIL"_s, u"folder-sync"_s);
    worker.setProcessEnvironment(env);
    worker.setChildProcessModifier([setup, runAs] {
        if (setup == u"umask0"_s)
            ::umask(0);
        if (setup == u"memory"_s) {
            const rlimit limit{48u << 20, 48u << 20}; // less than the parsed resources, plenty for the second file
            ::setrlimit(RLIMIT_AS, &limit);
        }
        if (runAs != ::geteuid() && (::setgroups(0, nullptr) != 0 || ::setresgid(runAs, runAs, runAs) != 0 ||
                                     ::setresuid(runAs, runAs, runAs) != 0))
            ::_exit(120);
    });
    worker.start(workerProgram, {u"--job"_s, dir.filePath(u"job.json"_s)});
    QVERIFY(worker.waitForStarted());
    QByteArray err;
    if (!pauseAt.isEmpty()) {
        while (!err.contains("LEANFOLD_WORKER_PAUSED") && worker.state() == QProcess::Running) {
            worker.waitForReadyRead(1000);
            err += worker.readAllStandardError();
        }
        QVERIFY2(err.contains("LEANFOLD_WORKER_PAUSED"), "the worker never reached its pause point");
        const QStringList temporaries = QDir(dir.path()).entryList({u".a.psdslim_*"_s}, QDir::Files | QDir::Hidden);
        QCOMPARE(temporaries.size(), pauseAt == u"before-open"_s ? 0 : 1);
        const QString temporary = temporaries.isEmpty() ? QString() : dir.filePath(temporaries[0]);
        if (setup == u"umask0"_s)
            QCOMPARE(QString::number(modeOf(temporary), 8), u"600"_s); // private in the creating call itself
        // Flushed with the original's mode and ACL on it: no crash can leave a replaced file without them.
        if (setup == u"xattrs"_s) {
            QCOMPARE(QString::number(modeOf(temporary), 8), QString::number(modeBefore, 8));
            QVERIFY(attributesOf(temporary) == attributesBefore);
        }
        // A FIFO put under the checked name would block a reader until someone writes to it.
        if (setup == u"fifo"_s)
            QVERIFY(QFile::remove(first) && ::mkfifo(QFile::encodeName(first).constData(), 0644) == 0);
        // Someone puts another file under the checked temporary's name, or saves a newer original meanwhile.
        const QString planted = dir.filePath(u"planted"_s);
        if (setup == u"swap-temp"_s)
            QVERIFY(writeAll(planted, "planted") &&
                    ::rename(QFile::encodeName(planted), QFile::encodeName(temporary)) == 0);
        if (setup == u"swap-original"_s)
            QVERIFY(writeAll(planted, "newer") && ::rename(QFile::encodeName(planted), QFile::encodeName(first)) == 0);
        worker.closeWriteChannel(); // lets the paused worker go on
    }
    QVERIFY(worker.waitForFinished(120000));
    err += worker.readAllStandardError();
    const QStringList lines = WorkerRun{worker.exitCode(), false, worker.readAllStandardOutput(), err}.lines();
    const QString allLines = lines.join(QLatin1Char('\n')) + QLatin1Char('\n') + QString::fromUtf8(err);
    if (QDir(dir.path()).exists(u"closed"_s))
        ::chmod(QFile::encodeName(dir.filePath(u"closed"_s)).constData(), 0700); // so that the folder can go

    QCOMPARE(worker.exitStatus(), QProcess::NormalExit);
    QVERIFY2(worker.exitCode() == (slimmed ? 0 : 4), qPrintable(allLines));
    QVERIFY2(lines.last() == (slimmed ? u"DONE\t{\"exported\":2,\"skipped\":0,\"failed\":0,"_s
                                      : u"DONE\t{\"exported\":1,\"skipped\":0,\"failed\":1,"_s) +
                                 lines.last().mid(lines.last().indexOf(u"\"bytesSaved\""_s)),
             qPrintable(allLines));
    if (!logLine.isEmpty())
        QVERIFY2(!lines.filter(u"LOG\t"_s + logLine).isEmpty() || !lines.filter(logLine).isEmpty(),
                 qPrintable(allLines));
    if (!slimmed)
        QVERIFY2(lines.contains(u"PROGRESS\t100\t200\t失败：a.psd"_s), qPrintable(allLines));
    ResourceSplit split;
    QVERIFY(splitResources(readAll(second), split, why));
    QVERIFY2(!hasHistory(split.xmp), "the second file of the batch was not slimmed");
    if (setup == u"swap-original"_s)
        QCOMPARE(readAll(first), QByteArray("newer")); // the newer version is kept, not overwritten
    else if (slimmed)
        QVERIFY(readAll(first) != firstBytes && differenceOutsideXmp(firstBytes, readAll(first)).isEmpty());
    else if (setup == u"fifo"_s)
        QVERIFY(QFileInfo(first).exists() && !QFileInfo(first).isFile()); // left as it is, not read
    else if (!unresolvable)
        QCOMPARE(readAll(first), firstBytes);
    if (QFileInfo::exists(first) && setup != u"swap-original"_s && setup != u"fifo"_s)
        QCOMPARE(modeOf(first), modeBefore);
    if (setup == u"hard-link"_s) // both names still lead to the one untouched file
        QVERIFY(QFileInfo(otherName).exists() && readAll(otherName) == firstBytes && linksOf(first) == 2);
    if (setup == u"other-owner"_s)
        QCOMPARE(ownerOf(first), 0u);
    if (setup == u"xattrs"_s) {
        QVERIFY(attributesOf(first) == attributesBefore);
        QVERIFY2(lines.filter(u"扩展属性"_s).isEmpty(), qPrintable(allLines));
    }
    // Nothing is left behind beside the files: no temporary, no backup.
    QVERIFY(QDir(QFileInfo(second).path()).entryList({u"*psdslim*"_s}, QDir::Files | QDir::Hidden).isEmpty());
}

void TestWorkerProcess::injectedFaults_data()
{
    QTest::addColumn<int>("fixture");
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("occurrence"); // as strace counts the calls of that name
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("mustFail"); // else the file is slimmed as without the fault
    QString why;
    if (QStandardPaths::findExecutable(u"strace"_s).isEmpty())
        why = u"strace is not installed (bash scripts/deps.sh)"_s;
    if (why.isEmpty() && !toolsAvailable(why) && why.isEmpty())
        why = u"the fixture tools are missing"_s;
    if (!why.isEmpty()) {
        QTest::newRow("strace") << -1 << why << 0 << QString() << false;
        return;
    }
    // Beside this test's binary, where the worker may write.
    static QTemporaryDir root(QFileInfo(u"/proc/self/exe"_s).canonicalPath() + u"/faults-XXXXXX"_s);
    m_xfs.emplace(root.path(), LoopMount::Kind::XfsReflink);
    const QString folders[3] = {root.filePath(u"here"_s), m_xfs->mountPoint() + u"/case"_s, root.filePath(u"five"_s)};
    const char* names[3] = {"here", "xfs", "five"};
    for (int i = 0; i < 3; ++i) {
        if (i == 1 && !m_xfs->mounted()) {
            qInfo("no injection on XFS: %s", qPrintable(m_xfs->why));
            continue;
        }
        if (i == 1 && testWorkerPath().isEmpty())
            continue;
        m_faults[i].emplace();
        if (i == 2) {
            m_faults[i]->count = 5;
            m_faults[i]->target = 2;
            m_faults[i]->commitOnly = true;
        }
        if (!QDir().mkpath(folders[i]) || !makeFaultFixture(*m_faults[i], folders[i], i == 1, why)) {
            // The five small files are committed together, their flushes and renames after all were read: a
            // trace without the third's commit there is a fault.
            QTest::newRow(names[i]) << (i == 2 ? -2 : -1) << why << 0 << QString() << false;
            continue;
        }
        const FaultFixture& f = *m_faults[i];
        for (int at = 0; at < int(f.calls.size()); ++at) {
            const TracedCall& call = f.calls[std::size_t(at)];
            const int occurrence = call.occurrence;
            // Before the rename, every failing call fails the file, except the close of a descriptor that was
            // only read and the copy of a user attribute (named in a LOG line); after it, the file is done.
            const bool harmless =
                (call.name == u"close"_s && call.fd != f.temporaryFd) ||
                ((call.name == u"fgetxattr"_s || call.name == u"fsetxattr"_s) && call.argument.startsWith(u"user."_s));
            const bool mustFail = at <= f.renameAt && !harmless;
            for (const char* error : {"EIO", "ENOSPC", "EDQUOT"})
                QTest::addRow("%s %s#%d %s", names[i], qPrintable(call.name), occurrence, error)
                    << i << call.name << occurrence << QString::fromLatin1(error) << mustFail;
        }
    }
}

// Fails each call of the write path in turn, as a failing disk would: the target file ends either as it was and
// reported failed, or exactly as an uninjected run slims it and reported done; nothing is left beside it; the
// other files are slimmed; the counts and the exit code tell the truth; nothing hangs. In a batch committed
// together, the lines are each file's own, in job order.
void TestWorkerProcess::injectedFaults()
{
    QFETCH(int, fixture);
    QFETCH(QString, call);
    QFETCH(int, occurrence);
    QFETCH(QString, error);
    QFETCH(bool, mustFail);
    if (fixture == -2)
        QFAIL(qPrintable(call));
    if (fixture < 0)
        QSKIP(qPrintable(call));
    const FaultFixture& f = *m_faults[fixture];
    QString why;
    const QStringList files = caseFiles(f.folder, f.count);
    for (const QString& file : files)
        QVERIFY(QFile::remove(file));
    QVERIFY2(layCase(f.folder, seedDocument(why, true), why, f.count, f.target), qPrintable(why));
    const QString inject = u"--inject=%1:error=%2:when=%3"_s.arg(call, error).arg(occurrence);
    const WorkerRun run =
        runTraced(f, {u"-f"_s, u"-qq"_s, u"-o"_s, u"/dev/null"_s, u"-e"_s, u"trace="_s + call, inject});
    QVERIFY2(!run.crashed, "the worker hung or crashed");
    const QStringList lines = run.lines();
    const QString allLines = lines.join(u'\n') + u'\n' + QString::fromUtf8(run.err);
    const QString name = QFileInfo(files[f.target]).fileName();
    const QByteArray after = readAll(files[f.target]);
    const QString total = QString::number(f.count * 100);
    const bool failed = lines.contains(u"PROGRESS\t%1\t%2\t失败：%3"_s.arg((f.target + 1) * 100).arg(total, name));
    QVERIFY2(failed ? after == f.first : after == f.slimmed, qPrintable(allLines));
    if (mustFail)
        QVERIFY2(failed, qPrintable(allLines));
    QVERIFY2(failed == !lines.filter(u"LOG\t处理失败："_s + name + u"（"_s).isEmpty(), qPrintable(allLines));
    QCOMPARE(modeOf(files[f.target]), f.mode);
    QCOMPARE(run.exitCode, failed ? 4 : 0);
    const QString done = u"DONE\t{\"exported\":%1,\"skipped\":0,\"failed\":%2,"_s;
    QVERIFY2(!lines.isEmpty() &&
                 lines.last().startsWith(failed ? done.arg(f.count - 1).arg(1) : done.arg(f.count).arg(0)),
             qPrintable(allLines));
    for (int i = 0; i < f.count; ++i) {
        if (i != f.target)
            QVERIFY2(readAll(files[i]) == f.slimmed, qPrintable(u"not slimmed: "_s + files[i]));
    }
    if (f.commitOnly) {
        // Each file's lines as a file alone writes them, in job order; only the failed one ends otherwise.
        QStringList expected;
        for (int i = 0; i < f.count; ++i) {
            const QString file = QFileInfo(files[i]).fileName();
            for (const auto& [value, step] : {std::pair{5, u"读取："_s}, std::pair{15, u"清理文档元数据："_s},
                                              std::pair{75, u"写入优化文件："_s}, std::pair{90, u"校验图层结构："_s}})
                expected << u"PROGRESS\t%1\t%2\t%3%4"_s.arg(i * 100 + value).arg(total, step, file);
            const bool fails = failed && i == f.target;
            expected << (fails ? u"LOG\t处理失败："_s : u"LOG\t已完成："_s) + file + (fails ? u"（"_s : u"；"_s);
            expected
                << u"PROGRESS\t%1\t%2\t%3%4"_s.arg(i * 100 + 100).arg(total, fails ? u"失败："_s : u"完成："_s, file);
        }
        QCOMPARE(lines.size(), expected.size() + 1);
        for (int i = 0; i < expected.size(); ++i)
            QVERIFY2(lines[i].startsWith(expected[i]), qPrintable(allLines));
    }
    QVERIFY2(QDir(f.folder).entryList({u"*psdslim*"_s}, QDir::Files | QDir::Hidden).isEmpty(), qPrintable(allLines));
}

void TestWorkerProcess::cleanupTestCase()
{
    for (auto& f : m_faults)
        f.reset();
    m_xfs.reset();
}

QTEST_APPLESS_MAIN(TestWorkerProcess)
#include "TestWorkerProcess.moc"
