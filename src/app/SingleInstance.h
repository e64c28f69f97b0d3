#pragma once

#include "tools/IntegratedTools.h"

#include <QString>
#include <QStringList>

class StandaloneToolWindow;

// The start-up roads around the instance lock: a later launch hands its paths over; the first instance opens
// the endpoint and its inbox poll for its window, and gives both up again when it restarts itself.

// A later launch: forwards the paths through the endpoint, else writes them to the inbox. Logs the outcome and
// returns the exit code: 0 when handed over (an empty list needs no delivery), 66 when neither channel took them.
int handOverToRunningInstance(const QString& toolId, const QStringList& paths);

enum class EndpointOpening {
    Listening,  // the endpoint and the 100 ms inbox poll serve the window
    HandedOver, // a live owner of the endpoint answered and took the paths: this process has nothing to show
    Failed      // no endpoint could be opened (logged)
};

// The first instance (it holds the instance lock): listens on the tool's endpoint for window, unless a live
// instance answers there (then that one takes the paths and keeps its endpoint). A socket left by an instance
// that died is recognised because nobody answers on it; it is removed and listening tried once more.
// The server belongs to the application object, the inbox timer to the server.
EndpointOpening openInstanceEndpoint(StandaloneToolWindow& window, IntegratedTools::Tool tool,
                                     const QStringList& paths);

// Stops listening and polling: the socket file goes, and a later launch no longer reaches this process.
void closeInstanceEndpoint();

// What a confirmed language change does once the new language is stored: give up the endpoint and the instance
// lock, so that the new process comes up as the first instance, start program with arguments detached, quit.
// When the new process cannot be started, this one takes the lock and the endpoint back and carries on.
// The started process id goes to *startedPid when given.
void installLanguageRestart(StandaloneToolWindow& window, IntegratedTools::Tool tool, const QString& program,
                            const QStringList& arguments, qint64* startedPid = nullptr);
