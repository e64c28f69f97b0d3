#pragma once

namespace cli {

// Ctrl-C, SIGTERM and a closed terminal (SIGHUP; a console event on Windows) set the engine's stop flag: the file
// in progress is abandoned at its next step, its temporary removed and its original left whole, no other file is
// started, and the run prints what it did. A second signal ends the program at once. A closed output pipe
// (SIGPIPE) no longer kills the program in the middle of a file either; the write fails instead.
void installInterruptHandlers();
bool interrupted();
// Stops the run as a signal does: for output nobody reads any more (a closed pipe), no file is worth starting.
void requestStop();

} // namespace cli
