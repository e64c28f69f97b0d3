#include "cli/TreeWalk.h"

#include "engine/FileOps.h"
#include "engine/TextUtil.h"

#include <algorithm>
#include <set>
#include <system_error>

#ifdef _WIN32
#include "psd/WindowsPath.h"

#include <windows.h>
#endif

namespace cli {

namespace fs = std::filesystem;

namespace {

// The path the system calls take: on Windows the long-path form, so that folders deeper than MAX_PATH are read.
fs::path systemPath(const fs::path& path)
{
#ifdef _WIN32
    const std::wstring wide = psd::windowsPath(worker::pathBytes(path));
    return wide.empty() ? path : fs::path(wide);
#else
    return path;
#endif
}

#ifdef _WIN32
// A symbolic link or a junction; other reparse points (cloud placeholders, deduplicated files) are files.
bool isLinkTag(const fs::path& native)
{
    WIN32_FIND_DATAW data;
    const HANDLE found = FindFirstFileW(native.c_str(), &data);
    if (found == INVALID_HANDLE_VALUE)
        return true; // unknown: not followed
    FindClose(found);
    return data.dwReserved0 == IO_REPARSE_TAG_SYMLINK || data.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT;
}
#endif

// What path itself is, a link not followed (on Windows a symbolic link or a junction, which the library's status
// calls would follow).
enum class Kind { Missing, Link, Folder, File, Other, Unreadable };
Kind kindOf(const fs::path& path, std::string& error)
{
    const fs::path native = systemPath(path);
#ifdef _WIN32
    // Win32 itself: the library's status calls neither take the long-path form nor tell a junction from a folder.
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return Kind::Missing;
        error = psd::windowsErrorText(code);
        return Kind::Unreadable;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && isLinkTag(native))
        return Kind::Link;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return Kind::Folder;
    return (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? Kind::Other : Kind::File;
#else
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(native, ec);
    if (status.type() == fs::file_type::not_found)
        return Kind::Missing;
    if (ec) {
        error = ec.message();
        return Kind::Unreadable;
    }
    if (fs::is_symlink(status))
        return Kind::Link;
    if (fs::is_directory(status))
        return Kind::Folder;
    return fs::is_regular_file(status) ? Kind::File : Kind::Other;
#endif
}

// The names in a folder, sorted, as paths under folder (in the form given, not the system's), or false and why.
bool listFolder(const fs::path& folder, std::vector<fs::path>& entries, std::string& error)
{
#ifdef _WIN32
    // Win32 itself: the library's listing yields nothing, and no error, past MAX_PATH.
    const std::wstring pattern = systemPath(folder).wstring() + L"\\*";
    WIN32_FIND_DATAW data;
    const HANDLE found = FindFirstFileW(pattern.c_str(), &data);
    if (found == INVALID_HANDLE_VALUE) {
        error = "cannot read the folder: " + psd::windowsErrorText(GetLastError());
        return false;
    }
    do {
        const std::wstring_view name = data.cFileName;
        if (name != L"." && name != L"..")
            entries.push_back(folder / fs::path(std::wstring(name)));
    } while (FindNextFileW(found, &data));
    const DWORD code = GetLastError();
    FindClose(found);
    if (code != ERROR_NO_MORE_FILES) {
        error = "cannot read the folder: " + psd::windowsErrorText(code);
        return false;
    }
#else
    std::error_code ec;
    fs::directory_iterator it(systemPath(folder), ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec))
        entries.push_back(folder / it->path().filename());
    if (ec) {
        error = "cannot read the folder: " + ec.message();
        return false;
    }
#endif
    std::sort(entries.begin(), entries.end());
    return true;
}

// Walks folder with an explicit stack (a hostile tree may be deeper than the call stack allows).
void walkFolder(const fs::path& root, std::vector<Target>& out)
{
    std::vector<fs::path> pending{root};
    while (!pending.empty()) {
        const fs::path folder = pending.back();
        pending.pop_back();
        std::vector<fs::path> entries;
        std::string error;
        if (!listFolder(folder, entries, error)) {
            out.push_back({folder, error});
            continue;
        }
        std::vector<fs::path> subfolders;
        for (const fs::path& entry : entries) {
            const Kind kind = kindOf(entry, error);
            if (kind == Kind::Unreadable)
                out.push_back({entry, "cannot read the entry: " + error});
            else if (kind == Kind::Folder)
                subfolders.push_back(entry);
            else if (kind == Kind::File && hasDocumentSuffix(entry) && !isOwnWorkFile(entry))
                out.push_back({entry, {}});
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
        std::string error;
        switch (kindOf(path, error)) {
        case Kind::Missing:
            out.push_back({path, "no such file or folder"});
            break;
        case Kind::Unreadable:
            out.push_back({path, "cannot read: " + error});
            break;
        case Kind::Link:
            out.push_back({path, "a symbolic link: links are not followed"});
            break;
        case Kind::Folder:
            walkFolder(path, out);
            break;
        case Kind::File:
            if (isOwnWorkFile(path)) {
                out.push_back({path, "a temporary or backup file of a slimming run, not a document"});
                break;
            }
            out.push_back({path, {}});
            break;
        case Kind::Other:
            out.push_back({path, {}}); // the engine says what is wrong with anything but a regular file
            break;
        }
    }
    dropRepeats(out);
    return out;
}

} // namespace cli
