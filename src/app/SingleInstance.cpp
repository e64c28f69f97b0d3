#include "app/SingleInstance.h"

#include "app/InstanceEndpoint.h"
#include "platform/Platform.h"
#include "window/StandaloneToolWindow.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLocalServer>
#include <QPointer>
#include <QProcess>
#include <QTimer>

namespace {

const QString kServerObjectName = QStringLiteral("lumoraInstanceEndpoint");

QLocalServer* endpointServer()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app ? app->findChild<QLocalServer*>(kServerObjectName, Qt::FindDirectChildrenOnly) : nullptr;
}

// Forwarded paths join the queue and the window comes to the front. The server outlives no window in the
// program, but a guard costs nothing where a test builds several windows in one process.
InstanceEndpoint::PathSink windowSink(StandaloneToolWindow& window)
{
    QPointer<StandaloneToolWindow> target(&window);
    return [target](const QStringList& paths) {
        if (!target)
            return;
        target->queuePaths(paths);
        if (target->isMinimized())
            target->showNormal();
        else
            target->show();
        target->raise();
        target->activateWindow();
    };
}

// The paths this launch can hand over. One whose name holds a line feed would arrive as other paths, so it is
// left out; the launch has no window, so the warning in the runtime log (and on standard error) is where the
// user learns which file was not added. The line feed is written as "\n" so the record stays one line.
QStringList sendableOrWarn(const QString& toolId, const QStringList& paths)
{
    QStringList leftOut;
    const QStringList sendable = InstanceEndpoint::sendablePaths(paths, &leftOut);
    for (QString path : std::as_const(leftOut)) {
        path.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\n'), QLatin1String("\\n"));
        qWarning().noquote() << "standalone path not forwarded" << toolId
                             << "reason= its name holds a line feed path=" << path;
    }
    return sendable;
}

} // namespace

int handOverToRunningInstance(const QString& toolId, const QStringList& selected)
{
    const QStringList paths = sendableOrWarn(toolId, selected);
    // Every file this launch was given was left out: nothing reached the window, which is not a hand-over.
    if (paths.isEmpty() && !selected.isEmpty()) {
        qWarning().noquote() << "unable to forward selected files to the running tool";
        return 66;
    }
    if (InstanceEndpoint::forwardPaths(InstanceEndpoint::toolServerName(toolId), paths)) {
        qInfo().noquote() << "standalone paths forwarded" << toolId << "count=" << paths.size();
        return 0;
    }
    if (InstanceEndpoint::writeInboxFile(InstanceEndpoint::toolInboxDirectory(toolId), paths)) {
        qInfo().noquote() << "standalone paths queued" << toolId << "count=" << paths.size();
        return 0;
    }
    qWarning().noquote() << "unable to forward selected files to the running tool";
    return 66;
}

EndpointOpening openInstanceEndpoint(StandaloneToolWindow& window, IntegratedTools::Tool tool, const QStringList& paths)
{
    const QString toolId = IntegratedTools::toolId(tool);
    const QString serverName = InstanceEndpoint::toolServerName(toolId);
    auto* server = new QLocalServer(QCoreApplication::instance());
    server->setObjectName(kServerObjectName);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // Asked before listening: Qt 6.4's listen() with UserAccessOption binds beside the name and renames over
    // it, so it would silently take the socket of a live instance, whose window would then never hear of
    // another launch. Holding the instance lock, this process meets a live owner only when the lock was not
    // shared (an instance that is ending, a lock file removed by a cleaner of runtime folders, an older build
    // that keyed its lock differently); that owner keeps the endpoint and takes the paths.
    if (InstanceEndpoint::endpointAnswers(serverName)) {
        const QStringList sendable = sendableOrWarn(toolId, paths);
        if (InstanceEndpoint::forwardPaths(serverName, sendable)) {
            qInfo().noquote() << "standalone paths forwarded" << toolId << "count=" << sendable.size();
            delete server;
            return EndpointOpening::HandedOver;
        }
        qWarning().noquote() << "unable to create the tool instance endpoint" << serverName
                             << "reason= another instance answers on it and did not take the files";
        delete server;
        return EndpointOpening::Failed;
    }
    if (!server->listen(serverName)) {
        // Nobody answers on the name, so whatever is there was left by an instance that died: it is cleared
        // whether or not there are paths, or every later start would find it in the way.
        QLocalServer::removeServer(serverName);
        if (!server->listen(serverName)) {
            qWarning().noquote() << "unable to create the tool instance endpoint" << serverName;
            delete server;
            return EndpointOpening::Failed;
        }
    }

    const InstanceEndpoint::PathSink sink = windowSink(window);
    QObject::connect(server, &QLocalServer::newConnection, server,
                     [server, sink] { InstanceEndpoint::acceptPendingConnections(server, sink); });
    const QString inbox = InstanceEndpoint::toolInboxDirectory(toolId);
    auto* inboxTimer = new QTimer(server);
    QObject::connect(inboxTimer, &QTimer::timeout, server,
                     [inbox, sink] { InstanceEndpoint::drainInbox(inbox, sink); });
    inboxTimer->start(100);
    return EndpointOpening::Listening;
}

void closeInstanceEndpoint()
{
    // Deleting the server closes it (its socket file goes) and takes the inbox timer with it.
    delete endpointServer();
}

void installLanguageRestart(StandaloneToolWindow& window, IntegratedTools::Tool tool, const QString& program,
                            const QStringList& arguments, qint64* startedPid)
{
    QPointer<StandaloneToolWindow> target(&window);
    window.setRestartHandler([target, tool, program, arguments, startedPid] {
        const QString toolId = IntegratedTools::toolId(tool);
        // Given up before the new process starts, so it finds neither a lock nor an endpoint and opens its own
        // window instead of handing its files back to this ending one.
        closeInstanceEndpoint();
        Platform::releaseInstanceLock();
        qint64 pid = 0;
        if (QProcess::startDetached(program, arguments, QString(), &pid)) {
            if (startedPid)
                *startedPid = pid;
            QCoreApplication::quit();
            return;
        }
        qWarning().noquote() << "unable to restart the tool" << toolId << "program=" << program;
        if (target && Platform::acquireInstanceLock(toolId) == Platform::InstanceLock::Acquired &&
            openInstanceEndpoint(*target, tool, {}) == EndpointOpening::Listening)
            return;
        QCoreApplication::quit();
    });
}
