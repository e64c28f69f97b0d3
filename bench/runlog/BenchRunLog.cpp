// A worker that does not stop talking, against the page's run log: a layer export run whose worker writes
// <log lines> LOG lines and <stderr MB> of standard error before its DONE. Prints the host's peak memory, the
// longest stall of its event loop (the gap between ticks of a 5 ms timer) and what the log widget holds.
//
//   BenchRunLog [log lines] [stderr MB]            the host (default 100000 lines, 20 MB)
//   BenchRunLog --job <file> <log lines> <stderr MB> the worker: this same program, copied where the page looks
#include "app/StandaloneMain.h"
#include "page/IntegratedToolPage.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <string>

#include <sys/resource.h>

namespace {

int runWorker(long long logLines, long long stderrBytes)
{
    std::string batch;
    for (long long i = 0; i < logLines; ++i) {
        batch += "LOG\tflood line " + std::to_string(i) + "\n";
        if (batch.size() > 65536) {
            std::fwrite(batch.data(), 1, batch.size(), stdout);
            batch.clear();
        }
    }
    std::fwrite(batch.data(), 1, batch.size(), stdout);
    std::fflush(stdout);
    std::string chunk;
    for (long long written = 0; written < stderrBytes; written += static_cast<long long>(chunk.size())) {
        chunk.clear();
        for (long long n = written; chunk.size() < 65536; ++n)
            chunk += "detail " + std::to_string(n) + " of a worker that does not stop talking\n";
        chunk.resize(static_cast<std::size_t>(std::min<long long>(65536, stderrBytes - written)));
        std::fwrite(chunk.data(), 1, chunk.size(), stderr);
        std::fflush(stderr);
    }
    std::fputs("DONE\t{\"exported\":1,\"skipped\":0,\"failed\":0}\n", stdout);
    return 0;
}

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 4 && std::string(argv[1]) == "--job")
        return runWorker(std::atoll(argv[3]), std::atoll(argv[4]) * 1024 * 1024);

    QApplication app(argc, argv);
    setUpApplicationIdentity();
    const QString logLines = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("100000");
    const QString stderrMegabytes = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("20");

    // The page starts <program folder>/tools/integrated/StratafileWorker.exe with "--job <file>"; a wrapper
    // there runs this program as the worker with the sizes.
    const QString tools = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("tools/integrated"));
    const QString worker = QDir(tools).filePath(QStringLiteral("StratafileWorker.exe"));
    QFile script(worker);
    if (!QDir().mkpath(tools) || !script.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 1;
    script.write(QStringLiteral("#!/bin/sh\nexec '%1' \"$1\" \"$2\" %2 %3\n")
                     .arg(QCoreApplication::applicationFilePath(), logLines, stderrMegabytes)
                     .toUtf8());
    script.close();
    script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    QTemporaryDir scratch;
    QFile psd(scratch.filePath(QStringLiteral("a.psd")));
    if (!scratch.isValid() || !psd.open(QIODevice::WriteOnly))
        return 1;
    psd.close();

    IntegratedToolPage page(IntegratedTools::LayerExport, nullptr, true);
    page.addPaths({psd.fileName()}, false);
    page.show();
    QCoreApplication::processEvents();
    const long rssBefore = peakRssKiB();

    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestStall = 0;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longestStall = std::max(longestStall, now - lastTick);
        lastTick = now;
        if (!page.isRunning())
            QCoreApplication::quit();
    });
    clock.start();
    page.startRun();
    ticker.start();
    QCoreApplication::exec();

    const auto* log = page.findChild<QTextEdit*>(QStringLiteral("integratedToolLog"));
    std::printf("worker: %s LOG lines, %s MB standard error\n", qPrintable(logLines), qPrintable(stderrMegabytes));
    std::printf("run time           %8lld ms\n", static_cast<long long>(clock.elapsed()));
    std::printf("longest stall      %8lld ms\n", static_cast<long long>(longestStall));
    std::printf("peak RSS before    %8.1f MB\n", rssBefore / 1024.0);
    std::printf("peak RSS after run %8.1f MB\n", peakRssKiB() / 1024.0);
    std::printf("log widget         %8d lines, %lld characters\n", log->document()->blockCount(),
                static_cast<long long>(log->toPlainText().size()));
    QFile::remove(worker);
    return 0;
}
