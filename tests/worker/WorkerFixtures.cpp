#include "WorkerFixtures.h"

#include "engine/Slimmer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <vector>

using namespace Qt::StringLiterals;

namespace WorkerFixtures {

std::int64_t predictedSaving(const QString& path, bool deep)
{
    worker::Slimmer analyser;
    NullReporter reporter;
    worker::FileResult result;
    worker::WorkerError err;
    if (!analyser.analyse(path.toStdString(), deep, reporter, result, err)) {
        qWarning("analysis failed: %s: %s", err.type.c_str(), err.message.c_str());
        return -1;
    }
    return result.bytesSaved;
}

namespace {

quint32 be32(const QByteArray& b, qsizetype at)
{
    return (quint32(quint8(b[at])) << 24) | (quint32(quint8(b[at + 1])) << 16) | (quint32(quint8(b[at + 2])) << 8) |
           quint32(quint8(b[at + 3]));
}

quint16 be16(const QByteArray& b, qsizetype at)
{
    return quint16((quint8(b[at]) << 8) | quint8(b[at + 1]));
}

bool runTool(const QString& program, const QStringList& args, QString& why)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        why = program + QStringLiteral(" failed: ") + QString::fromUtf8(p.readAllStandardError());
        return false;
    }
    return true;
}

} // namespace

LoopMount::LoopMount(const QString& folder, Kind kind) : m_mountPoint(folder + u"/mnt"_s)
{
    if (::geteuid() != 0 || !QFile::exists(u"/dev/loop-control"_s)) {
        why = u"mounting a loop device needs root and /dev/loop-control"_s;
        return;
    }
    const QString mkfs = kind == Kind::Ext4OnTmpfs ? u"mkfs.ext4"_s : u"mkfs.xfs"_s;
    if (QStandardPaths::findExecutable(mkfs).isEmpty()) {
        why = mkfs + u" is not installed (xfsprogs or e2fsprogs; bash scripts/deps.sh)"_s;
        return;
    }
    m_image = folder + u"/fs.img"_s;
    if (kind == Kind::Ext4OnTmpfs) {
        m_backing = folder + u"/backing"_s;
        if (!QDir().mkpath(m_backing) ||
            !runTool(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size=1g,mode=0700"_s, u"tmpfs"_s, m_backing}, why))
            return;
        m_backingMounted = true;
        m_image = m_backing + u"/fs.img"_s;
    }
    // Sparse: costing only the blocks written.
    QFile image(m_image);
    if (!image.open(QIODevice::WriteOnly) || !image.resize(320ll * 1024 * 1024)) {
        why = u"cannot make the image "_s + m_image;
        return;
    }
    image.close();
    const QStringList options =
        kind == Kind::Ext4OnTmpfs
            ? QStringList{u"-q"_s, u"-F"_s, u"-E"_s, u"lazy_itable_init=1,lazy_journal_init=0"_s}
            : QStringList{u"-q"_s, u"-m"_s, kind == Kind::XfsReflink ? u"reflink=1"_s : u"reflink=0"_s};
    if (!QDir().mkpath(m_mountPoint) || !runTool(mkfs, options + QStringList{m_image}, why) ||
        !runTool(u"mount"_s, {u"-o"_s, u"loop"_s, m_image, m_mountPoint}, why))
        return;
    m_mounted = true;
}

LoopMount::~LoopMount()
{
    QString ignored;
    if (m_mounted)
        runTool(u"umount"_s, {m_mountPoint}, ignored);
    QFile::remove(m_image);
    if (m_backingMounted)
        runTool(u"umount"_s, {m_backing}, ignored);
}

bool LoopMount::limitBacking(qint64 spareBytes)
{
    struct statvfs fs
    {
    };
    ::sync();
    if (!m_backingMounted || ::statvfs(QFile::encodeName(m_backing).constData(), &fs) != 0) {
        why = u"no tmpfs below the image"_s;
        return false;
    }
    const qint64 used = qint64(fs.f_blocks - fs.f_bfree) * qint64(fs.f_frsize);
    return runTool(u"mount"_s, {u"-o"_s, u"remount,size=%1"_s.arg(used + spareBytes), m_backing}, why);
}

bool sharesBlocks(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    constexpr unsigned kExtents = 64;
    std::vector<char> buffer(sizeof(fiemap) + kExtents * sizeof(fiemap_extent));
    auto* map = reinterpret_cast<fiemap*>(buffer.data());
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = kExtents;
    bool shared = false;
    if (::ioctl(fd, FS_IOC_FIEMAP, map) == 0)
        for (unsigned i = 0; i < map->fm_mapped_extents; ++i)
            shared = shared || (map->fm_extents[i].fe_flags & FIEMAP_EXTENT_SHARED) != 0;
    ::close(fd);
    return shared;
}

bool toolsAvailable(QString& why)
{
    for (const char* tool : {"convert", "exiftool"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            why = QStringLiteral("%1 is not installed").arg(QString::fromLatin1(tool));
            return false;
        }
    }
    return true;
}

bool makeLayeredDocument(const QString& path, const FixtureRecipe& recipe, QString& why)
{
    if (!toolsAvailable(why))
        return false;
    // The first image is the merged image, the others become layers.
    const QStringList convertArgs = {QStringLiteral("-size"),
                                     QStringLiteral("%1x%2").arg(recipe.width).arg(recipe.height),
                                     QStringLiteral("gradient:white-gray"),
                                     QStringLiteral("("),
                                     QStringLiteral("-size"),
                                     QStringLiteral("20x12"),
                                     QStringLiteral("xc:red"),
                                     QStringLiteral(")"),
                                     QStringLiteral("("),
                                     QStringLiteral("-size"),
                                     QStringLiteral("%1x%2").arg(recipe.width / 2).arg(recipe.height / 2),
                                     QStringLiteral("plasma:"),
                                     QStringLiteral(")"),
                                     QStringLiteral("-depth"),
                                     QString::number(recipe.depth),
                                     (recipe.psb ? QStringLiteral("PSB:") : QStringLiteral("PSD:")) + path};
    if (!runTool(QStringLiteral("convert"), convertArgs, why))
        return false;
    QStringList exif = {QStringLiteral("-q"), QStringLiteral("-m"), QStringLiteral("-overwrite_original"),
                        QStringLiteral("-XMP-dc:Title=kept title")};
    for (int i = 0; i < recipe.historyEvents; ++i) {
        exif << QStringLiteral("-XMP-xmpMM:HistoryAction+=saved")
             << QStringLiteral("-XMP-xmpMM:HistoryWhen+=2020:01:%1").arg(i % 28 + 1, 2, 10, QLatin1Char('0'));
    }
    if (recipe.ancestors)
        exif << QStringLiteral("-XMP-photoshop:DocumentAncestors+=xmp.did:0123456789");
    exif << path;
    return runTool(QStringLiteral("exiftool"), exif, why);
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.flush();
}

bool splitResources(const QByteArray& file, ResourceSplit& out, QString& why)
{
    out = ResourceSplit{};
    if (file.size() < 34 || !file.startsWith("8BPS")) {
        why = QStringLiteral("not a PSD/PSB file");
        return false;
    }
    const qsizetype colorLength = be32(file, 26);
    const qsizetype sectionField = 30 + colorLength;
    if (colorLength > file.size() - 34) {
        why = QStringLiteral("colour mode data runs past the end");
        return false;
    }
    const qsizetype sectionLength = be32(file, sectionField);
    const qsizetype begin = sectionField + 4;
    if (sectionLength > file.size() - begin) {
        why = QStringLiteral("resource section runs past the end");
        return false;
    }
    const qsizetype end = begin + sectionLength;
    out.prefix = file.left(sectionField);
    out.suffix = file.mid(end);
    qsizetype at = begin;
    while (at < end) {
        if (end - at < 12) {
            why = QStringLiteral("resource block header cut short at %1").arg(at);
            return false;
        }
        const int id = be16(file, at + 4);
        qsizetype nameBytes = 1 + quint8(file[at + 6]);
        nameBytes += nameBytes % 2;
        const qsizetype sizeAt = at + 6 + nameBytes;
        if (sizeAt + 4 > end) {
            why = QStringLiteral("resource name runs past the section at %1").arg(at);
            return false;
        }
        const qsizetype size = be32(file, sizeAt);
        const qsizetype dataAt = sizeAt + 4;
        if (size > end - dataAt) {
            why = QStringLiteral("resource data runs past the section at %1").arg(at);
            return false;
        }
        const qsizetype next = std::min(end, dataAt + size + (size % 2));
        out.blocks.emplace_back(id, file.mid(at, next - at));
        if (id == 1060 && out.xmp.isEmpty())
            out.xmp = file.mid(dataAt, size);
        at = next;
    }
    return true;
}

QString differenceOutsideXmp(const QByteArray& before, const QByteArray& after)
{
    ResourceSplit a, b;
    QString why;
    if (!splitResources(before, a, why))
        return QStringLiteral("input: ") + why;
    if (!splitResources(after, b, why))
        return QStringLiteral("output: ") + why;
    if (a.prefix != b.prefix)
        return QStringLiteral("the bytes before the resource section differ");
    if (a.suffix != b.suffix)
        return QStringLiteral("the bytes after the resource section differ");
    std::vector<QByteArray> restA, restB;
    for (const auto& [id, bytes] : a.blocks)
        if (id != 1060)
            restA.push_back(bytes);
    for (const auto& [id, bytes] : b.blocks)
        if (id != 1060)
            restB.push_back(bytes);
    if (restA != restB)
        return QStringLiteral("resource blocks other than the XMP packet differ");
    return {};
}

bool hasHistory(const QByteArray& xmp)
{
    return xmp.contains("xmpMM:History") || xmp.contains("photoshop:DocumentAncestors") || xmp.contains("<History") ||
           xmp.contains("DocumentAncestors>");
}

QString corpusRoot()
{
    const QString root = qEnvironmentVariable("LEANFOLD_CORPUS");
    if (root.isEmpty() || !QFileInfo(root + QStringLiteral("/MANIFEST.tsv")).isFile())
        return {};
    return root;
}

std::vector<std::vector<std::pair<QString, QString>>> corpusManifest()
{
    std::vector<std::vector<std::pair<QString, QString>>> rows;
    const QString root = corpusRoot();
    if (root.isEmpty())
        return rows;
    const QList<QByteArray> lines = readAll(root + QStringLiteral("/MANIFEST.tsv")).split('\n');
    if (lines.isEmpty())
        return rows;
    const QList<QByteArray> header = lines.first().split('\t');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines[i].trimmed().isEmpty())
            continue;
        const QList<QByteArray> cells = lines[i].split('\t');
        std::vector<std::pair<QString, QString>> row;
        for (qsizetype c = 0; c < header.size(); ++c)
            row.emplace_back(QString::fromUtf8(header[c]), c < cells.size() ? QString::fromUtf8(cells[c]) : QString());
        rows.push_back(std::move(row));
    }
    return rows;
}

QString manifestValue(const std::vector<std::pair<QString, QString>>& row, const QString& column)
{
    for (const auto& [name, value] : row)
        if (name == column)
            return value;
    return {};
}

QString workerPath()
{
    return QStringLiteral(LEANFOLD_WORKER_EXE);
}

QString testWorkerPath()
{
    return QStringLiteral(LEANFOLD_WORKER_TEST_EXE);
}

QStringList WorkerRun::lines() const
{
    QStringList result;
    for (const QByteArray& line : out.split('\n'))
        if (!line.isEmpty())
            result << QString::fromUtf8(line);
    return result;
}

WorkerRun runWorker(const QStringList& arguments, int timeoutMs, quint64 addressSpaceLimit)
{
    QProcess p;
    if (addressSpaceLimit > 0) {
        p.setChildProcessModifier([addressSpaceLimit] {
            const rlimit limit{rlim_t(addressSpaceLimit), rlim_t(addressSpaceLimit)};
            if (::setrlimit(RLIMIT_AS, &limit) != 0)
                ::_exit(121);
        });
    }
    p.start(workerPath(), arguments);
    return finishRun(p, timeoutMs);
}

WorkerRun finishRun(QProcess& p, int timeoutMs)
{
    WorkerRun run;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        run.crashed = true;
    }
    run.crashed = run.crashed || p.exitStatus() != QProcess::NormalExit;
    run.exitCode = p.exitCode();
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    return run;
}

QByteArray jobText(const QStringList& files, bool deep)
{
    QJsonObject job;
    job.insert(QStringLiteral("files"), QJsonArray::fromStringList(files));
    job.insert(QStringLiteral("deep"), deep);
    return QJsonDocument(job).toJson(QJsonDocument::Compact);
}

WorkerRun runWorkerOnFiles(const QString& jobFolder, const QStringList& files, bool deep, quint64 addressSpaceLimit)
{
    const QString jobPath = jobFolder + QStringLiteral("/job.json");
    if (!writeAll(jobPath, jobText(files, deep)))
        return {};
    return runWorker({QStringLiteral("--job"), jobPath}, 120000, addressSpaceLimit);
}

namespace {
struct stat statOf(const QString& path)
{
    struct stat st
    {
    };
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}
} // namespace

unsigned modeOf(const QString& path)
{
    return statOf(path).st_mode & 07777;
}

unsigned linksOf(const QString& path)
{
    return static_cast<unsigned>(statOf(path).st_nlink);
}

unsigned ownerOf(const QString& path)
{
    return statOf(path).st_uid;
}

} // namespace WorkerFixtures
