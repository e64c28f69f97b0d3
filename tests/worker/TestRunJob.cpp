// runJob with the real slimmer on documents made at test time, its lines read from a string stream.
#include "WorkerFixtures.h"

#include "engine/FileOps.h"
#include "worker/JobRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace Qt::StringLiterals;

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace WorkerFixtures;

namespace {

struct JobOutput {
    int exitCode = -1;
    QStringList lines;
};

JobOutput run(const QStringList& files, bool deep = false)
{
    worker::Job job;
    for (const QString& f : files)
        job.files.emplace_back(f.toStdString());
    job.deep = deep;
    std::ostringstream out;
    JobOutput result;
    result.exitCode = worker::runJob(job, out);
    for (const QByteArray& line : QByteArray::fromStdString(out.str()).split('\n'))
        if (!line.isEmpty())
            result.lines << QString::fromUtf8(line);
    return result;
}

QStringList progressValues(const QStringList& lines)
{
    QStringList values;
    for (const QString& line : lines)
        if (line.startsWith(QStringLiteral("PROGRESS\t")))
            values << line.section(QLatin1Char('\t'), 1, 2);
    return values;
}

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class TestRunJob : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void noFiles_data();
    void noFiles();
    void secondFileFails_data();
    void secondFileFails();
    void fieldsWithTabAndLineFeed();
    void nameThatIsNotUtf8();
    void documentWithoutXmp();
    void permissionsKept_data();
    void permissionsKept();
    void leftovers_data();
    void leftovers();
    void cloneOnXfs_data();
    void cloneOnXfs();
    void batchLines_data();
    void batchLines();

private:
    QTemporaryDir m_dir;
    QByteArray m_psd;
    QByteArray m_psb;
    QByteArray m_largePsd; // a tail of many blocks to clone
    QByteArray m_largePsb;
};

void TestRunJob::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QString why;
    if (!toolsAvailable(why))
        QSKIP(qPrintable(why + QStringLiteral("; documents cannot be made, run tests skipped")));
    FixtureRecipe recipe;
    QVERIFY2(makeLayeredDocument(m_dir.filePath(QStringLiteral("seed.psd")), recipe, why), qPrintable(why));
    recipe.psb = true;
    recipe.depth = 16;
    QVERIFY2(makeLayeredDocument(m_dir.filePath(QStringLiteral("seed.psb")), recipe, why), qPrintable(why));
    m_psd = readAll(m_dir.filePath(QStringLiteral("seed.psd")));
    m_psb = readAll(m_dir.filePath(QStringLiteral("seed.psb")));
    recipe = FixtureRecipe{};
    recipe.width = 400;
    recipe.height = 300;
    recipe.historyEvents = 40;
    QVERIFY2(makeLayeredDocument(m_dir.filePath(QStringLiteral("large.psd")), recipe, why), qPrintable(why));
    m_largePsd = readAll(m_dir.filePath(QStringLiteral("large.psd")));
    recipe.psb = true;
    recipe.depth = 16;
    QVERIFY2(makeLayeredDocument(m_dir.filePath(QStringLiteral("large.psb")), recipe, why), qPrintable(why));
    m_largePsb = readAll(m_dir.filePath(QStringLiteral("large.psb")));
    ResourceSplit split;
    QVERIFY(splitResources(m_psd, split, why));
    QVERIFY2(hasHistory(split.xmp), "the fixture must carry history to remove");
}

void TestRunJob::noFiles_data()
{
    QTest::addColumn<QByteArray>("jobText");
    QTest::newRow("files missing") << QByteArray(R"({"deep":true})");
    QTest::newRow("files empty") << QByteArray(R"({"files":[]})");
}

void TestRunJob::noFiles()
{
    QFETCH(QByteArray, jobText);
    worker::Job job;
    worker::WorkerError err;
    QVERIFY(worker::parseJob(std::string_view(jobText.constData(), std::size_t(jobText.size())), job, err));
    std::ostringstream out;
    QCOMPARE(worker::runJob(job, out), worker::kExitNoFiles);
    QCOMPARE(QString::fromStdString(out.str()), QStringLiteral("ERROR\t没有可处理的 PSD/PSB 文件\n"));
}

void TestRunJob::secondFileFails_data()
{
    QTest::addColumn<QString>("badKind");
    QTest::addColumn<QString>("errorType");
    // clang-format off
    QTest::newRow("garbage bytes")        << u"garbage"_s   << u"FormatError"_s;
    QTest::newRow("cut in the resources") << u"truncated"_s << u"FormatError"_s;
    QTest::newRow("empty file")           << u"empty"_s     << u"FormatError"_s;
    QTest::newRow("file is missing")      << u"missing"_s   << u"IoError"_s;
    QTest::newRow("a folder")             << u"folder"_s    << u"IoError"_s;
    QTest::newRow("two XMP packets")      << u"two-xmp"_s   << u"FormatError"_s;
    // clang-format on
}

void TestRunJob::secondFileFails()
{
    QFETCH(QString, badKind);
    QFETCH(QString, errorType);
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("one.psd"));
    const QString bad = dir.filePath(QStringLiteral("two.psd"));
    const QString third = dir.filePath(QStringLiteral("three.psb"));
    QVERIFY(writeAll(first, m_psd));
    QVERIFY(writeAll(third, m_psb));
    QByteArray badBytes;
    if (badKind == QStringLiteral("garbage"))
        badBytes = QByteArray(4000, '\x5a');
    else if (badKind == QStringLiteral("truncated"))
        badBytes = m_psd.left(60);
    else if (badKind == QStringLiteral("two-xmp")) {
        // The XMP block twice: which one an editor reads is not defined, and the second keeps its history.
        ResourceSplit split;
        QString why;
        QVERIFY2(splitResources(m_psd, split, why), qPrintable(why));
        QByteArray section;
        for (const auto& [id, block] : split.blocks)
            section += id == 1060 ? block + block : block;
        const quint32 length = qToBigEndian(quint32(section.size()));
        badBytes = split.prefix + QByteArray(reinterpret_cast<const char*>(&length), 4) + section + split.suffix;
    }
    if (badKind == QStringLiteral("folder"))
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("two.psd")));
    else if (badKind != QStringLiteral("missing"))
        QVERIFY(writeAll(bad, badBytes));

    const JobOutput result = run({first, bad, third});
    QCOMPARE(result.exitCode, worker::kExitSomeFailed);
    // clang-format off
    const QStringList expected = {
        u"5\t300"_s, u"15\t300"_s, u"75\t300"_s, u"90\t300"_s, u"100\t300"_s,
        u"200\t300"_s,
        u"205\t300"_s, u"215\t300"_s, u"275\t300"_s, u"290\t300"_s, u"300\t300"_s};
    // clang-format on
    QStringList progress = progressValues(result.lines);
    // The failing file may get as far as reading or cleaning before it fails; only its last line is fixed.
    progress.removeIf([](const QString& v) { return v.startsWith(u"105\t"_s) || v.startsWith(u"115\t"_s); });
    QCOMPARE(progress, expected);
    QVERIFY(result.lines.contains(QStringLiteral("PROGRESS\t200\t300\t失败：two.psd")));
    const QString failLog = QStringLiteral("LOG\t处理失败：two.psd（%1: ").arg(errorType);
    QVERIFY2(std::any_of(result.lines.begin(), result.lines.end(),
                         [&](const QString& l) { return l.startsWith(failLog) && l.endsWith(QStringLiteral("）")); }),
             qPrintable(result.lines.join(QLatin1Char('\n'))));
    QCOMPARE(result.lines.last().left(5), QStringLiteral("DONE\t"));
    QVERIFY(result.lines.last().startsWith(QStringLiteral(R"(DONE	{"exported":2,"skipped":0,"failed":1,"bytesSaved":)")));
    QCOMPARE(result.lines.filter(QStringLiteral("DONE\t")).size(), 1);
    if (badKind != QStringLiteral("missing") && badKind != QStringLiteral("folder"))
        QCOMPARE(readAll(bad), badBytes); // a failing file is left exactly as it was
    // Nothing but the three names (and the folder) remains: no temporary, no backup.
    QStringList expectedEntries = {QStringLiteral("one.psd"), QStringLiteral("three.psb")};
    if (badKind != QStringLiteral("missing"))
        expectedEntries << QStringLiteral("two.psd");
    expectedEntries.sort();
    QCOMPARE(entries(dir.path()), expectedEntries);
}

void TestRunJob::fieldsWithTabAndLineFeed()
{
    QTemporaryDir dir;
    const QString tabbed = dir.filePath(QStringLiteral("tab\there.psd"));
    const QString fed = dir.filePath(QStringLiteral("line\nfeed.psd"));
    QVERIFY(writeAll(tabbed, m_psd));
    QVERIFY(writeAll(fed, m_psd));
    const JobOutput result = run({tabbed, fed});
    QCOMPARE(result.exitCode, worker::kExitOk);
    // Five progress lines and one log line per file, then DONE: a line feed in a name splits nothing.
    QCOMPARE(result.lines.size(), 13);
    QCOMPARE(result.lines[0], QStringLiteral("PROGRESS\t5\t200\t读取：tab\there.psd"));
    QCOMPARE(result.lines[6], QStringLiteral("PROGRESS\t105\t200\t读取：line feed.psd"));
    QVERIFY(!hasHistory(readAll(fed)));
}

void TestRunJob::nameThatIsNotUtf8()
{
    // Linux names are bytes: a Latin-1 name shows with a replacement character, and the lines stay UTF-8.
    QTemporaryDir dir;
    const std::filesystem::path path = std::filesystem::path(dir.path().toStdString()) / "caf\xE9.psd";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(m_psd.constData(), m_psd.size());
    }
    worker::Job job;
    job.files.push_back(path);
    std::ostringstream out;
    QCOMPARE(worker::runJob(job, out), worker::kExitOk);
    const QByteArray text = QByteArray::fromStdString(out.str());
    QVERIFY(text.contains("PROGRESS\t5\t100\t读取：caf\xEF\xBF\xBD.psd\n"));
    QVERIFY(QString::fromUtf8(text).toUtf8() == text); // decodes without loss: nothing but valid UTF-8
    ResourceSplit split;
    QString why;
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(path); // QTemporaryDir cannot name it to remove it
    QVERIFY(splitResources(QByteArray::fromStdString(bytes), split, why));
    QVERIFY(!hasHistory(split.xmp));
}

void TestRunJob::documentWithoutXmp()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("plain.psd"));
    QString why;
    QProcess convert;
    convert.start(QStringLiteral("convert"), {QStringLiteral("-size"), QStringLiteral("16x16"), QStringLiteral("xc:blue"),
                                              QStringLiteral("("), QStringLiteral("-size"), QStringLiteral("8x8"),
                                              QStringLiteral("xc:red"), QStringLiteral(")"), path});
    QVERIFY(convert.waitForFinished(60000) && convert.exitCode() == 0);
    ResourceSplit split;
    QVERIFY(splitResources(readAll(path), split, why));
    QVERIFY2(split.xmp.isEmpty(), "ImageMagick wrote an XMP packet; the case needs a document without one");
    const QByteArray before = readAll(path);
    const JobOutput result = run({path});
    QCOMPARE(result.exitCode, worker::kExitOk);
    QVERIFY(result.lines.contains(QStringLiteral("LOG\t已完成：plain.psd；清理元数据 0 项；嵌入对象 0 个；节省 0 字节")));
    QCOMPARE(readAll(path), before);
}

void TestRunJob::permissionsKept_data()
{
    QTest::addColumn<unsigned>("mode");
    QTest::newRow("0600") << 0600u;
    QTest::newRow("0644") << 0644u;
    QTest::newRow("0640") << 0640u;
    QTest::newRow("0444 read-only") << 0444u;
    QTest::newRow("0755") << 0755u;
}

void TestRunJob::permissionsKept()
{
    QFETCH(unsigned, mode);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.psd"));
    QVERIFY(writeAll(path, m_psd));
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
    const JobOutput result = run({path});
    QCOMPARE(result.exitCode, worker::kExitOk);
    QVERIFY(readAll(path) != m_psd);
    QCOMPARE(modeOf(path), mode);
}

void TestRunJob::leftovers_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("remaining"); // besides Poster.PSD
    QTest::addColumn<bool>("restoredLog");
    const QString tempName = QStringLiteral(".Poster.psdslim_0a1b2c3d4e5f.psd");
    // clang-format off
    QTest::newRow("backup without original") << u"backup-only"_s      << QStringList{}                                 << true;
    QTest::newRow("backup beside original")  << u"backup-beside"_s    << QStringList{}                                 << false;
    QTest::newRow("temporary of this file")  << u"temp"_s             << QStringList{}                                 << false;
    QTest::newRow("temporary of a .psb")     << u"temp-other"_s       << QStringList{u".Poster.psdslim_0a1b2c3d4e5f.psb"_s} << false;
    QTest::newRow("temporary is a link")     << u"temp-link"_s        << QStringList{tempName, u"target"_s}               << false;
    QTest::newRow("temporary held locked")   << u"temp-locked"_s      << QStringList{tempName}                         << false;
    QTest::newRow("temporary of someone else") << u"temp-foreign"_s   << QStringList{tempName}                         << false;
    QTest::newRow("backup is a folder")      << u"backup-folder"_s    << QStringList{u"Poster.PSD.psdslim_backup"_s}      << false;
    QTest::newRow("temporaries of two files, one job") << u"two-temps"_s << QStringList{u"Flyer.psd"_s}             << false;
    // clang-format on
}

void TestRunJob::leftovers()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, remaining);
    QFETCH(bool, restoredLog);
    QTemporaryDir dir;
    const QString original = dir.filePath(QStringLiteral("Poster.PSD"));
    const QString backup = dir.filePath(QStringLiteral("Poster.PSD.psdslim_backup"));
    const QString temp = dir.filePath(QStringLiteral(".Poster.psdslim_0a1b2c3d4e5f.psd"));
    const QByteArray half = m_psd.left(m_psd.size() / 2);
    int lockFd = -1;
    if (setup != QStringLiteral("backup-only"))
        QVERIFY(writeAll(original, m_psd));
    if (setup == QStringLiteral("backup-only") || setup == QStringLiteral("backup-beside"))
        QVERIFY(writeAll(backup, m_psd));
    if (setup == QStringLiteral("backup-folder"))
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Poster.PSD.psdslim_backup")));
    if (setup == QStringLiteral("temp") || setup == QStringLiteral("temp-locked") ||
        setup == QStringLiteral("temp-foreign") || setup == QStringLiteral("two-temps"))
        QVERIFY(writeAll(temp, half));
    // A second file of the job in the same folder, with a temporary of its own: the folder is listed once.
    QStringList jobFiles = {original};
    if (setup == QStringLiteral("two-temps")) {
        jobFiles << dir.filePath(QStringLiteral("Flyer.psd"));
        QVERIFY(writeAll(jobFiles.last(), m_psd));
        QVERIFY(writeAll(dir.filePath(QStringLiteral(".Flyer.psdslim_0a1b2c3d4e5f.psd")), half));
    }
    if (setup == QStringLiteral("temp-other"))
        QVERIFY(writeAll(dir.filePath(QStringLiteral(".Poster.psdslim_0a1b2c3d4e5f.psb")), half));
    if (setup == QStringLiteral("temp-link")) {
        QVERIFY(writeAll(dir.filePath(QStringLiteral("target")), half));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("target")), temp));
    }
    if (setup == QStringLiteral("temp-locked")) {
        lockFd = ::open(QFile::encodeName(temp).constData(), O_RDONLY);
        QVERIFY(lockFd >= 0 && ::flock(lockFd, LOCK_EX) == 0);
    }
    if (setup == QStringLiteral("temp-foreign")) {
        if (::geteuid() != 0)
            QSKIP("giving a file to another user needs root");
        QCOMPARE(::chown(QFile::encodeName(temp).constData(), 65534, 65534), 0);
    }

    const JobOutput result = run(jobFiles);
    if (lockFd >= 0)
        ::close(lockFd);
    QCOMPARE(result.exitCode, worker::kExitOk);
    QCOMPARE(result.lines.contains(QStringLiteral("LOG\t已从中断时留下的备份恢复：Poster.PSD")), restoredLog);
    QStringList expected = remaining;
    expected << QStringLiteral("Poster.PSD");
    expected.sort();
    QCOMPARE(entries(dir.path()), expected);
    ResourceSplit split;
    QString why;
    QVERIFY(splitResources(readAll(original), split, why));
    QVERIFY(!hasHistory(split.xmp));
    if (setup == QStringLiteral("temp-link"))
        QCOMPARE(readAll(dir.filePath(QStringLiteral("target"))), half);
}

void TestRunJob::cloneOnXfs_data()
{
    QTest::addColumn<bool>("reflink");
    QTest::addColumn<bool>("psb");
    QTest::newRow("xfs shares blocks") << true << false;
    QTest::newRow("xfs shares blocks, psb") << true << true;
    QTest::newRow("xfs without reflink: copied") << false << false;
}

void TestRunJob::cloneOnXfs()
{
    QFETCH(bool, reflink);
    QFETCH(bool, psb);
    const QByteArray seed = psb ? m_largePsb : m_largePsd;
    QTemporaryDir dir;
    LoopMount xfs(dir.path(), reflink ? LoopMount::Kind::XfsReflink : LoopMount::Kind::Xfs);
    if (!xfs.mounted())
        QSKIP(qPrintable(xfs.why + u"; the clone runs are skipped"_s));
    // What the present path makes of the same file, on the test's own file system.
    const QString plainPath = dir.filePath(u"plain.psd"_s);
    QVERIFY(writeAll(plainPath, seed));
    const QStringList before = entries(dir.path());
    const std::int64_t plainPredicted = predictedSaving(plainPath);
    // The analysis writes nothing: no temporary, the file as it was.
    QCOMPARE(entries(dir.path()), before);
    QCOMPARE(readAll(plainPath), seed);
    QCOMPARE(run({plainPath}).exitCode, worker::kExitOk);
    const qsizetype plainSize = readAll(plainPath).size();
    QCOMPARE(seed.size() - plainSize, plainPredicted);

    const QString path = xfs.mountPoint() + u"/p.psd"_s;
    QVERIFY(writeAll(path, seed));
    QFile keep(path); // held open, it keeps the original's blocks readable after the swap
    QVERIFY(keep.open(QIODevice::ReadOnly));
    // The fixtures are small; the rule that cloning must pay is lifted for them.
    worker::files::installTestHooks({nullptr, nullptr, true});
    // Predicted with the padding the clone path adds, where the file system shares blocks.
    const std::int64_t predicted = predictedSaving(path);
    QCOMPARE(entries(xfs.mountPoint()), QStringList{u"p.psd"_s});
    const JobOutput result = run({path});
    worker::files::installTestHooks({});
    QCOMPARE(result.exitCode, worker::kExitOk);
    const QByteArray after = readAll(path);
    QCOMPARE(seed.size() - after.size(), predicted);
    QCOMPARE(keep.readAll(), seed);
    QCOMPARE(differenceOutsideXmp(seed, after), QString());
    ResourceSplit split;
    QString why;
    QVERIFY(splitResources(after, split, why));
    QVERIFY(!hasHistory(split.xmp));
    QCOMPARE(sharesBlocks(path), reflink);
    if (reflink) {
        // Padded before the trailer so that the tail keeps its place within a 4 KiB block; less than a block lost.
        QCOMPARE((seed.size() - after.size()) % 4096, 0);
        QVERIFY(after.size() >= plainSize && after.size() < plainSize + 4096);
        QVERIFY(split.xmp.contains("    <?xpacket end"));
    } else {
        QCOMPARE(after.size(), plainSize);
    }
}

void TestRunJob::batchLines_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("slimmedBefore"); // every file was slimmed by an earlier run
    QTest::addColumn<bool>("sameFile");      // the job names one file count times
    // clang-format off
    QTest::newRow("70 small files")                     << 70 << false << false;
    QTest::newRow("3 files, already slimmed")           << 3  << true  << false;
    QTest::newRow("70 files, already slimmed")          << 70 << true  << false;
    QTest::newRow("one file twice")                     << 2  << false << true;
    // clang-format on
}

// A batch writes each file's lines exactly as a file alone writes them, one file after another in job order; a
// file with nothing left to remove is the same file afterwards, with the same times.
void TestRunJob::batchLines()
{
    QFETCH(int, count);
    QFETCH(bool, slimmedBefore);
    QFETCH(bool, sameFile);
    QTemporaryDir dir;
    QStringList files;
    for (int i = 0; i < count; ++i) {
        const QString file = dir.filePath(QStringLiteral("f%1.psd").arg(sameFile ? 0 : i, 2, 10, QLatin1Char('0')));
        if (!sameFile || i == 0)
            QVERIFY(writeAll(file, m_psd));
        files << file;
    }
    if (slimmedBefore)
        QCOMPARE(run(files).exitCode, worker::kExitOk);
    std::vector<struct stat> before;
    before.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        QCOMPARE(::stat(QFile::encodeName(files[i]).constData(), &before[std::size_t(i)]), 0);
    const qint64 sizeBefore = QFileInfo(files[0]).size();
    // The elements the slimmer removes, counted in the packet as it is.
    ResourceSplit split;
    QString why;
    QVERIFY2(splitResources(readAll(files[0]), split, why), qPrintable(why));
    const int removable = int(split.xmp.count("<xmpMM:History") + split.xmp.count("<photoshop:DocumentAncestors"));
    QCOMPARE(removable > 0, !slimmedBefore);

    const JobOutput result = run(files);
    QCOMPARE(result.exitCode, worker::kExitOk);
    const qint64 saved = slimmedBefore ? 0 : sizeBefore - QFileInfo(files[0]).size();
    QStringList expected;
    const QString total = QString::number(count * 100);
    qint64 savedAll = 0;
    int removedAll = 0;
    for (int i = 0; i < count; ++i) {
        const QString name = QFileInfo(files[i]).fileName();
        const bool first = !sameFile || i == 0; // the same file a second time has nothing left
        const int removed = first ? removable : 0;
        const qint64 fileSaved = first ? saved : 0;
        savedAll += fileSaved;
        removedAll += removed;
        expected << QStringLiteral("PROGRESS\t%1\t%2\t读取：%3").arg(i * 100 + 5).arg(total, name)
                 << QStringLiteral("PROGRESS\t%1\t%2\t清理文档元数据：%3").arg(i * 100 + 15).arg(total, name)
                 << QStringLiteral("PROGRESS\t%1\t%2\t写入优化文件：%3").arg(i * 100 + 75).arg(total, name)
                 << QStringLiteral("PROGRESS\t%1\t%2\t校验图层结构：%3").arg(i * 100 + 90).arg(total, name)
                 << QStringLiteral("LOG\t已完成：%1；清理元数据 %2 项；嵌入对象 0 个；节省 %3 字节")
                        .arg(name)
                        .arg(removed)
                        .arg(fileSaved)
                 << QStringLiteral("PROGRESS\t%1\t%2\t完成：%3").arg(i * 100 + 100).arg(total, name);
    }
    expected << QStringLiteral(R"(DONE	{"exported":%1,"skipped":0,"failed":0,"bytesSaved":%2,"modifications":%3})")
                    .arg(count)
                    .arg(savedAll)
                    .arg(removedAll);
    QCOMPARE(result.lines, expected);
    for (int i = 0; i < count; ++i) {
        QVERIFY(!hasHistory(readAll(files[i])));
        if (!slimmedBefore)
            continue;
        struct stat after
        {
        };
        QCOMPARE(::stat(QFile::encodeName(files[i]).constData(), &after), 0);
        const struct stat& was = before[std::size_t(i)];
        QCOMPARE(after.st_ino, was.st_ino);
        QCOMPARE(after.st_nlink, was.st_nlink);
        QCOMPARE(after.st_mtim.tv_sec, was.st_mtim.tv_sec);
        QCOMPARE(after.st_mtim.tv_nsec, was.st_mtim.tv_nsec);
        QCOMPARE(after.st_ctim.tv_nsec, was.st_ctim.tv_nsec);
    }
    QVERIFY(QDir(dir.path()).entryList({QStringLiteral("*psdslim*")}, QDir::Files | QDir::Hidden).isEmpty());
}

QTEST_APPLESS_MAIN(TestRunJob)
#include "TestRunJob.moc"
