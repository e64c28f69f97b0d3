#pragma once

#include "engine/WorkerError.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

// The engine as its users see it: the worker's job runner and leanfold-slim hand it files one by one.
namespace worker {

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

// Told once per file how it ended.
using FileDone = std::function<void(bool ok, const FileResult& result, const WorkerError& err)>;

class FileProcessor {
public:
    virtual ~FileProcessor() = default;
    virtual bool process(const std::filesystem::path& file, bool deep, FileReporter& reporter, FileResult& result,
                         WorkerError& err) = 0;
    // Processes file and calls done with its outcome: at once, or, where a processor commits several files
    // together, from a later start() or from finishPending(). reporter stays valid until done is called.
    virtual void start(const std::filesystem::path& file, bool deep, FileReporter& reporter, FileDone done)
    {
        FileResult result;
        WorkerError err;
        const bool ok = process(file, deep, reporter, result, err);
        done(ok, result, err);
    }
    // Finishes every file still held back.
    virtual void finishPending() {}
};

} // namespace worker
