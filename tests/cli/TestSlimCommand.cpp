// leanfold-slim run as a process on trees made at test time and on corpus copies: the command line, the walk of
// folders, the exit codes, the per-file and summary lines for people and for scripts, and signals between files.
#include "PsdBuilder.h"
#include "WorkerFixtures.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <map>

#include <signal.h>

using namespace Qt::StringLiterals;
using namespace WorkerFixtures;

namespace {

using SlimRun = WorkerRun;

SlimRun runSlim(const QString& folder, const QStringList& arguments)
{
    QProcess p;
    p.setWorkingDirectory(folder);
    p.start(QStringLiteral(LEANFOLD_SLIM_EXE), arguments);
    return finishRun(p, 120000);
}

// A small document whose XMP packet holds history, and payloadBytes of image data.
QByteArray documentWithHistory(std::size_t payloadBytes = 64)
{
    using namespace psdtest;
    Builder b;
    const std::string xmp = xmpWithHistory(3);
    b.resources.push_back({1060, Bytes(xmp.begin(), xmp.end())});
    b.layers.push_back(Layer{"pixels"});
    b.imageData = Bytes(payloadBytes, 0x22);
    const Bytes bytes = b.build();
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

// Makes a tree in root from entries "kind:path" (kind doc, bad, other, dir; "link:path>target" for a symbolic
// link). Every regular file's bytes before the run, by path relative to root.
bool makeTree(const QString& root, const QStringList& entries, std::map<QString, QByteArray>& files)
{
    for (const QString& entry : entries) {
        const QString kind = entry.section(u':', 0, 0);
        QString path = entry.section(u':', 1);
        if (kind == u"link"_s) {
            const QString target = path.section(u'>', 1);
            path = path.section(u'>', 0, 0);
            QDir(root).mkpath(QFileInfo(path).path());
            if (!QFile::link(target, root + u'/' + path))
                return false;
            continue;
        }
        if (kind == u"dir"_s) {
            QDir(root).mkpath(path);
            continue;
        }
        QDir(root).mkpath(QFileInfo(path).path());
        const QByteArray bytes = kind == u"doc"_s   ? documentWithHistory()
                                 : kind == u"bad"_s ? QByteArray("8BPS but not a document")
                                                    : QByteArray("notes\n");
        if (!writeAll(root + u'/' + path, bytes))
            return false;
        files[path] = bytes;
    }
    return true;
}

std::vector<QJsonObject> jsonLines(const QByteArray& out, QString& why)
{
    std::vector<QJsonObject> lines;
    for (const QByteArray& line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (!doc.isObject()) {
            why = u"not a JSON object: "_s + QString::fromUtf8(line);
            return {};
        }
        lines.push_back(doc.object());
    }
    return lines;
}

// True when the file at path is bytes with its history removed and nothing else changed.
bool slimmedFrom(const QString& path, const QByteArray& before, QString& why)
{
    const QByteArray after = readAll(path);
    why = differenceOutsideXmp(before, after);
    if (!why.isEmpty())
        return false;
    ResourceSplit split;
    if (!splitResources(after, split, why))
        return false;
    if (hasHistory(split.xmp)) {
        why = u"the history is still there"_s;
        return false;
    }
    return true;
}

// The names under root that a run of ours leaves only when it fails to clean up.
QStringList workFilesIn(const QString& root)
{
    QStringList found;
    QDir dir(root);
    for (const QFileInfo& info :
         dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (info.fileName().contains(u".psdslim_"_s))
            found << info.filePath();
        if (info.isDir() && !info.isSymLink())
            found << workFilesIn(info.filePath());
    }
    return found;
}

} // namespace

class TestSlimCommand : public QObject
{
    Q_OBJECT

private slots:
    void usage_data();
    void usage();
    void walkAndExitCodes_data();
    void walkAndExitCodes();
    void humanLines_data();
    void humanLines();
    void slimsCorpusCopies_data();
    void slimsCorpusCopies();
    void dryRunMatchesRun_data();
    void dryRunMatchesRun();
    void signalBetweenFiles_data();
    void signalBetweenFiles();
    void progressBarOnlyOnTerminal_data();
    void progressBarOnlyOnTerminal();
};

void TestSlimCommand::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    // Each runs in a folder holding the document -n.psd, which must stay as it is.
    // clang-format off
    const QString none;
    QTest::newRow("no path")              << QStringList{} << 64 << none << u"no file or folder given"_s;
    QTest::newRow("options, no path")     << QStringList{u"--deep"_s, u"-n"_s} << 64 << none
                                          << u"no file or folder given"_s;
    QTest::newRow("unknown long option")  << QStringList{u"--fast"_s, u"."_s} << 64 << none
                                          << u"unknown option '--fast'"_s;
    QTest::newRow("unknown short option") << QStringList{u"-nx"_s, u"."_s} << 64 << none << u"unknown option '-x'"_s;
    QTest::newRow("dash path, no --")     << QStringList{u"-n.psd"_s} << 64 << none << u"unknown option '-.'"_s;
    QTest::newRow("quiet and verbose")    << QStringList{u"-q"_s, u"-v"_s, u"."_s} << 64 << none
                                          << u"exclude each other"_s;
    QTest::newRow("help")                 << QStringList{u"--help"_s} << 0
                                          << u"Usage: leanfold-slim [options] PATH..."_s << none;
    QTest::newRow("version")              << QStringList{u"--version"_s} << 0
                                          << u"leanfold-slim " LEANFOLD_VERSION ""_s << none;
    // clang-format on
}

void TestSlimCommand::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QTemporaryDir dir;
    const QByteArray document = documentWithHistory();
    QVERIFY(writeAll(dir.filePath(u"-n.psd"_s), document));

    const SlimRun run = runSlim(dir.path(), arguments);
    QVERIFY(!run.crashed);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(QString::fromUtf8(run.out).contains(out), run.out.constData());
    QVERIFY2(QString::fromUtf8(run.err).contains(err), run.err.constData());
    if (exitCode == 64)
        QVERIFY2(run.err.contains("Try 'leanfold-slim --help'"), run.err.constData());
    QCOMPARE(readAll(dir.filePath(u"-n.psd"_s)), document);
}

void TestSlimCommand::walkAndExitCodes_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expected"); // "status:path" per JSON line, in order
    QTest::addColumn<int>("exitCode");
    // clang-format off
    QTest::newRow("suffix in any case")
        << QStringList{u"doc:t/a.PSD"_s, u"doc:t/b.Psb"_s, u"doc:t/c.psd"_s, u"doc:t/c.psd.txt"_s,
                       u"other:t/notes.txt"_s}
        << QStringList{u"t"_s}
        << QStringList{u"done:t/a.PSD"_s, u"done:t/b.Psb"_s, u"done:t/c.psd"_s} << 0;
    QTest::newRow("files before sub-folders, by name")
        << QStringList{u"doc:t/z.psd"_s, u"doc:t/a/b.psd"_s, u"doc:t/a/c/d.psd"_s, u"doc:t/b.psd"_s}
        << QStringList{u"t"_s}
        << QStringList{u"done:t/b.psd"_s, u"done:t/z.psd"_s, u"done:t/a/b.psd"_s, u"done:t/a/c/d.psd"_s} << 0;
    QTest::newRow("paths in the order given")
        << QStringList{u"doc:t/a.psd"_s, u"doc:u/b.psd"_s}
        << QStringList{u"u"_s, u"t"_s}
        << QStringList{u"done:u/b.psd"_s, u"done:t/a.psd"_s} << 0;
    QTest::newRow("links in a folder are not followed")
        << QStringList{u"doc:t/a.psd"_s, u"link:t/l.psd>a.psd"_s, u"link:t/ld>../u"_s, u"doc:u/x.psd"_s}
        << QStringList{u"t"_s}
        << QStringList{u"done:t/a.psd"_s} << 0;
    QTest::newRow("a link named directly fails alone")
        << QStringList{u"doc:t/a.psd"_s, u"link:t/l.psd>a.psd"_s}
        << QStringList{u"t/l.psd"_s, u"t/a.psd"_s}
        << QStringList{u"failed:t/l.psd"_s, u"done:t/a.psd"_s} << 4;
    QTest::newRow("our temporaries are passed over")
        << QStringList{u"doc:t/a.psd"_s, u"doc:t/.gone.psdslim_abcdefghij12.psd"_s,
                       u"doc:t/.Gone.psdslim_0123456789ab.psb"_s}
        << QStringList{u"t"_s}
        << QStringList{u"done:t/a.psd"_s} << 0;
    QTest::newRow("a temporary named directly fails")
        << QStringList{u"doc:t/.gone.psdslim_abcdefghij12.psd"_s}
        << QStringList{u"t/.gone.psdslim_abcdefghij12.psd"_s}
        << QStringList{u"failed:t/.gone.psdslim_abcdefghij12.psd"_s} << 4;
    QTest::newRow("a backup named directly fails")
        << QStringList{u"doc:t/gone.psd.psdslim_backup"_s}
        << QStringList{u"t/gone.psd.psdslim_backup"_s}
        << QStringList{u"failed:t/gone.psd.psdslim_backup"_s} << 4;
    QTest::newRow("a hidden document is no temporary")
        << QStringList{u"doc:t/.draft.psd"_s, u"doc:t/.x.psdslim_short.psd"_s}
        << QStringList{u"t"_s}
        << QStringList{u"done:t/.draft.psd"_s, u"done:t/.x.psdslim_short.psd"_s} << 0;
    QTest::newRow("a missing path fails alone")
        << QStringList{u"doc:t/a.psd"_s}
        << QStringList{u"missing.psd"_s, u"t"_s}
        << QStringList{u"failed:missing.psd"_s, u"done:t/a.psd"_s} << 4;
    QTest::newRow("a broken document fails alone")
        << QStringList{u"doc:t/a.psd"_s, u"bad:t/b.psd"_s, u"doc:t/c.psd"_s}
        << QStringList{u"t"_s}
        << QStringList{u"done:t/a.psd"_s, u"failed:t/b.psd"_s, u"done:t/c.psd"_s} << 4;
    QTest::newRow("a file reached twice is slimmed once")
        << QStringList{u"doc:t/a.psd"_s, u"doc:t/b.psd"_s}
        << QStringList{u"t/b.psd"_s, u"t"_s, u"./t/a.psd"_s, u"t/../t/b.psd"_s}
        << QStringList{u"done:t/b.psd"_s, u"done:t/a.psd"_s} << 0;
    QTest::newRow("a bare file name")
        << QStringList{u"doc:a.psd"_s}
        << QStringList{u"a.psd"_s}
        << QStringList{u"done:a.psd"_s} << 0;
    QTest::newRow("a file named directly, any suffix")
        << QStringList{u"doc:t/a.bin"_s}
        << QStringList{u"t/a.bin"_s}
        << QStringList{u"done:t/a.bin"_s} << 0;
    QTest::newRow("-- then a path starting with a dash")
        << QStringList{u"doc:-n.psd"_s}
        << QStringList{u"--json"_s, u"--"_s, u"-n.psd"_s}
        << QStringList{u"done:-n.psd"_s} << 0;
    QTest::newRow("nothing to do: no document")
        << QStringList{u"other:t/notes.txt"_s, u"doc:t/a.psd.txt"_s}
        << QStringList{u"t"_s}
        << QStringList{} << 2;
    QTest::newRow("nothing to do: empty folder")
        << QStringList{u"dir:t"_s}
        << QStringList{u"t"_s}
        << QStringList{} << 2;
    // clang-format on
}

void TestSlimCommand::walkAndExitCodes()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expected);
    QFETCH(int, exitCode);
    QTemporaryDir dir;
    std::map<QString, QByteArray> files;
    QVERIFY(makeTree(dir.path(), tree, files));

    const SlimRun run = runSlim(dir.path(), QStringList{u"--json"_s} + arguments);
    QVERIFY(!run.crashed);
    QCOMPARE(run.exitCode, exitCode);
    QString why;
    const std::vector<QJsonObject> lines = jsonLines(run.out, why);
    QVERIFY2(!lines.empty(), qPrintable(why + QString::fromUtf8(run.err)));

    // One line per path, in order, then a summary that adds them up.
    QStringList seen;
    qint64 done = 0, failed = 0, saved = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const QJsonObject& line = lines[i];
        const QString path = line[u"path"_s].toString();
        const QString status = line[u"status"_s].toString();
        seen << status + u':' + path;
        const qint64 before = line[u"bytesBefore"_s].toInteger(-1);
        const qint64 after = line[u"bytesAfter"_s].toInteger(-1);
        if (status == u"done"_s) {
            ++done;
            saved += before - after;
            QVERIFY(line[u"error"_s].isNull());
            QCOMPARE(before, qint64(files.at(path).size()));
            QCOMPARE(after, QFileInfo(dir.filePath(path)).size());
            QVERIFY(after < before);
            QVERIFY2(slimmedFrom(dir.filePath(path), files.at(path), why), qPrintable(path + u": "_s + why));
        } else {
            ++failed;
            QCOMPARE(status, u"failed"_s);
            QVERIFY2(!line[u"error"_s].toString().isEmpty(), qPrintable(path));
            QCOMPARE(after, before);
        }
        QVERIFY(line.contains(u"items"_s) && line.contains(u"embedded"_s));
    }
    QCOMPARE(seen, expected);
    const QJsonObject& summary = lines.back();
    QVERIFY(summary[u"summary"_s].toBool());
    QCOMPARE(summary[u"done"_s].toInteger(-1), done);
    QCOMPARE(summary[u"failed"_s].toInteger(-1), failed);
    QCOMPARE(summary[u"bytesSaved"_s].toInteger(-1), saved);
    QVERIFY(!summary[u"interrupted"_s].toBool());

    // Whatever was not done is as it was; nothing of ours is left behind.
    for (const auto& [path, bytes] : files)
        if (!seen.contains(u"done:"_s + path))
            QVERIFY2(readAll(dir.filePath(path)) == bytes, qPrintable(path));
    if (!tree.filter(u".psdslim_"_s).isEmpty())
        return; // the tree holds such names on purpose
    QCOMPARE(workFilesIn(dir.path()), QStringList());
}

void TestSlimCommand::humanLines_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("out"); // patterns, one per line, in order
    QTest::addColumn<QStringList>("err");
    const QString saved = uR"(saved [0-9.]+ (B|KiB) \(\d+ bytes; \d+ history items?, \d+ embedded objects?\))"_s;
    // clang-format off
    QTest::newRow("a line per file and a summary")
        << QStringList{u"doc:t/a.psd"_s, u"bad:t/b.psd"_s}
        << QStringList{u"t"_s}
        << QStringList{u"^t/a\\.psd: "_s + saved + u'$', u"^t/b\\.psd: failed: \\w+: .+$"_s,
                       u"^1 file done, 1 failed, .+ \\((\\d+) bytes\\) saved$"_s}
        << QStringList{};
    QTest::newRow("quiet: failures only, on standard error")
        << QStringList{u"doc:t/a.psd"_s, u"bad:t/b.psd"_s}
        << QStringList{u"--quiet"_s, u"t"_s}
        << QStringList{}
        << QStringList{u"^t/b\\.psd: failed: \\w+: .+$"_s};
    QTest::newRow("a line feed in a name stays on one line")
        << QStringList{u"doc:t/new\nline.psd"_s}
        << QStringList{u"t"_s}
        << QStringList{u"^t/new\\\\x0Aline\\.psd: "_s + saved + u'$',
                       u"^1 file done, 0 failed, .+ \\((\\d+) bytes\\) saved$"_s}
        << QStringList{};
    QTest::newRow("missing path")
        << QStringList{u"dir:t"_s}
        << QStringList{u"missing"_s, u"t"_s}
        << QStringList{u"^missing: failed: IoError: no such file or folder$"_s,
                       u"^0 files done, 1 failed, 0 B \\(0 bytes\\) saved$"_s}
        << QStringList{};
    QTest::newRow("nothing to do")
        << QStringList{u"dir:t"_s}
        << QStringList{u"t"_s}
        << QStringList{}
        << QStringList{u"^leanfold-slim: nothing to do: no PSD or PSB file found$"_s};
    // clang-format on
}

void TestSlimCommand::humanLines()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, out);
    QFETCH(QStringList, err);
    QTemporaryDir dir;
    std::map<QString, QByteArray> files;
    QVERIFY(makeTree(dir.path(), tree, files));

    const SlimRun run = runSlim(dir.path(), arguments);
    QVERIFY(!run.crashed);
    // Not a terminal: no progress bar, so standard error holds whole lines only.
    QVERIFY2(!run.err.contains('\r'), run.err.constData());
    for (const auto& [stream, patterns] : {std::pair{run.out, out}, std::pair{run.err, err}}) {
        const QStringList lines = QString::fromUtf8(stream).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), patterns.size());
        for (qsizetype i = 0; i < lines.size(); ++i)
            QVERIFY2(QRegularExpression(patterns[i]).match(lines[i]).hasMatch(), qPrintable(lines[i]));
    }
    // The summary's bytes are what the files lost.
    const QRegularExpressionMatch summary =
        QRegularExpression(u"\\((\\d+) bytes\\) saved$"_s).match(QString::fromUtf8(run.out).trimmed());
    if (summary.hasMatch()) {
        qint64 lost = 0;
        for (const auto& [path, bytes] : files)
            lost += bytes.size() - QFileInfo(dir.filePath(path)).size();
        QCOMPARE(summary.captured(1).toLongLong(), lost);
    }
}

void TestSlimCommand::slimsCorpusCopies_data()
{
    QTest::addColumn<QString>("file");
    if (corpusRoot().isEmpty()) {
        QTest::newRow("no corpus") << QString();
        return;
    }
    // Corpus files with history that an independent reader opens, up to a few MiB: eight PSD and four PSB.
    int psd = 0, psb = 0;
    for (const auto& row : corpusManifest()) {
        if (manifestValue(row, u"xmpMM_History"_s).toInt() == 0 || manifestValue(row, u"psd_tools_ok"_s).toInt() != 1 ||
            manifestValue(row, u"bytes"_s).toLongLong() > 4 * 1024 * 1024)
            continue;
        const bool isPsb = manifestValue(row, u"version"_s).toInt() == 2;
        int& count = isPsb ? psb : psd;
        if (count >= (isPsb ? 4 : 8))
            continue;
        ++count;
        const QString file = manifestValue(row, u"file"_s);
        QTest::newRow(qPrintable(file)) << file;
    }
}

void TestSlimCommand::slimsCorpusCopies()
{
    QFETCH(QString, file);
    if (file.isEmpty())
        QSKIP("LEANFOLD_CORPUS does not name the shared corpus; corpus runs skipped");
    QTemporaryDir dir;
    const QString copy = dir.filePath(u"in/"_s + QFileInfo(file).fileName());
    QVERIFY(QDir(dir.path()).mkpath(u"in"_s));
    QVERIFY(QFile::copy(corpusRoot() + u'/' + file, copy));
    QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner));
    const QByteArray before = readAll(copy);

    const SlimRun run = runSlim(dir.path(), {u"--json"_s, u"in"_s});
    QCOMPARE(run.exitCode, 0);
    QString why;
    const std::vector<QJsonObject> lines = jsonLines(run.out, why);
    QCOMPARE(lines.size(), std::size_t(2));
    const QJsonObject& line = lines.front();
    QCOMPARE(line[u"status"_s].toString(), u"done"_s);
    QCOMPARE(line[u"bytesBefore"_s].toInteger(), qint64(before.size()));
    QCOMPARE(line[u"bytesAfter"_s].toInteger(), QFileInfo(copy).size());
    QVERIFY(QFileInfo(copy).size() < before.size());
    QVERIFY2(slimmedFrom(copy, before, why), qPrintable(why));
    QCOMPARE(lines.back()[u"bytesSaved"_s].toInteger(), before.size() - QFileInfo(copy).size());
    QVERIFY(line[u"items"_s].toInteger() > 0);
}

void TestSlimCommand::dryRunMatchesRun_data()
{
    QTest::addColumn<bool>("deep");
    QTest::newRow("the corpus") << false;
    QTest::newRow("the corpus, deep") << true;
}

// A dry run over the whole corpus writes nothing, and says for every file what the real run then does: the same
// status, items, embedded objects and sizes (a file that fails, fails both times with the same error).
void TestSlimCommand::dryRunMatchesRun()
{
    QFETCH(bool, deep);
    if (corpusRoot().isEmpty())
        QSKIP("LEANFOLD_CORPUS does not name the shared corpus; the corpus dry run is skipped");
    QTemporaryDir dir;
    QStringList files;
    for (const auto& row : corpusManifest()) {
        const QString file = manifestValue(row, u"file"_s);
        const QString copy = dir.filePath(u"c/"_s + file);
        QVERIFY(QDir().mkpath(QFileInfo(copy).path()));
        QVERIFY(QFile::copy(corpusRoot() + u'/' + file, copy));
        QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner));
        files << u"c/"_s + file;
    }
    QVERIFY(files.size() > 100);
    QStringList options = deep ? QStringList{u"--deep"_s, u"--json"_s} : QStringList{u"--json"_s};
    const QByteArray firstBytes = readAll(dir.filePath(files.first()));
    const QDateTime firstTime = QFileInfo(dir.filePath(files.first())).lastModified();

    const SlimRun dry = runSlim(dir.path(), QStringList{u"--dry-run"_s} + options + QStringList{u"c"_s});
    QString why;
    const std::vector<QJsonObject> predicted = jsonLines(dry.out, why);
    QVERIFY2(!predicted.empty(), qPrintable(why));
    QCOMPARE(workFilesIn(dir.path()), QStringList());
    QCOMPARE(readAll(dir.filePath(files.first())), firstBytes);
    QCOMPARE(QFileInfo(dir.filePath(files.first())).lastModified(), firstTime);

    const SlimRun real = runSlim(dir.path(), options + QStringList{u"c"_s});
    const std::vector<QJsonObject> done = jsonLines(real.out, why);
    QCOMPARE(real.exitCode, dry.exitCode);
    QCOMPARE(done.size(), predicted.size());
    int changed = 0;
    for (std::size_t i = 0; i + 1 < done.size(); ++i) {
        const QString path = done[i][u"path"_s].toString();
        QCOMPARE(predicted[i][u"path"_s].toString(), path);
        for (const QString& key :
             {u"status"_s, u"items"_s, u"embedded"_s, u"bytesBefore"_s, u"bytesAfter"_s, u"error"_s})
            QVERIFY2(predicted[i][key] == done[i][key],
                     qPrintable(path + u": "_s + key + u" predicted "_s +
                                QString::fromUtf8(QJsonDocument(predicted[i]).toJson(QJsonDocument::Compact)) +
                                u", done "_s +
                                QString::fromUtf8(QJsonDocument(done[i]).toJson(QJsonDocument::Compact))));
        changed += done[i][u"bytesAfter"_s].toInteger() != done[i][u"bytesBefore"_s].toInteger() ? 1 : 0;
    }
    QVERIFY(changed > 50);
    QCOMPARE(predicted.back()[u"bytesSaved"_s].toInteger(), done.back()[u"bytesSaved"_s].toInteger());
    qInfo("%lld files, %d changed, %lld bytes saved: predicted by the dry run for each", qint64(done.size() - 1),
          changed, done.back()[u"bytesSaved"_s].toInteger());
}

void TestSlimCommand::signalBetweenFiles_data()
{
    QTest::addColumn<int>("signal"); // 0: the reader of standard output goes away instead
    QTest::newRow("SIGINT (Ctrl-C)") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP (terminal closed)") << int(SIGHUP);
    QTest::newRow("standard output closed") << 0;
}

void TestSlimCommand::signalBetweenFiles()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    // Small files share their commit, at most 64 to a group: the first group's lines say the run is under way,
    // and the signal falls among the groups after it.
    const int count = 200;
    const QByteArray document = documentWithHistory(64 * 1024);
    QVERIFY(QDir(dir.path()).mkpath(u"t"_s));
    const auto pathOf = [](int i) { return u"t/%1.psd"_s.arg(i, 3, 10, QLatin1Char('0')); };
    for (int i = 0; i < count; ++i)
        QVERIFY(writeAll(dir.filePath(pathOf(i)), document));

    QProcess p;
    p.setWorkingDirectory(dir.path());
    if (signal == 0) {
        // head takes the first line and exits, closing the pipe; the program's own status is the one looked at.
        p.start(u"bash"_s, {u"-c"_s, u"\"$0\" --json t | head -n 1 >/dev/null; exit ${PIPESTATUS[0]}"_s,
                            QStringLiteral(LEANFOLD_SLIM_EXE)});
    } else {
        p.start(QStringLiteral(LEANFOLD_SLIM_EXE), {u"--json"_s, u"t"_s});
        QVERIFY(p.waitForStarted());
        // The first file's line says the run is under way; the signal then falls between files or inside one.
        while (!p.canReadLine())
            QVERIFY(p.waitForReadyRead(60000));
        QCOMPARE(::kill(pid_t(p.processId()), signal), 0);
    }
    QVERIFY(p.waitForFinished(120000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 130);

    // Files in the order walked: the first ones slimmed, the rest untouched; nothing of ours is left.
    QString why;
    int slimmed = 0;
    while (slimmed < count && readAll(dir.filePath(pathOf(slimmed))) != document) {
        QVERIFY2(slimmedFrom(dir.filePath(pathOf(slimmed)), document, why), qPrintable(pathOf(slimmed) + why));
        ++slimmed;
    }
    QVERIFY(slimmed >= 1 && slimmed < count);
    for (int i = slimmed; i < count; ++i)
        QVERIFY2(readAll(dir.filePath(pathOf(i))) == document, qPrintable(pathOf(i)));
    QCOMPARE(workFilesIn(dir.path()), QStringList());
    if (signal == 0)
        return;

    // A line for each file done, then a summary that says the run was interrupted.
    const std::vector<QJsonObject> lines = jsonLines(p.readAllStandardOutput(), why);
    QVERIFY2(lines.size() >= 2, qPrintable(why));
    const QJsonObject& summary = lines.back();
    QVERIFY(summary[u"interrupted"_s].toBool());
    QCOMPARE(summary[u"done"_s].toInteger(-1), qint64(slimmed));
    QCOMPARE(qint64(lines.size() - 1), qint64(slimmed));
    for (int i = 0; i < slimmed; ++i)
        QCOMPARE(lines[std::size_t(i)][u"path"_s].toString(), pathOf(i));
}

void TestSlimCommand::progressBarOnlyOnTerminal_data()
{
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("bar");
    QTest::newRow("terminal") << true << QStringList{} << true;
    QTest::newRow("terminal, quiet") << true << QStringList{u"-q"_s} << false;
    QTest::newRow("pipe") << false << QStringList{} << false;
}

void TestSlimCommand::progressBarOnlyOnTerminal()
{
    QFETCH(bool, terminal);
    QFETCH(QStringList, options);
    QFETCH(bool, bar);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(u"t"_s));
    for (int i = 0; i < 3; ++i)
        QVERIFY(writeAll(dir.filePath(u"t/%1.psd"_s.arg(i)), documentWithHistory(256 * 1024)));
    QByteArray err;
    if (terminal) {
        // script(1) runs the command on a pseudo-terminal; its output is what that terminal showed.
        const QString script = QStandardPaths::findExecutable(u"script"_s);
        if (script.isEmpty())
            QSKIP("script (util-linux) is not installed");
        QStringList command{QStringLiteral(LEANFOLD_SLIM_EXE)};
        command << options << u"t"_s;
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(script, {u"-qec"_s, command.join(u' '), u"/dev/null"_s});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 0);
        err = p.readAllStandardOutput();
    } else {
        const SlimRun run = runSlim(dir.path(), options + QStringList{u"t"_s});
        QCOMPARE(run.exitCode, 0);
        err = run.err;
    }
    QCOMPARE(err.contains('\r') && err.contains(" left"), bar);
    if (bar) {
        // Redrawn in place, and wiped before each file's line so that no line starts inside the bar.
        QVERIFY2(err.contains("\r\033[K"), err.constData());
        QVERIFY2(QRegularExpression(u"\\d+% \\[#* *\\] .+/s "_s).match(QString::fromUtf8(err)).hasMatch(),
                 err.constData());
    }
}

QTEST_APPLESS_MAIN(TestSlimCommand)
#include "TestSlimCommand.moc"
