#include "page/FolderScan.h"

#include "platform/Platform.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSet>
#include <QThread>

namespace {

// A batch goes to the window after this many files or this long, whichever comes first, so that rows appear while
// a large folder is still being walked and no single hand-over costs the window more than a few milliseconds.
constexpr qsizetype kBatchFiles = 2000;
constexpr qint64 kBatchMilliseconds = 100;

QString entryKey(const QString& absolutePath)
{
    return Platform::fileNameCase() == Qt::CaseSensitive ? absolutePath : absolutePath.toCaseFolded();
}

// Walks entries, handing each batch to hand; stops early, with a last batch, when cancelled says so.
void walk(const QStringList& entries, bool recursive, const QStringList& suffixes,
          const std::function<bool()>& cancelled, const FolderScan::Deliver& hand)
{
    ScanBatch batch;
    QElapsedTimer sinceDelivery;
    sinceDelivery.start();
    const auto consider = [&](const QFileInfo& info) {
        if (!info.isFile() || !suffixes.contains(info.suffix().toLower())) {
            ++batch.rejected;
            return;
        }
        batch.files.append({info.absoluteFilePath(), info.fileName(), info.absolutePath(), info.size()});
        if (batch.files.size() >= kBatchFiles || sinceDelivery.elapsed() >= kBatchMilliseconds) {
            hand(std::exchange(batch, ScanBatch{}));
            sinceDelivery.restart();
        }
    };

    // One message may name the same folder many times: each path is walked once.
    QSet<QString> seen;
    for (const QString& entry : entries) {
        if (cancelled())
            break;
        const QFileInfo info(entry);
        const QString absolute = info.absoluteFilePath();
        if (seen.contains(entryKey(absolute)))
            continue;
        seen.insert(entryKey(absolute));
        if (info.isFile()) {
            consider(info);
        } else if (info.isDir()) {
            QDirIterator it(absolute, QDir::Files | QDir::NoDotAndDotDot,
                            recursive ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
            while (it.hasNext() && !cancelled()) {
                it.next();
                consider(it.fileInfo());
            }
        }
    }
    batch.last = true;
    hand(std::move(batch));
}

} // namespace

FolderScan::FolderScan(QStringList entries, bool recursive, QStringList suffixes, Deliver deliver)
{
    thread.reset(QThread::create(
        [this, entries = std::move(entries), recursive, suffixes = std::move(suffixes), deliver = std::move(deliver)] {
            walk(
                entries, recursive, suffixes, [this] { return cancelled.load(); }, deliver);
        }));
    thread->start();
}

FolderScan::~FolderScan()
{
    cancelled = true;
    thread->wait();
}

ScanBatch FolderScan::expand(const QStringList& entries, bool recursive, const QStringList& suffixes)
{
    ScanBatch all;
    walk(
        entries, recursive, suffixes, [] { return false; },
        [&all](ScanBatch batch) {
            all.files.append(std::move(batch.files));
            all.rejected += batch.rejected;
        });
    all.last = true;
    return all;
}

bool FolderScan::onlyFiles(const QStringList& entries)
{
    for (const QString& entry : entries) {
        if (QFileInfo(entry).isDir())
            return false;
    }
    return true;
}
