#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace cli {

// How one path of the run ended.
struct FileOutcome
{
    std::filesystem::path path;
    bool done = false;
    std::int64_t items = 0;    // XMP elements removed (or that would be)
    std::int64_t embedded = 0; // embedded objects changed (or that would be)
    std::int64_t bytesBefore = 0;
    std::int64_t bytesAfter = 0;
    std::string errorType; // empty when done
    std::string error;
    bool stopped = false; // abandoned for a stop request, left as it was: no line of its own
};

struct RunSummary
{
    std::int64_t done = 0;
    std::int64_t failed = 0;
    std::int64_t bytesSaved = 0;
    bool interrupted = false;
    bool dryRun = false;
};

// Writes the per-file lines and the summary: for people, or as JSON lines for scripts.
class Report
{
public:
    virtual ~Report() = default;
    virtual void file(const FileOutcome& outcome) = 0;
    virtual void summary(const RunSummary& summary) = 0;
    // A step inside a file (--verbose only).
    virtual void step(const std::filesystem::path& path, const std::string& text) = 0;
};

// quiet: failures only, and no summary. verbose: the steps too (on err).
std::unique_ptr<Report> makeHumanReport(std::FILE* out, std::FILE* err, bool dryRun, bool quiet, bool verbose);
std::unique_ptr<Report> makeJsonReport(std::FILE* out, std::FILE* err, bool dryRun, bool verbose);

// A path as one line of text: valid UTF-8, control characters (a line feed in a file name) written as \xNN.
std::string displayPath(const std::filesystem::path& path);

} // namespace cli
