#pragma once

#include "worker/WorkerError.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace worker {

struct Job {
    std::vector<std::filesystem::path> files; // absolute and canonical, in job order
    bool deep = false;
};

// Reads `--job <path>` (or `--job=<path>`) from the arguments after the program name (UTF-8 on Windows). Any other argument, a
// missing path or a missing --job is a usage error.
bool parseCommandLine(const std::vector<std::string_view>& args, std::filesystem::path& jobPath);
std::string usageText();

// Parses the job text: a JSON object with an optional array of non-empty path strings `files` and an optional
// boolean `deep`. Relative paths are taken from the current folder. Other keys are ignored.
bool parseJob(std::string_view text, Job& job, WorkerError& err);

// Reads and parses the job file; a file that cannot be read or holds no valid job fails with a JobError.
bool loadJob(const std::filesystem::path& jobPath, Job& job, WorkerError& err);

} // namespace worker
