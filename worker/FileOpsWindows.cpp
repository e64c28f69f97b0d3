// Windows branch of the file layer: the same behaviour as FileOpsPosix.cpp with the Win32 calls. The
// replacement goes through ReplaceFileW, which keeps the original's attributes and security descriptor and
// leaves the old file under the backup name until the new one is in place.
#include "worker/FileOps.h"

#include "worker/TextUtil.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace worker::files {

namespace {

bool winFail(WorkerError& err, const std::string& what, const std::filesystem::path& path, DWORD code)
{
    char buffer[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                   sizeof(buffer), nullptr);
    return fail(err, "IoError", what + " " + pathText(path) + ": " + toValidUtf8(buffer));
}

bool currentUserOwns(const std::filesystem::path&)
{
    // Files in a user's own folders: ownership is enforced by the folder's access control list.
    return true;
}

bool isPlainFile(const std::filesystem::path& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0
        && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

} // namespace

bool describe(const std::filesystem::path& path, FileInfo& info, WorkerError& err)
{
    info = FileInfo{};
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return true;
        return winFail(err, "cannot examine", path, code);
    }
    info.exists = true;
    info.regular = (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    info.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info.permissions = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    info.modifiedNs = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32)
                                                | data.ftLastWriteTime.dwLowDateTime);
    return true;
}

TempFile::~TempFile()
{
    discard();
}

bool TempFile::create(const std::filesystem::path& original, WorkerError& err)
{
    discard();
    const std::filesystem::path folder = original.parent_path();
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::filesystem::path candidate = folder / pathFromUtf8(temporaryName(original, randomPart()));
        int fd = -1;
        const errno_t code = _wsopen_s(&fd, candidate.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY,
                                       _SH_DENYWR, _S_IREAD | _S_IWRITE);
        if (code == EEXIST)
            continue;
        if (code != 0)
            return fail(err, "IoError", "cannot create a temporary file for " + pathText(original));
        m_fd = fd;
        m_path = candidate;
        return true;
    }
    return fail(err, "IoError", "cannot find a free temporary name beside " + pathText(original));
}

bool TempFile::sync(WorkerError& err)
{
    if (_commit(m_fd) != 0)
        return fail(err, "IoError", "cannot flush " + pathText(m_path));
    return true;
}

bool TempFile::takeAttributes(const FileInfo&, WorkerError&)
{
    return true; // ReplaceFileW carries the original's attributes and security over
}

bool TempFile::close(WorkerError& err)
{
    if (m_fd < 0)
        return true;
    const int fd = m_fd;
    m_fd = -1;
    if (_close(fd) != 0)
        return fail(err, "IoError", "cannot close " + pathText(m_path));
    return true;
}

bool TempFile::replace(const std::filesystem::path& original, WorkerError& err)
{
    if (!close(err))
        return false;
    const std::filesystem::path backup = backupPath(original);
    if (!ReplaceFileW(original.c_str(), m_path.c_str(), backup.c_str(), REPLACEFILE_WRITE_THROUGH, nullptr,
                      nullptr)) {
        const DWORD code = GetLastError();
        // The old file went to the backup name but the new one did not arrive: put the old one back.
        if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
            MoveFileExW(backup.c_str(), original.c_str(), MOVEFILE_WRITE_THROUGH);
        return winFail(err, "cannot replace", original, code);
    }
    m_path.clear();
    pausePoint("after-replace");
    DeleteFileW(backup.c_str());
    return true;
}

void TempFile::discard()
{
    WorkerError ignored;
    close(ignored);
    if (!m_path.empty()) {
        DeleteFileW(m_path.c_str());
        m_path.clear();
    }
}

bool cleanLeftovers(const std::filesystem::path& original, LeftoverReport& report, WorkerError& err)
{
    report = LeftoverReport{};
    const std::filesystem::path backup = backupPath(original);
    if (isPlainFile(backup) && currentUserOwns(backup)) {
        if (GetFileAttributesW(original.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (!MoveFileExW(backup.c_str(), original.c_str(), MOVEFILE_WRITE_THROUGH))
                return winFail(err, "cannot restore the backup of", original, GetLastError());
            report.restoredBackup = true;
        } else {
            if (!DeleteFileW(backup.c_str()))
                return winFail(err, "cannot remove the stale backup", backup, GetLastError());
            report.removedBackup = true;
        }
    }
    const std::filesystem::path pattern = original.parent_path() / L".*";
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return true;
    do {
        const std::filesystem::path name(found.cFileName);
        const std::u8string u8 = name.u8string();
        if (!isTemporaryNameOf(std::string_view(reinterpret_cast<const char*>(u8.data()), u8.size()), original))
            continue;
        const std::filesystem::path full = original.parent_path() / name;
        // A temporary still open by a running worker refuses deletion (it is opened without delete sharing).
        if (isPlainFile(full) && DeleteFileW(full.c_str()))
            ++report.removedTemporaries;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

bool syncFolder(const std::filesystem::path&, WorkerError&)
{
    return true; // MOVEFILE_WRITE_THROUGH and REPLACEFILE_WRITE_THROUGH already flushed the rename
}

} // namespace worker::files
