// Times the queue with a large folder: 10,000 empty .psd files in 100 subfolders, added the way a drop adds them
// (addPaths with the recursive flag), then the summary refresh, a second drop of the same folder (all
// duplicates), the Delete key on every row and clearing the list. Prints one line per step; a drop also prints
// how long it took until every row was there and the longest stall of the event loop meanwhile (a 1 ms
// heartbeat), the figure a user feels.
#include "app/StandaloneMain.h"
#include "page/IntegratedToolPage.h"
#include "page/ToolDropTree.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <sys/resource.h>

namespace {

void report(const char* step, qint64 nanoseconds, qsizetype rows)
{
    std::printf("%-44s %9.1f ms  rows=%lld\n", step, nanoseconds / 1e6, static_cast<long long>(rows));
}

// Adds paths as a drop does and runs the event loop until the page has queued them all.
void timedDrop(const char* step, IntegratedToolPage& page, const QStringList& paths)
{
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = qMax(longest, now - last);
        last = now;
    });
    clock.start();
    heartbeat.start(1);
    page.addPaths(paths, true);
    const qint64 returned = clock.nsecsElapsed();
    longest = qMax(longest, returned);
    last = returned;
    while (page.isScanning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
    const qint64 all = clock.nsecsElapsed();
    longest = qMax(longest, all - last);
    std::printf("%-44s %9.1f ms  rows=%lld  (call returned after %.1f ms, longest event-loop stall %.1f ms)\n", step,
                all / 1e6, static_cast<long long>(page.queuedPaths().size()), returned / 1e6, longest / 1e6);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    setUpApplicationIdentity();
    const int fileCount = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 10000;

    QTemporaryDir scratch;
    if (!scratch.isValid())
        return 1;
    for (int i = 0; i < fileCount; ++i) {
        const QString folder = scratch.filePath(QStringLiteral("batch-%1").arg(i % 100, 3, 10, QLatin1Char('0')));
        if (i < 100 && !QDir().mkpath(folder))
            return 1;
        QFile file(QDir(folder).filePath(QStringLiteral("Artwork %1.psd").arg(i, 5, 10, QLatin1Char('0'))));
        if (!file.open(QIODevice::WriteOnly))
            return 1;
    }

    IntegratedToolPage page(IntegratedTools::PsdSlim, nullptr, true);
    page.resize(1180, 760);
    page.show();
    QCoreApplication::processEvents();

    timedDrop("addPaths (drop of the folder) until all rows", page, {scratch.path()});

    QElapsedTimer timer;
    timer.start();
    page.updateSummary();
    report("updateSummary (stats every file)", timer.nsecsElapsed(), page.queuedPaths().size());

    timedDrop("addPaths again (all duplicates)", page, {scratch.path()});

    auto* tree = page.findChild<ToolDropTree*>(QStringLiteral("integratedToolDropList"));
    tree->selectAll();
    timer.restart();
    page.removeSelectedRowsQuietly();
    report("removeSelectedRowsQuietly (every row)", timer.nsecsElapsed(), page.queuedPaths().size());

    timedDrop("addPaths a third time", page, {scratch.path()});
    timer.restart();
    page.clearQueue();
    report("clearQueue", timer.nsecsElapsed(), page.queuedPaths().size());
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory %.1f MiB\n", usage.ru_maxrss / 1024.0);
    return 0;
}
