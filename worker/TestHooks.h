#pragma once

namespace worker::files {

// Installs the test hooks of LeanfoldWorkerTest.exe, steered by its environment:
//   LEANFOLD_WORKER_TEST_PAUSE "<step>" or "<step>#<n>": the first (n-th) time step is reached, the worker says
//                              so on standard error and waits until it is killed, its standard input ends or
//                              it is asked to stop
//   LEANFOLD_WORKER_TEST_FAIL  "<step>": step fails as if the system had refused it with EIO
//   LEANFOLD_WORKER_TEST_CLONE_ANY_SIZE (set): small files take the clone path too
//   LEANFOLD_WORKER_TEST_XMP_PARSE_ALL (set): the XMP clean parses removed elements instead of skipping their
//                              content (bench/packet.sh compares the two)
//   LEANFOLD_WORKER_TEST_UNTIMED_GROUPS (set): small files are grouped by the size bounds alone, not the clock, so
//                              that a traced run makes the same calls each time (the fault table)
// Only the test build links this; the shipped worker has no such hooks.
void installEnvironmentTestHooks();

} // namespace worker::files
