// Times the queue with a large folder: 10,000 empty .psd files in 100 subfolders, added the way a drop adds them
// (addPaths with the recursive flag), then the summary refresh, a second drop of the same folder (all
// duplicates), the Delete key on every row and clearing the list. Prints one line per step.
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
#include <QTreeWidget>

#include <cstdio>

namespace {

void report(const char* step, qint64 nanoseconds, qsizetype rows)
{
    std::printf("%-44s %9.1f ms  rows=%lld\n", step, nanoseconds / 1e6, static_cast<long long>(rows));
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

    QElapsedTimer timer;
    timer.start();
    page.addPaths({scratch.path()}, true);
    const qint64 added = timer.nsecsElapsed();
    QCoreApplication::processEvents();
    const qint64 shown = timer.nsecsElapsed();
    report("addPaths (drop of the folder)", added, page.queuedPaths().size());
    report("addPaths + first repaint", shown, page.queuedPaths().size());

    timer.restart();
    page.updateSummary();
    report("updateSummary (stats every file)", timer.nsecsElapsed(), page.queuedPaths().size());

    timer.restart();
    page.addPaths({scratch.path()}, true);
    report("addPaths again (all duplicates)", timer.nsecsElapsed(), page.queuedPaths().size());

    auto* tree = page.findChild<ToolDropTree*>(QStringLiteral("integratedToolDropList"));
    tree->selectAll();
    timer.restart();
    page.removeSelectedRowsQuietly();
    report("removeSelectedRowsQuietly (every row)", timer.nsecsElapsed(), page.queuedPaths().size());

    page.addPaths({scratch.path()}, true);
    timer.restart();
    page.clearQueue();
    report("clearQueue", timer.nsecsElapsed(), page.queuedPaths().size());
    return 0;
}
