#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class QThread;

// One file an addPaths call may queue, described while it was found.
struct ScannedFile
{
    QString path; // absolute and clean
    QString name;
    QString folder;
    qint64 size = 0;
};

// What a scan found since its last delivery. `last` marks the end of the scan (finished or cancelled).
struct ScanBatch
{
    QList<ScannedFile> files;
    int rejected = 0;
    bool last = false;
};

// Expands the entries of one addPaths call (files and folders) into the files of the accepted suffixes, in input
// order and then in the order of each folder listing, counting the files of other types as rejected. Entries that
// name the same path are walked once. `expand` runs in the calling thread; a FolderScan runs it on a thread of its
// own and hands batches to `deliver` from that thread, so that a large folder never holds up the window.
class FolderScan
{
public:
    using Deliver = std::function<void(ScanBatch)>;

    FolderScan(QStringList entries, bool recursive, QStringList suffixes, Deliver deliver);
    // Cancels the walk and waits for its thread: deliver is not called once the destructor returns.
    ~FolderScan();
    FolderScan(const FolderScan&) = delete;
    FolderScan& operator=(const FolderScan&) = delete;

    static ScanBatch expand(const QStringList& entries, bool recursive, const QStringList& suffixes);
    // True when every entry names a file (or nothing): expanding them costs one look at each, no walk.
    static bool onlyFiles(const QStringList& entries);

private:
    std::atomic_bool cancelled{false};
    std::unique_ptr<QThread> thread;
};
