// The instance endpoint under hostile messages, measured on the receiving side: the longest stall of its event
// loop (a 1 ms heartbeat) and its peak memory. The sender is this program again, in a process of its own.
//   stall [connections]  connections that announce a 16 MiB message, send all but its last byte and stall
//   repeat [entries]     one message naming the same folder (20 PSD files) over and over, queued on the tool page
#include "app/InstanceEndpoint.h"
#include "app/StandaloneMain.h"
#include "page/IntegratedToolPage.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int runStallingSender(const QString& server, int connections)
{
    const qint64 announced = InstanceEndpoint::kMaxPayloadBytes;
    QByteArray message(4, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(announced), message.data());
    message.append(QByteArray(announced - 1, 'a'));
    std::vector<std::unique_ptr<QLocalSocket>> sockets;
    int sent = 0;
    for (int i = 0; i < connections; ++i) {
        auto socket = std::make_unique<QLocalSocket>();
        socket->connectToServer(server);
        if (!socket->waitForConnected(1000))
            continue;
        socket->write(message);
        while (socket->bytesToWrite() > 0 && socket->state() == QLocalSocket::ConnectedState)
            socket->waitForBytesWritten(1000);
        if (socket->bytesToWrite() == 0 && socket->state() == QLocalSocket::ConnectedState)
            ++sent;
        sockets.push_back(std::move(socket));
    }
    std::printf("sender: %d of %d connections took all but the last byte\n", sent, connections);
    std::fflush(stdout);
    QThread::sleep(12); // stall with every connection open
    return 0;
}

int runRepeatingSender(const QString& server, const QString& folder, int entries)
{
    const int fitting = int(InstanceEndpoint::kMaxPayloadBytes / (QFile::encodeName(folder).size() + 1));
    const int count = qMin(entries, fitting);
    std::printf("sender: %d entries of %s\n", count, qPrintable(folder));
    std::fflush(stdout);
    return InstanceEndpoint::forwardPaths(server, QStringList(count, folder)) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() >= 5 && args.at(1) == QLatin1String("send-stall"))
        return runStallingSender(args.at(2), args.at(4).toInt());
    if (args.size() >= 5 && args.at(1) == QLatin1String("send-repeat"))
        return runRepeatingSender(args.at(2), args.at(3), args.at(4).toInt());
    const QString mode = args.value(1, QStringLiteral("stall"));
    const bool stall = mode == QLatin1String("stall");
    const int amount = args.size() > 2 ? args.at(2).toInt() : (stall ? 40 : 800000);
    setUpApplicationIdentity();

    QTemporaryDir scratch(QDir(QDir::tempPath()).filePath(QStringLiteral("e")));
    if (!scratch.isValid())
        return 1;
    const QString folder = scratch.filePath(QStringLiteral("f"));
    QDir().mkpath(folder);
    for (int i = 0; i < 20; ++i) {
        QFile file(QDir(folder).filePath(QStringLiteral("%1.psd").arg(i)));
        if (!file.open(QIODevice::WriteOnly))
            return 1;
    }

    IntegratedToolPage page(IntegratedTools::PsdSlim, nullptr, true);
    int messages = 0;
    const InstanceEndpoint::PathSink sink = [&](const QStringList& paths) {
        ++messages;
        page.addPaths(paths, true);
    };
    QLocalServer server;
    const QString name = scratch.filePath(QStringLiteral("s"));
    if (!server.listen(name))
        return 1;
    QObject::connect(&server, &QLocalServer::newConnection, &server,
                     [&] { InstanceEndpoint::acceptPendingConnections(&server, sink); });

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

    const long before = peakKilobytes();
    QProcess sender;
    sender.setProcessChannelMode(QProcess::ForwardedChannels);
    sender.start(
        QCoreApplication::applicationFilePath(),
        {stall ? QStringLiteral("send-stall") : QStringLiteral("send-repeat"), name, folder, QString::number(amount)});
    clock.start();
    heartbeat.start(1);
    // The stalling sender holds its connections for 12 s; the repeating one ends once its message is taken.
    // Then the page may still be walking what it was sent: the figures include that walk.
    QTimer settled;
    QObject::connect(&settled, &QTimer::timeout, &app, [&] {
        if (!page.isScanning())
            QCoreApplication::quit();
    });
    QObject::connect(&sender, &QProcess::finished, &app, [&] { settled.start(200); });
    QTimer::singleShot(20000, &app, &QCoreApplication::quit);
    app.exec();
    sender.waitForFinished(5000);

    std::printf("%s: peak memory %.1f MiB (%.1f MiB before the sender started), longest event-loop stall %.1f ms, "
                "messages queued %d, rows %lld\n",
                qPrintable(mode), peakKilobytes() / 1024.0, before / 1024.0, longest / 1e6, messages,
                static_cast<long long>(page.queuedPaths().size()));
    return 0;
}
