#pragma once

#include "cli/Options.h"

#include <cstdio>

namespace cli {

constexpr int kExitInterrupted = 130; // 128 + SIGINT, as shells report it

// Runs the whole command with parsed options; returns the exit code.
int run(const Options& options, std::FILE* out, std::FILE* err, bool progressOnTerminal);

} // namespace cli
