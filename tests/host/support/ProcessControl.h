#pragma once

#include <QString>
#include <QtGlobal>

// What the host's tests do to other processes, one file per platform: signals on Unix, process handles on Windows.
namespace ProcessControl {

// No process has this id any more.
bool isGone(qint64 pid);

// Ends the process at once, as a crash or the task manager would.
bool kill(qint64 pid);

// Freezes every thread of the process / lets it run again.
bool pause(qint64 pid);
bool resume(qint64 pid);

// The program file a running process was started from; empty when it cannot be told.
QString executableOf(qint64 pid);

} // namespace ProcessControl
