#pragma once

#include <QString>
#include <QtGlobal>

// The process-wide runtime log: every message that passes through Qt's message logging, from any thread,
// becomes one record appended to runtime.log in the log folder, and is then handed to the handler that was
// active before. Free functions over process-wide state; there are no instances.
namespace RuntimeLog {

// Chooses the log folder, installs the message handler and logs the session_begin record. Call once per
// process, after the application object exists and its version is set.
void initialize();

// The Qt message handler installed by initialize(). Not called directly.
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// Copies the embedded release history byte for byte into the log folder and logs where it went.
void recordReleaseHistory();

// The log folder joined with "runtime.log"; empty before initialize() and when no usable folder was found.
QString runtimeLogPath();

// The first usable of three candidates: the program's own "logs" folder, the per-user data folder's "logs",
// and a folder inside the current user's private directory. The first two are created when missing and taken
// when they report themselves writable; the last is only taken when it is (or can be made) a real folder of
// ours that nobody else may enter, never a symbolic link. Returns an empty string when none qualifies.
QString chooseLogFolder(const QString& programLogs, const QString& userDataLogs, const QString& privateLogs);

// What initialize() does after choosing the folder, minus the session_begin record: sets the runtime log path
// and the session id and installs the handler. A second call does nothing. Lets a test put the log where it
// wants it.
void installAt(const QString& logFolder);

} // namespace RuntimeLog
