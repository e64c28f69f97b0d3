#pragma once

#include "cli/Options.h"

#include <cstdio>

namespace cli {

// The exit codes the worker and the window use too, and the one shells report for Ctrl-C (128 + SIGINT).
constexpr int kExitOk = 0;
constexpr int kExitNothingToDo = 2;
constexpr int kExitSomeFailed = 4;
constexpr int kExitUsage = 64;
constexpr int kExitInterrupted = 130;

// Runs the whole command with parsed options; returns the exit code.
int run(const Options& options, std::FILE* out, std::FILE* err, bool progressOnTerminal);

} // namespace cli
