#pragma once

#include "engine/WorkerError.h"

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace worker {

struct Job {
    std::vector<std::filesystem::path> files; // absolute and canonical, in job order
    // Entries of files that cannot be made absolute and canonical (kept as given), by index: each one fails
    // alone when its turn comes, the job goes on.
    std::map<std::size_t, WorkerError> unusable;
    bool deep = false;
};

// Reads `--job <path>` (or `--job=<path>`) from the arguments after the program name (UTF-8 on Windows). Any other argument, a
// missing path or a missing --job is a usage error.
bool parseCommandLine(const std::vector<std::string_view>& args, std::filesystem::path& jobPath);
std::string usageText();

// Parses the job text: a JSON object with an optional array of non-empty path strings `files` and an optional
// boolean `deep`. Relative paths are taken from the current folder. Other keys are ignored. A path that cannot be
// resolved (a folder that cannot be entered, a link loop, a name too long) does not refuse the job.
bool parseJob(std::string_view text, Job& job, WorkerError& err);

// Reads and parses the job file; a file that cannot be read or holds no valid job fails with a JobError.
bool loadJob(const std::filesystem::path& jobPath, Job& job, WorkerError& err);

} // namespace worker
