#pragma once

#include "engine/WorkerError.h"

#include "psd/File.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Everything the worker does to files beside the document: the temporary file, the atomic replacement and the
// clean-up of what an interrupted run left behind. Names are pure functions; the rest is a thin platform layer
// (FileOpsPosix.cpp, FileOpsWindows.cpp).
namespace worker::files {

constexpr std::string_view kTempMarker = ".psdslim_";
constexpr std::string_view kBackupSuffix = ".psdslim_backup";
constexpr std::size_t kRandomLength = 12;

// "." + stem + ".psdslim_" + randomPart + lower-case extension. A stem so long that the name would not fit a
// file-system name (255 bytes) is cut at a character boundary; clean-up uses the same rule.
std::string temporaryName(const std::filesystem::path& original, std::string_view randomPart);
// True when name is what temporaryName gives for original with some random part of our alphabet.
bool isTemporaryNameOf(std::string_view name, const std::filesystem::path& original);
// The original's full name with ".psdslim_backup" appended. A name that would not fit a file-system name (255
// bytes) is cut at a character boundary and followed by "~" and a 16-digit hash of the full name before the suffix.
std::filesystem::path backupPath(const std::filesystem::path& original);
// kRandomLength characters of [a-z0-9] from the system's random source.
std::string randomPart();

struct FileInfo {
    bool exists = false;
    bool regular = false;
    std::uint64_t size = 0;
    unsigned permissions = 0; // the permission bits (07777)
    std::uint64_t owner = 0;
    std::uint64_t group = 0;
    // Identity and last change, to notice a file that someone else replaced or edited meanwhile.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t modifiedNs = 0;
    // Names the file has: a file with more than one is not replaced, as the rename would split it in two.
    std::uint64_t links = 0;

    bool sameVersion(const FileInfo& other) const
    {
        return exists == other.exists && device == other.device && inode == other.inode && size == other.size
            && modifiedNs == other.modifiedNs;
    }
};

// Describes path itself (a symbolic link is described, not followed).
bool describe(const std::filesystem::path& path, FileInfo& info, WorkerError& err);

// What went wrong after a replacement that stands: the file is slimmed all the same.
struct ReplaceWarning
{
    enum class Kind { None, FolderNotFlushed, BackupKept };
    Kind kind = Kind::None;
    std::string message;
};

// An exclusively created, private (0600) temporary file, held locked while the worker writes it, so that a
// second worker never takes it for a leftover. Removed on destruction unless released. The folder is opened once,
// when the file is created; the file is made, checked, renamed and removed relative to that folder.
class TempFile {
public:
    TempFile() = default;
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool create(const std::filesystem::path& original, WorkerError& err);
    // Open for writing and reading back.
    psd::File& file() { return m_file; }
    const std::filesystem::path& path() const { return m_path; }

    // Makes the data and the attributes durable, and closes the file: an error of any write, flush or close
    // through it fails here, before anything is replaced.
    bool sync(WorkerError& err);
    // Gives the still empty file the owner and group of original (the file that was read). Fails when they cannot
    // be kept: the new file would belong to the user who slims it, not to the original's owner.
    bool takeOwner(const psd::File& original, WorkerError& err);
    // Gives the written file the permission bits and access-control list of original, and its other extended
    // attributes, before it is flushed. A mode or ACL that cannot be kept fails: the new file would be open to
    // other people than the original. Any other extended attribute that cannot be set is named in notCopied with
    // the reason; that is no failure.
    bool takeAttributes(const psd::File& original, std::vector<std::string>& notCopied, WorkerError& err);
    // Replaces original by this file in one step: at every instant original names either the old file or this
    // one. Refuses when this file's name no longer leads to this file, or original's name no longer to read (the
    // file that was read). What fails after the replacement (the folder's flush, the removal of a backup) leaves
    // the replacement standing and is said in warning. The temporary name is gone on success.
    // With FolderFlush::Later the folder is not flushed: the caller flushes it with flushFolder(), once for
    // several replacements in it.
    enum class FolderFlush { Now, Later };
    bool replace(const std::filesystem::path& original, const psd::File& read, ReplaceWarning& warning,
                 WorkerError& err, FolderFlush flush = FolderFlush::Now);
    // Flushes the folder this file was made in (where the system can), so that the renames in it reach the disk.
    bool flushFolder(WorkerError& err);
    // Closes and deletes the file if its name still leads to it.
    void discard();

private:
    bool close(WorkerError& err);

    psd::File m_folder;
    psd::File m_file;
    std::filesystem::path m_path;
    std::filesystem::path m_replaced; // the original, once replaced
    // The file as created, to know it again by name once its handle is closed.
    std::uint64_t m_device = 0;
    std::uint64_t m_inode = 0;
};

struct LeftoverReport {
    bool restoredBackup = false;
    bool removedBackup = false;
    int removedTemporaries = 0;
};

// Cleans what an interrupted run left for original: its temporaries are removed, and a backup is put back when
// the original is missing or, before a file is slimmed, removed when the original is there (the original is then
// the untouched old file or the new, checked one). After a failure a backup beside the original is kept: the
// name may hold another file by then. Only regular files owned by the current user are touched; links are
// never followed; a temporary another process still holds locked is left alone.
enum class LeftoverPass { BeforeSlimming, AfterFailure };
class TemporaryNames;
// With names, the folder is listed once for all the files of a job in it, not once for each (which costs the
// square of its size).
bool cleanLeftovers(const std::filesystem::path& original, LeftoverPass pass, LeftoverReport& report, WorkerError& err,
                    TemporaryNames* names = nullptr);

// The hidden names with the temporary marker in each folder, listed once for a whole job. A temporary made later,
// by another worker (which holds it locked while it runs), is only seen by the next job.
class TemporaryNames
{
public:
    // The names in folder, listed on first use; null when the folder may not be listed (a drop box), where no
    // temporary of ours can be found. False with err when listing fails otherwise.
    bool in(const std::filesystem::path& folder, const std::vector<std::string>*& names, WorkerError& err);
    void forget(const std::filesystem::path& folder, const std::string& name);

private:
    struct Folder
    {
        bool listable = true;
        std::vector<std::string> names;
    };
    std::map<std::filesystem::path, Folder> m_folders;
};

// Whether a file the worker wrote in original's place could be given read's owner and group, as TempFile::takeOwner
// does; fails with its error where not. For a file that is left as it is, so that it is refused like any other.
bool ownerCouldBeKept(const std::filesystem::path& original, const psd::File& read, WorkerError& err);

// Whether a new file beside original would share read's blocks (a clone of its first length bytes), asked without
// leaving anything behind: on Linux through an unnamed file that vanishes when closed, on Windows from the volume's
// capabilities. False wherever that cannot be asked.
bool folderSharesBlocks(const std::filesystem::path& original, const psd::File& read, std::uint64_t length);

// Flushes the folder entry of a rename to disk.
bool syncFolder(const std::filesystem::path& folder, WorkerError& err);

// Seams for tests at named steps of a run. The shipped worker installs none, so each costs one null check; the
// test build of the worker (CMake option LEANFOLD_WORKER_TEST_HOOKS, worker/TestHooks.cpp) installs them.
struct TestHooks
{
    void (*pause)(std::string_view step) = nullptr;  // may wait at step (to be killed there)
    int (*failure)(std::string_view step) = nullptr; // an errno value step is to fail with, or 0
    bool cloneAnySize = false;                        // small test files take the clone path too
    bool xmpParseAll = false;                         // the XMP clean parses removed elements too (the bench)
    bool groupsUntimed = false; // a group of small files waits for its size bounds alone, never for the clock
};
void installTestHooks(const TestHooks& hooks);
void pausePoint(std::string_view step);
// The errno value a test wants step to fail with; 0 in every real run.
int injectedFailure(std::string_view step);
// True when a test lifts the rule that cloning must pay; false in every real run.
bool cloneRulesLifted();
// True when a test wants groups formed by their size bounds alone, so that every run makes the same calls in the
// same order; false in every real run.
bool groupWaitLifted();
// True when the packet bench has the XMP clean parse the content of removed elements; false in every real run.
bool xmpSkipTurnedOff();

} // namespace worker::files
