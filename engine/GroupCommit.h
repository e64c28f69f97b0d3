#pragma once

#include "engine/FileOps.h"
#include "engine/FileProcessor.h"

#include "psd/Source.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace worker {

// A file whose new version is written and checked, waiting to be flushed and put in the original's place.
struct PreparedFile
{
    std::filesystem::path file;
    std::string name; // as the output lines show it
    FileReporter* reporter = nullptr;
    FileDone done;
    files::TempFile temp;
    psd::SourcePtr source;           // the original as read, held open: the replacement checks the name leads to it
    const psd::File* read = nullptr; // its file, inside source
    files::FileInfo info;            // the original when it was read
    std::vector<std::string> notCopied;
    std::uint64_t bytes = 0; // the size of the new version
    FileResult result;
    std::int64_t removed = 0;
    std::int64_t embeddedChanged = 0;
};

// Writes a done file's last two lines and tells the runner.
void reportDone(PreparedFile& prepared);

// Commits prepared files together: their temporaries are flushed first, then each original is replaced in job
// order (with the same checks as a file committed alone), then each folder is flushed once, after all its
// renames; only then is a file reported done. A file that fails fails alone: its temporary goes, the rest go on.
// Flushes that follow each other on one file system are merged by its journal, so a group of small files costs
// little more than one of them.
class GroupCommit
{
public:
    // Bounds of a group: the lines of its files wait for its commit (the progress bar must not stall), and its
    // files stay open.
    static constexpr std::size_t kMaxFiles = 64;
    static constexpr std::uint64_t kMaxBytes = 64ull << 20;
    static constexpr std::chrono::milliseconds kMaxWait{300};
    // A larger file gains nothing from sharing a flush: it is committed on its own.
    static constexpr std::uint64_t kMaxFileBytes = 16ull << 20;

    ~GroupCommit() { commit(); }

    // Whether prepared can join the group, or has to be committed on its own.
    static bool groupable(const PreparedFile& prepared) { return prepared.bytes <= kMaxFileBytes; }
    // Takes prepared into the group, and commits the group once it reaches a bound.
    void add(std::unique_ptr<PreparedFile> prepared);
    // Commits the group once it has waited kMaxWait.
    void commitIfDue();
    // True when file waits in the group: it must be committed before that file is read again.
    bool holds(const std::filesystem::path& file) const;
    bool empty() const { return m_files.empty(); }
    void commit();

private:
    std::vector<std::unique_ptr<PreparedFile>> m_files;
    std::uint64_t m_bytes = 0;
    std::chrono::steady_clock::time_point m_started;
};

// Commits files as one group, in their order; see GroupCommit.
void commitFiles(std::vector<std::unique_ptr<PreparedFile>>& prepared);

} // namespace worker
