#pragma once

#include "engine/FileProcessor.h"
#include "worker/Job.h"

#include <ostream>
#include <string_view>
#include <vector>

namespace worker {

constexpr int kExitOk = 0;
constexpr int kExitBadJob = 1;      // the job file cannot be read or is not a job
constexpr int kExitNoFiles = 2;
constexpr int kExitSomeFailed = 4;
constexpr int kExitUsage = 64;      // the command line is wrong (sysexits' EX_USAGE)

// Runs the job with the real slimmer, writing the protocol lines to out; returns the exit code.
int runJob(const Job& job, std::ostream& out);
int runJob(const Job& job, std::ostream& out, FileProcessor& processor);

// The whole program: command line, job file, run. Diagnostics go to err (valid UTF-8).
int runWorker(const std::vector<std::string_view>& args, std::ostream& out, std::ostream& err);

} // namespace worker
