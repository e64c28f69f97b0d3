// Windows half of psd::File's block sharing (ReFS block cloning), block size (the cluster size) and cache hints.
// Kept apart from FileWindows.cpp: nothing here touches how files are opened, read or written.
#include "psd/FileClone.h"

// Block cloning arrived with Windows 10 / Server 2016.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0A00
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
#include <windows.h>
#include <winioctl.h>

// Older SDKs and MinGW's headers lack the block-cloning control code (documented as 0x98344).
#ifndef FSCTL_DUPLICATE_EXTENTS_TO_FILE
#define FSCTL_DUPLICATE_EXTENTS_TO_FILE CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 209, METHOD_BUFFERED, FILE_WRITE_ACCESS)
typedef struct _DUPLICATE_EXTENTS_DATA
{
    HANDLE FileHandle;
    LARGE_INTEGER SourceFileOffset;
    LARGE_INTEGER TargetFileOffset;
    LARGE_INTEGER ByteCount;
} DUPLICATE_EXTENTS_DATA;
#endif

#include <algorithm>
#include <string>
#include <vector>

namespace psd {

namespace {

HANDLE handleOf(File::Native native)
{
    return reinterpret_cast<HANDLE>(native);
}

// ReFS refuses single duplications of 4 GiB and more.
constexpr std::uint64_t kMaxCloneStep = 1ull << 30;

bool winFail(Error& err, std::uint64_t offset, const std::string& what)
{
    return fail(err, ErrorCode::Io, offset, what + " (error " + std::to_string(GetLastError()) + ")");
}

bool fileSize(HANDLE h, std::uint64_t& out)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size))
        return false;
    out = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

} // namespace

File::KernelCopy platform::cloneRange(File::Native in, std::uint64_t inOffset, File::Native out,
                                      std::uint64_t outOffset, std::uint64_t length, Error& err)
{
    if (length == 0)
        return File::KernelCopy::Done;
    std::uint64_t cluster = 0;
    std::uint64_t inSize = 0;
    if (!blockSize(out, cluster, err) || !fileSize(handleOf(in), inSize))
        return File::KernelCopy::Unsupported;
    // The target must already reach the end of the range; a range ending at the source's end is rounded up to a
    // whole cluster, as ReFS wants, and the file's end is set back to the exact length afterwards.
    const std::uint64_t end = outOffset + length;
    FILE_END_OF_FILE_INFO eof{};
    eof.EndOfFile.QuadPart = static_cast<LONGLONG>(end);
    if (!SetFileInformationByHandle(handleOf(out), FileEndOfFileInfo, &eof, sizeof eof)) {
        winFail(err, outOffset, "cannot extend the file for a block clone");
        return File::KernelCopy::Failed;
    }
    std::uint64_t rounded = length;
    if (inOffset + length == inSize)
        rounded = (length + cluster - 1) / cluster * cluster;
    for (std::uint64_t done = 0; done < rounded;) {
        const std::uint64_t step = std::min(rounded - done, kMaxCloneStep);
        DUPLICATE_EXTENTS_DATA data{};
        data.FileHandle = handleOf(in);
        data.SourceFileOffset.QuadPart = static_cast<LONGLONG>(inOffset + done);
        data.TargetFileOffset.QuadPart = static_cast<LONGLONG>(outOffset + done);
        data.ByteCount.QuadPart = static_cast<LONGLONG>(step);
        DWORD returned = 0;
        if (!DeviceIoControl(handleOf(out), FSCTL_DUPLICATE_EXTENTS_TO_FILE, &data, sizeof data, nullptr, 0, &returned,
                             nullptr)) {
            const DWORD code = GetLastError();
            if (code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_PARAMETER ||
                code == ERROR_NOT_SAME_DEVICE)
                return File::KernelCopy::Unsupported;
            winFail(err, outOffset + done, "block clone failed");
            return File::KernelCopy::Failed;
        }
        done += step;
    }
    if (!SetFileInformationByHandle(handleOf(out), FileEndOfFileInfo, &eof, sizeof eof)) {
        winFail(err, end, "cannot set the end of the file after a block clone");
        return File::KernelCopy::Failed;
    }
    return File::KernelCopy::Done;
}

bool platform::blockSize(File::Native handle, std::uint64_t& out, Error& err)
{
    // The volume's root, from the handle itself (never from a name someone could have changed).
    std::vector<wchar_t> path(MAX_PATH);
    DWORD n = GetFinalPathNameByHandleW(handleOf(handle), path.data(), DWORD(path.size()), VOLUME_NAME_GUID);
    if (n >= path.size()) {
        path.resize(n + 1);
        n = GetFinalPathNameByHandleW(handleOf(handle), path.data(), DWORD(path.size()), VOLUME_NAME_GUID);
    }
    if (n == 0 || n >= path.size())
        return winFail(err, 0, "cannot find the file's volume");
    std::wstring root(path.data(), n);
    // "\\?\Volume{guid}\folder\file" -> "\\?\Volume{guid}\"
    const std::size_t slash = root.find(L'\\', 4);
    if (slash == std::wstring::npos)
        return fail(err, ErrorCode::Io, 0, "unexpected volume path");
    root.resize(slash + 1);
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (!GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        return winFail(err, 0, "cannot read the volume's cluster size");
    out = std::uint64_t(sectorsPerCluster) * bytesPerSector;
    return out > 0 || fail(err, ErrorCode::Io, 0, "the volume reports no cluster size");
}

// Windows' cache manager writes behind and drops sequentially written data by itself.
bool platform::settle(File::Native, std::uint64_t, std::uint64_t, Error&)
{
    return true; // FlushFileBuffers in File::sync waits for the data and reports its errors
}
void platform::dropCached(File::Native, std::uint64_t, std::uint64_t) {}

} // namespace psd
