#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "worker/JobRunner.h"

#include <cstdint>
#include <vector>

// Fixtures and independent checks shared by the worker tests. Nothing here uses the worker's or the psd
// library's code: the checks must not share their faults.
class QProcess;

namespace WorkerFixtures {

class NullReporter final : public worker::FileReporter
{
public:
    void progress(int, std::string_view) override {}
    void log(std::string_view) override {}
};

// What slimming path would save by the engine's analysis, which writes nothing; -1 where it fails.
std::int64_t predictedSaving(const QString& path, bool deep = false);

struct FixtureRecipe
{
    bool psb = false;
    int depth = 8;
    int historyEvents = 2; // xmpMM:History items added by exiftool
    bool ancestors = true; // add a photoshop:DocumentAncestors item
    int width = 48;
    int height = 32;
};

// Writes a small layered document with ImageMagick and gives it XMP history with exiftool. False (and why) when
// either tool is missing or fails.
bool makeLayeredDocument(const QString& path, const FixtureRecipe& recipe, QString& why);
bool toolsAvailable(QString& why);

QByteArray readAll(const QString& path);
bool writeAll(const QString& path, const QByteArray& bytes);

// A document cut at its image-resource section: the bytes before the section's length field, each resource
// block as stored, and the bytes after the section. Read with a walker of its own, independent of psd/.
struct ResourceSplit
{
    QByteArray prefix;
    std::vector<std::pair<int, QByteArray>> blocks; // resource id, whole block
    QByteArray suffix;
    QByteArray xmp; // data of resource 1060, empty when absent
};
bool splitResources(const QByteArray& file, ResourceSplit& out, QString& why);

// Empty when after equals before everywhere except the XMP resource block; otherwise what differs.
QString differenceOutsideXmp(const QByteArray& before, const QByteArray& after);

bool hasHistory(const QByteArray& xmp);

// Of path itself (a link is not followed): the permission bits, the number of names, the owner.
unsigned modeOf(const QString& path);
unsigned linksOf(const QString& path);
unsigned ownerOf(const QString& path);

// The shared corpus folder, or empty when the environment does not name an existing one.
QString corpusRoot();
// Rows of the corpus manifest as column name -> value.
std::vector<std::vector<std::pair<QString, QString>>> corpusManifest();
QString manifestValue(const std::vector<std::pair<QString, QString>>& row, const QString& column);

// A file system of its own on a loop device, its image in folder, mounted at folder/mnt, unmounted and removed
// on destruction: XFS with or without block sharing (reflink), or ext4 whose image lives in a tmpfs that
// limitBacking() can make full, so that the disk runs out of room while the system writes back, as a thin-provisioned
// or failing disk does. Needs root and loop devices; mounted() is false (and why says what is missing) otherwise.
class LoopMount
{
public:
    enum class Kind { Xfs, XfsReflink, Ext4OnTmpfs };
    LoopMount(const QString& folder, Kind kind);
    ~LoopMount();
    LoopMount(const LoopMount&) = delete;
    LoopMount& operator=(const LoopMount&) = delete;
    bool mounted() const { return m_mounted; }
    QString mountPoint() const { return m_mountPoint; }
    // Ext4OnTmpfs: writes everything to the image, then leaves the tmpfs only spareBytes beyond what it holds.
    bool limitBacking(qint64 spareBytes);
    QString why;

private:
    QString m_backing; // the tmpfs holding the image, where there is one
    QString m_image;
    QString m_mountPoint;
    bool m_mounted = false;
    bool m_backingMounted = false;
};

// True when some extent of path shares its blocks with another file (FIEMAP's shared flag).
bool sharesBlocks(const QString& path);

// The path of the built worker (given by the build).
QString workerPath();
// The worker built with test hooks (LeanfoldWorkerTest.exe), or empty when the build has none.
QString testWorkerPath();

struct WorkerRun
{
    int exitCode = -1;
    bool crashed = false;
    QByteArray out;
    QByteArray err;
    QStringList lines() const;
};
// Waits up to timeoutMs for a started program (then kills it: crashed) and collects its outcome.
WorkerRun finishRun(QProcess& p, int timeoutMs);
// A non-zero addressSpaceLimit caps the worker's address space (RLIMIT_AS) at that many bytes.
WorkerRun runWorker(const QStringList& arguments, int timeoutMs = 120000, quint64 addressSpaceLimit = 0);
// Writes a job file listing files (and deep) and runs the worker on it.
WorkerRun runWorkerOnFiles(const QString& jobFolder, const QStringList& files, bool deep,
                           quint64 addressSpaceLimit = 0);
QByteArray jobText(const QStringList& files, bool deep);

} // namespace WorkerFixtures
