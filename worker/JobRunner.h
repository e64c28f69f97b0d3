#pragma once

#include "worker/Job.h"
#include "worker/WorkerError.h"

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string_view>

namespace worker {

constexpr int kExitOk = 0;
constexpr int kExitBadJob = 1;      // the job file cannot be read or is not a job
constexpr int kExitNoFiles = 2;
constexpr int kExitSomeFailed = 4;
constexpr int kExitUsage = 64;      // the command line is wrong (sysexits' EX_USAGE)

// What processing one file reports while it runs: progress in hundredths of that file, and log lines.
class FileReporter {
public:
    virtual ~FileReporter() = default;
    virtual void progress(int value, std::string_view text) = 0;
    virtual void log(std::string_view text) = 0;
};

struct FileResult {
    std::int64_t bytesSaved = 0;    // may be negative: a file that grew still counts as done
    std::int64_t modifications = 0; // removed XMP elements plus changed embedded objects
    std::int64_t items = 0;         // removed XMP elements, nested documents included
    std::int64_t embedded = 0;      // changed embedded objects, nested ones included
};

class FileProcessor {
public:
    virtual ~FileProcessor() = default;
    virtual bool process(const std::filesystem::path& file, bool deep, FileReporter& reporter, FileResult& result,
                         WorkerError& err) = 0;
};

// Runs the job with the real slimmer, writing the protocol lines to out; returns the exit code.
int runJob(const Job& job, std::ostream& out);
int runJob(const Job& job, std::ostream& out, FileProcessor& processor);

// The whole program: command line, job file, run. Diagnostics go to err (valid UTF-8).
int runWorker(const std::vector<std::string_view>& args, std::ostream& out, std::ostream& err);

} // namespace worker
