#pragma once

#include "engine/WorkerError.h"

#include <cstddef>

// A request to stop the run, from whoever started the worker. The host writes the line "STOP" to the worker's
// standard input: a console program has no window to receive a close message, and a named event would need a name
// another process could take first. The system's own requests count too (SIGTERM, SIGINT and SIGHUP on POSIX, a
// console control event on Windows). The run then abandons its current file as a failure would, starts no other,
// and ends with kExitStopped and no DONE line.
namespace worker {

// What a shell reports for a program interrupted by Ctrl-C (128 + SIGINT); no other exit of the worker uses it.
constexpr int kExitStopped = 130;

// Starts the thread that reads standard input, and the system handlers. Once, at the start of the program. The end
// of standard input is no request: a worker started with </dev/null runs to its end.
void listenForStopRequests();
bool stopRequested();
void requestStop();

// Fails err with a plain message when a stop was requested: the caller abandons its file.
constexpr const char* kStoppedErrorType = "Stopped";
inline bool stopped(WorkerError& err)
{
    return stopRequested() && !fail(err, kStoppedErrorType, "the run was asked to stop");
}

// Waits until standard input has ended or a stop was requested (the test hooks' pause points).
void waitForInputEndOrStop();

namespace stop_platform {
// Installs the handlers of the system's stop requests; each calls requestStop.
void installSystemHandlers();
// Reads what standard input has, up to size bytes; false at its end or on an error.
bool readInput(char* buffer, std::size_t size, std::size_t& got);
} // namespace stop_platform

} // namespace worker
