// Windows branch of the file layer: the same behaviour as FileOpsPosix.cpp with the Win32 calls. The
// replacement goes through ReplaceFileW, which keeps the original's attributes, security descriptor, alternate
// streams and creation time, and leaves the old file under the backup name until the new one is in place.
#include "engine/FileOps.h"

#include "engine/TextUtil.h"

#include "psd/WindowsPath.h"

// FILE_ID_INFO (the 128-bit file ID that ReFS needs) arrived with Windows 8 / Server 2012.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#endif
#include <windows.h>

#include <cstring>

namespace worker::files {

namespace {

// NTFS and ReFS limit each name to 255 UTF-16 units.
constexpr std::size_t kMaxNameUnits = 255;

std::wstring wide(const std::filesystem::path& path)
{
    return psd::windowsPath(pathBytes(path));
}

bool winFail(WorkerError& err, const std::string& what, const std::filesystem::path& path, DWORD code)
{
    return fail(err, "IoError", what + " " + pathText(path) + ": " + psd::windowsErrorText(code));
}

// Which file a handle leads to: the volume and the file's ID on it.
struct FileId
{
    std::uint64_t volume = 0;
    unsigned char id[16] = {};
    bool operator==(const FileId& other) const
    {
        return volume == other.volume && std::memcmp(id, other.id, sizeof id) == 0;
    }
};

bool fileIdOf(HANDLE handle, FileId& out)
{
    out = FileId{};
    // ReFS has 128-bit IDs, of which the 64-bit index of BY_HANDLE_FILE_INFORMATION may not be unique.
    FILE_ID_INFO info{};
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info)) {
        out.volume = info.VolumeSerialNumber;
        static_assert(sizeof info.FileId == sizeof out.id);
        std::memcpy(out.id, &info.FileId, sizeof out.id);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION data{};
    if (!GetFileInformationByHandle(handle, &data))
        return false;
    out.volume = data.dwVolumeSerialNumber;
    const std::uint64_t index = (static_cast<std::uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
    std::memcpy(out.id, &index, sizeof index);
    return true;
}

// The ID of the file a name leads to (a link is not followed), and its attributes. Attribute access only: no
// sharing rule stops it. Returns 0 or the system's error code.
DWORD fileIdAt(const std::filesystem::path& path, FileId& out, DWORD& attributes)
{
    const HANDLE handle =
        CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError();
    BY_HANDLE_FILE_INFORMATION data{};
    DWORD code = ERROR_SUCCESS;
    if (!GetFileInformationByHandle(handle, &data) || !fileIdOf(handle, out))
        code = GetLastError();
    attributes = data.dwFileAttributes;
    CloseHandle(handle); // opened for its attributes only: nothing to lose
    return code;
}

// Deletes the file behind handle, whatever name it has now; the file goes when the last handle is closed.
bool deleteThrough(HANDLE handle)
{
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info);
}

// A name over the limit fails in ways that do not say so (as "File not found" under Wine), so it is refused up
// front, and the system's own code for it is put in words.
bool nameTooLong(const std::filesystem::path& path)
{
    return path.filename().native().size() > kMaxNameUnits;
}

bool tooLongFail(WorkerError& err, const std::string& what, const std::filesystem::path& original)
{
    return fail(err, "IoError",
                what + " " + pathText(original) + ": the name is too long (a name may have at most 255 characters)");
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
        if (nameTooLong(candidate))
            return tooLongFail(err, "cannot name a temporary file for", original);
        // Hidden, since a leading dot hides nothing here. Shared for reading only: no other program can write
        // it while it is written and checked, nor delete it (clean-up by a second worker leaves it alone). DELETE
        // access lets discard() remove this very file, whatever its name has become.
        const HANDLE handle = CreateFileW(wide(candidate).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                          FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)
                continue;
            if (code == ERROR_FILENAME_EXCED_RANGE)
                return tooLongFail(err, "cannot create a temporary file for", original);
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
    // Through psd::File, which refuses once any write to the handle failed: a later flush could succeed
    // although the data on disk is not what was written.
    psd::Error perr;
    if (!m_file.sync(perr))
        return fail(err, "IoError", "cannot flush " + pathText(m_path) + ": " + perr.message);
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

bool TempFile::replace(const std::filesystem::path& original, const psd::File& read, ReplaceWarning& warning,
                       WorkerError& err, FolderFlush)
{
    // The folder entry is written by the file system's own journal; there is no folder handle to flush.
    warning = ReplaceWarning{};
    FileId written, wasRead;
    if (!fileIdOf(handleOf(m_file), written))
        return winFail(err, "cannot examine", m_path, GetLastError());
    if (!fileIdOf(handleOf(read), wasRead))
        return winFail(err, "cannot examine", original, GetLastError());
    // ReplaceFileW opens the new file sharing nothing, so no handle of ours may be open on it then: the one it was
    // written through is closed here, after its data was flushed and checked.
    if (!close(err))
        return false;
    // Reopened by name without write or delete sharing: until it is closed again just before ReplaceFileW, nobody
    // can write, rename or delete the file under this name, so the name checked is the name replaced.
    const std::wstring replacement = wide(m_path);
    HANDLE pinned = INVALID_HANDLE_VALUE;
    const DWORD opened = psd::retryWhileHeld([&] {
        pinned = CreateFileW(replacement.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | DELETE | SYNCHRONIZE,
                             FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        return pinned == INVALID_HANDLE_VALUE ? GetLastError() : DWORD(ERROR_SUCCESS);
    });
    const std::string tempText = pathText(m_path);
    FileId named;
    if (opened != ERROR_SUCCESS || !fileIdOf(pinned, named) || !(named == written)) {
        if (pinned != INVALID_HANDLE_VALUE)
            CloseHandle(pinned); // opened only to look at; whatever it is, it is not ours
        m_path.clear();
        return fail(err, "IoError", "the temporary " + tempText + " is no longer the file that was checked");
    }
    // From here on the pinned file is ours; on failure it goes through its own handle.
    const auto dropPinned = [&] {
        deleteThrough(pinned);
        CloseHandle(pinned); // the file is thrown away
        m_path.clear();
    };
    FileId current;
    DWORD attributes = 0;
    if (const DWORD code = fileIdAt(original, current, attributes); code != ERROR_SUCCESS || !(current == wasRead)) {
        dropPinned();
        if (code != ERROR_SUCCESS && !notFound(code))
            return winFail(err, "cannot examine", original, code);
        return fail(err, "IoError",
                    pathText(original) + " was removed or replaced by another file while it was being slimmed");
    }
    // Windows gives the new file the original's attributes, but Wine keeps the new file's own: its hidden flag goes
    // now, while a failure still leaves the original as it is.
    if ((attributes & FILE_ATTRIBUTE_HIDDEN) == 0) {
        FILE_BASIC_INFO basic{};
        bool set = GetFileInformationByHandleEx(pinned, FileBasicInfo, &basic, sizeof basic);
        if (set && (basic.FileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0) {
            basic.FileAttributes &= ~DWORD(FILE_ATTRIBUTE_HIDDEN);
            if (basic.FileAttributes == 0)
                basic.FileAttributes = FILE_ATTRIBUTE_NORMAL; // 0 would mean "leave them as they are"
            // Times of 0 are left as they are.
            basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
            basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
            set = SetFileInformationByHandle(pinned, FileBasicInfo, &basic, sizeof basic);
        }
        if (!set) {
            const DWORD code = GetLastError();
            dropPinned();
            return winFail(err, "cannot set the attributes of the temporary", original, code);
        }
    }
    if (!CloseHandle(pinned))
        return winFail(err, "cannot close the temporary", m_path, GetLastError());
    pausePoint("replace-call");

    const std::filesystem::path backup = backupPath(original);
    const std::wstring target = wide(original);
    const std::wstring backupName = wide(backup);
    const DWORD code = psd::retryWhileHeld([&] {
        return ReplaceFileW(target.c_str(), replacement.c_str(), backupName.c_str(), 0, nullptr, nullptr)
                   ? DWORD(ERROR_SUCCESS)
                   : GetLastError();
    });
    if (code != ERROR_SUCCESS) {
        if (code == ERROR_FILENAME_EXCED_RANGE)
            return tooLongFail(err, "cannot replace", original);
        // The old file went to the backup name but the new one did not arrive: put the old one back.
        WorkerError restoreError;
        if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 && !restoreBackup(backup, original, restoreError))
            return fail(err, "IoError",
                        "cannot replace " + pathText(original) + ": " + psd::windowsErrorText(code) +
                            "; the original is kept as " + pathText(backup) + " (" + restoreError.message + ")");
        return winFail(err, "cannot replace", original, code);
    }
    m_path.clear();
    // Between the check above and ReplaceFileW's own opening of the files, another file could have taken either
    // name. ReplaceFileW renames, and a rename keeps a file's ID: the original's name must now lead to the file
    // written, the backup's to the file read. Otherwise the original's name gets back what it held before.
    FileId nowOriginal, nowBackup;
    DWORD ignored = 0;
    if (fileIdAt(original, nowOriginal, ignored) != ERROR_SUCCESS || !(nowOriginal == written) ||
        fileIdAt(backup, nowBackup, ignored) != ERROR_SUCCESS || !(nowBackup == wasRead)) {
        if (!MoveFileExW(backupName.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return winFail(err,
                           "another file took the name of " + pathText(original) +
                               " or of its temporary while it was being replaced, and the file that name held "
                               "before cannot be put back from",
                           backup, GetLastError());
        return fail(err, "IoError",
                    "another file took the name of " + pathText(original) +
                        " or of its temporary while it was being replaced; the name holds what it held before");
    }
    pausePoint("after-replace");
    // The file is slimmed either way; a backup that cannot go now is said, and the next run on this file removes it.
    const DWORD removed = psd::retryWhileHeld([&] {
        return DeleteFileW(backupName.c_str()) || notFound(GetLastError()) ? DWORD(ERROR_SUCCESS) : GetLastError();
    });
    if (removed != ERROR_SUCCESS)
        warning = {ReplaceWarning::Kind::BackupKept, pathText(backup) + ": " + psd::windowsErrorText(removed)};
    return true;
}

bool TempFile::flushFolder(WorkerError&)
{
    return true; // a folder cannot be flushed on Windows; NTFS journals the rename itself
}

void TempFile::discard()
{
    if (m_file.isOpen()) {
        // Deleted through the handle it was written through: this very file, whatever its name has become.
        if (!m_path.empty())
            deleteThrough(handleOf(m_file));
        WorkerError ignored;
        close(ignored); // the file is thrown away
        m_path.clear();
        return;
    }
    // Closed by replace(), which checked the name for the last time.
    if (!m_path.empty()) {
        DeleteFileW(wide(m_path).c_str());
        m_path.clear();
    }
}

bool cleanLeftovers(const std::filesystem::path& original, LeftoverPass pass, LeftoverReport& report, WorkerError& err,
                    TemporaryNames*)
{
    // The search below lists only hidden names: a folder of many files is not read through for each of them.
    // No ownership test as on Linux: the files lie in a folder whose access list already decides who may change
    // them, and this user may change the original.
    report = LeftoverReport{};
    const std::filesystem::path backup = backupPath(original);
    if (plainFile(GetFileAttributesW(wide(backup).c_str()))) {
        if (GetFileAttributesW(wide(original).c_str()) == INVALID_FILE_ATTRIBUTES && notFound(GetLastError())) {
            if (!restoreBackup(backup, original, err))
                return false;
            report.restoredBackup = true;
        } else if (pass == LeftoverPass::BeforeSlimming) {
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

bool ownerCouldBeKept(const std::filesystem::path&, const psd::File&, WorkerError&)
{
    return true; // ReplaceFileW keeps the original's security descriptor, its owner among it
}

bool folderSharesBlocks(const std::filesystem::path&, const psd::File& read, std::uint64_t)
{
    // The new file is made in the original's folder, on its volume: block cloning is a capability of the volume.
    // FILE_SUPPORTS_BLOCK_REFCOUNTING, which mingw-w64's headers lack.
    constexpr DWORD kSupportsBlockRefcounting = 0x08000000;
    DWORD flags = 0;
    return ::GetVolumeInformationByHandleW(handleOf(read), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) != 0
        && (flags & kSupportsBlockRefcounting) != 0;
}

bool syncFolder(const std::filesystem::path&, WorkerError&)
{
    return true; // a folder cannot be flushed on Windows; NTFS journals the rename itself
}

} // namespace worker::files
