#pragma once

namespace cli {

// Ctrl-C, SIGTERM and a closed terminal (SIGHUP) only set a flag: the run stops between files, so that no file
// is left half done, and prints what it did. A closed output pipe (SIGPIPE) no longer kills the program in the
// middle of a file either; the write fails instead.
void installInterruptHandlers();
bool interrupted();
// Stops the run as a signal does: for output nobody reads any more (a closed pipe), no file is worth starting.
void requestStop();

} // namespace cli
