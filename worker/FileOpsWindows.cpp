// Windows branch of the file layer: the same behaviour as FileOpsPosix.cpp with the Win32 calls. The
// replacement goes through ReplaceFileW, which keeps the original's attributes, security descriptor, alternate
// streams and creation time, and leaves the old file under the backup name until the new one is in place.
#include "worker/FileOps.h"

#include "worker/TextUtil.h"

#include "psd/WindowsPath.h"

#include <windows.h>

namespace worker::files {

namespace {

std::wstring wide(const std::filesystem::path& path)
{
    return psd::windowsPath(pathBytes(path));
}

bool winFail(WorkerError& err, const std::string& what, const std::filesystem::path& path, DWORD code)
{
    return fail(err, "IoError", what + " " + pathText(path) + ": " + psd::windowsErrorText(code));
}

bool notFound(DWORD code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// A file, not a folder, and not a link or other reparse point (which is never followed).
bool plainFile(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

HANDLE handleOf(const psd::File& file)
{
    return reinterpret_cast<HANDLE>(file.native());
}

// Puts the backup back under the original name; MoveFileExW without REPLACE_EXISTING never replaces a file that
// appeared there meanwhile.
bool restoreBackup(const std::filesystem::path& backup, const std::filesystem::path& original, WorkerError& err)
{
    if (!MoveFileExW(wide(backup).c_str(), wide(original).c_str(), MOVEFILE_WRITE_THROUGH))
        return winFail(err, "cannot restore the backup of", original, GetLastError());
    return true;
}

} // namespace

bool describe(const std::filesystem::path& path, FileInfo& info, WorkerError& err)
{
    info = FileInfo{};
    // Attribute access only: no sharing check applies, so a file another program holds open is described too.
    const HANDLE handle =
        CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (notFound(code))
            return true;
        return winFail(err, "cannot examine", path, code);
    }
    BY_HANDLE_FILE_INFORMATION data{};
    const bool ok = GetFileInformationByHandle(handle, &data);
    const DWORD code = GetLastError();
    CloseHandle(handle);
    if (!ok)
        return winFail(err, "cannot examine", path, code);
    info.exists = true;
    info.regular = plainFile(data.dwFileAttributes);
    info.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info.permissions = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    info.device = data.dwVolumeSerialNumber;
    info.inode = (static_cast<std::uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
    info.links = data.nNumberOfLinks;
    info.modifiedNs = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime);
    return true;
}

TempFile::~TempFile()
{
    discard();
}

bool TempFile::create(const std::filesystem::path& original, WorkerError& err)
{
    discard();
    // ReplaceFileW would refuse a read-only original only after the whole new file was written and checked.
    const DWORD attributes = GetFileAttributesW(wide(original).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return fail(err, "IoError", "the file is read-only (its read-only attribute is set): " + pathText(original));
    const std::filesystem::path folder = original.parent_path();
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::filesystem::path candidate = folder / pathFromUtf8(temporaryName(original, randomPart()));
        // Hidden, since a leading dot hides nothing here. Shared for reading only: no other program can write
        // it while it is written and checked, nor delete it (clean-up by a second worker leaves it alone).
        const HANDLE handle = CreateFileW(wide(candidate).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)
                continue;
            return winFail(err, "cannot create a temporary file for", original, code);
        }
        m_file = psd::File::adopt(reinterpret_cast<psd::File::Native>(handle));
        m_path = candidate;
        return true;
    }
    return fail(err, "IoError", "cannot find a free temporary name beside " + pathText(original));
}

bool TempFile::sync(WorkerError& err)
{
    if (!FlushFileBuffers(handleOf(m_file)))
        return winFail(err, "cannot flush", m_path, GetLastError());
    return true;
}

bool TempFile::takeOwner(const psd::File&, WorkerError&)
{
    return true; // ReplaceFileW keeps the original's security descriptor, its owner among it
}

bool TempFile::takeAttributes(const psd::File&, std::vector<std::string>&, WorkerError&)
{
    return true; // ReplaceFileW carries the original's attributes, security and streams over
}

bool TempFile::close(WorkerError& err)
{
    psd::Error perr;
    if (!m_file.close(perr))
        return fail(err, "IoError", "cannot close " + pathText(m_path) + ": " + perr.message);
    return true;
}

bool TempFile::replace(const std::filesystem::path& original, const psd::File&, bool& folderFlushed,
                       WorkerError& err)
{
    // The folder entry is written by the file system's own journal; there is no folder handle to flush.
    folderFlushed = true;
    // ReplaceFileW opens the new file for writing itself, which our handle (shared for reading only) forbids:
    // it is closed here, after the data was flushed and checked.
    if (!close(err))
        return false;
    const std::filesystem::path backup = backupPath(original);
    const std::wstring target = wide(original);
    const std::wstring replacement = wide(m_path);
    const std::wstring backupName = wide(backup);
    const DWORD before = GetFileAttributesW(target.c_str());
    const DWORD code = psd::retryWhileHeld([&] {
        return ReplaceFileW(target.c_str(), replacement.c_str(), backupName.c_str(), 0, nullptr, nullptr)
                   ? DWORD(ERROR_SUCCESS)
                   : GetLastError();
    });
    if (code != ERROR_SUCCESS) {
        // The old file went to the backup name but the new one did not arrive: put the old one back.
        if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            WorkerError ignored;
            restoreBackup(backup, original, ignored);
        }
        return winFail(err, "cannot replace", original, code);
    }
    m_path.clear();
    // The new file keeps the original's attributes; where it kept its own hidden flag instead, that goes.
    const DWORD after = GetFileAttributesW(target.c_str());
    if (after != INVALID_FILE_ATTRIBUTES && (after & FILE_ATTRIBUTE_HIDDEN) != 0 && before != INVALID_FILE_ATTRIBUTES &&
        (before & FILE_ATTRIBUTE_HIDDEN) == 0)
        SetFileAttributesW(target.c_str(), after & ~DWORD(FILE_ATTRIBUTE_HIDDEN));
    pausePoint("after-replace");
    // A backup that cannot go now is stale; the next run on this file removes it.
    psd::retryWhileHeld([&] {
        return DeleteFileW(backupName.c_str()) || notFound(GetLastError()) ? DWORD(ERROR_SUCCESS) : GetLastError();
    });
    return true;
}

void TempFile::discard()
{
    WorkerError ignored;
    close(ignored);
    if (!m_path.empty()) {
        DeleteFileW(wide(m_path).c_str());
        m_path.clear();
    }
}

bool cleanLeftovers(const std::filesystem::path& original, LeftoverReport& report, WorkerError& err)
{
    // No ownership test as on Linux: the files lie in a folder whose access list already decides who may change
    // them, and this user may change the original.
    report = LeftoverReport{};
    const std::filesystem::path backup = backupPath(original);
    if (plainFile(GetFileAttributesW(wide(backup).c_str()))) {
        if (GetFileAttributesW(wide(original).c_str()) == INVALID_FILE_ATTRIBUTES && notFound(GetLastError())) {
            if (!restoreBackup(backup, original, err))
                return false;
            report.restoredBackup = true;
        } else {
            // The original is either the untouched old file or the new, validated one; the backup is stale.
            if (!DeleteFileW(wide(backup).c_str()))
                return winFail(err, "cannot remove the stale backup", backup, GetLastError());
            report.removedBackup = true;
        }
    }
    const std::filesystem::path folder = original.parent_path();
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(wide(folder / L".*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND)
            return true;
        return winFail(err, "cannot list the folder", folder, code);
    }
    do {
        const std::filesystem::path name(found.cFileName);
        if (!plainFile(found.dwFileAttributes) || !isTemporaryNameOf(pathBytes(name), original))
            continue;
        // A running worker's temporary is open without delete sharing and refuses this.
        if (DeleteFileW(wide(folder / name).c_str()))
            ++report.removedTemporaries;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

bool syncFolder(const std::filesystem::path&, WorkerError&)
{
    return true; // a folder cannot be flushed on Windows; NTFS journals the rename itself
}

} // namespace worker::files
