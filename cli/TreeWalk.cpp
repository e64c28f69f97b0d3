#include "cli/TreeWalk.h"

#include "worker/FileOps.h"
#include "worker/TextUtil.h"

#include <algorithm>
#include <set>
#include <system_error>

namespace cli {

namespace fs = std::filesystem;

namespace {

std::string reasonOf(const std::error_code& ec)
{
    return ec.message();
}

// A folder's entries sorted by name, or false and why.
bool listFolder(const fs::path& folder, std::vector<fs::directory_entry>& entries, std::string& error)
{
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec))
        entries.push_back(*it);
    if (ec) {
        error = "cannot read the folder: " + reasonOf(ec);
        return false;
    }
    std::sort(entries.begin(), entries.end(),
              [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path() < b.path(); });
    return true;
}

// Walks folder with an explicit stack (a hostile tree may be deeper than the call stack allows).
void walkFolder(const fs::path& root, std::vector<Target>& out)
{
    std::vector<fs::path> pending{root};
    while (!pending.empty()) {
        const fs::path folder = pending.back();
        pending.pop_back();
        std::vector<fs::directory_entry> entries;
        std::string error;
        if (!listFolder(folder, entries, error)) {
            out.push_back({folder, error});
            continue;
        }
        std::vector<fs::path> subfolders;
        for (const fs::directory_entry& entry : entries) {
            std::error_code ec;
            const fs::file_status status = entry.symlink_status(ec);
            if (ec)
                out.push_back({entry.path(), "cannot read the entry: " + reasonOf(ec)});
            else if (fs::is_directory(status))
                subfolders.push_back(entry.path());
            else if (fs::is_regular_file(status) && hasDocumentSuffix(entry.path()) && !isOwnWorkFile(entry.path()))
                out.push_back({entry.path(), {}});
        }
        // Files of a folder first, then its sub-folders in name order: pushed in reverse so the first pops first.
        pending.insert(pending.end(), subfolders.rbegin(), subfolders.rend());
    }
}

} // namespace

bool hasDocumentSuffix(const fs::path& path)
{
    const std::string extension = worker::asciiLower(worker::pathBytes(path.extension()));
    return extension == ".psd" || extension == ".psb";
}

bool isOwnWorkFile(const fs::path& path)
{
    const std::string name = worker::pathBytes(path.filename());
    if (name.ends_with(worker::files::kBackupSuffix))
        return true;
    // ".<stem>.psdslim_<random><ext>": the original is <stem><ext> beside it. A stem cut for length still starts
    // the name, so the marker alone decides for names at the length limit.
    const std::size_t marker = name.rfind(worker::files::kTempMarker);
    if (!name.starts_with('.') || marker == std::string::npos || marker < 1)
        return false;
    const std::string extension = worker::pathBytes(path.extension());
    const std::string original = name.substr(1, marker - 1) + extension;
    if (worker::files::isTemporaryNameOf(name, path.parent_path() / worker::pathFromUtf8(original)))
        return true;
    return name.size() >= 250;
}

namespace {

// Drops the later entries that name a file already listed (given twice, or inside a folder also given), so
// that no file is slimmed twice in one run.
void dropRepeats(std::vector<Target>& targets)
{
    std::set<fs::path> seen;
    std::vector<Target> kept;
    for (Target& target : targets) {
        std::error_code ec;
        const fs::path key = fs::absolute(target.path, ec).lexically_normal();
        if (ec || seen.insert(key).second)
            kept.push_back(std::move(target));
    }
    targets = std::move(kept);
}

} // namespace

std::vector<Target> expandPaths(const std::vector<fs::path>& paths)
{
    std::vector<Target> out;
    for (const fs::path& path : paths) {
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(path, ec);
        if (status.type() == fs::file_type::not_found)
            out.push_back({path, "no such file or folder"});
        else if (ec)
            out.push_back({path, "cannot read: " + reasonOf(ec)});
        else if (fs::is_symlink(status))
            out.push_back({path, "a symbolic link: links are not followed"});
        else if (fs::is_directory(status))
            walkFolder(path, out);
        else if (fs::is_regular_file(status) && isOwnWorkFile(path))
            out.push_back({path, "a temporary or backup file of a slimming run, not a document"});
        else
            out.push_back({path, {}}); // the engine says what is wrong with anything but a regular file
    }
    dropRepeats(out);
    return out;
}

} // namespace cli
