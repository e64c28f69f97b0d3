// Windows branch of psd::File: a HANDLE read and written at explicit offsets through OVERLAPPED, which a
// synchronous handle takes as the position of that one call.
#include "psd/File.h"
#include "psd/WindowsPath.h"

#include <windows.h>

#include <algorithm>

namespace psd {

namespace {

// ReadFile and WriteFile take a DWORD length.
constexpr std::size_t kMaxCall = 1u << 30;

HANDLE handleOf(File::Native native)
{
    return reinterpret_cast<HANDLE>(native);
}

OVERLAPPED at(std::uint64_t offset)
{
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

bool sysFail(Error& err, ErrorCode code, std::uint64_t offset, const std::string& what, DWORD error)
{
    return fail(err, code, offset, what + ": " + windowsErrorText(error));
}

bool openHandle(const std::string& path, DWORD access, DWORD share, DWORD disposition, File& out, Error& err,
                const char* verb)
{
    const std::wstring wide = windowsPath(path);
    if (wide.empty())
        return fail(err, ErrorCode::Io, 0, std::string(verb) + " " + path + ": the path is not valid UTF-8");
    HANDLE handle = INVALID_HANDLE_VALUE;
    const DWORD code = retryWhileHeld([&] {
        handle = CreateFileW(wide.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle == INVALID_HANDLE_VALUE ? GetLastError() : DWORD(ERROR_SUCCESS);
    });
    if (code != ERROR_SUCCESS)
        return sysFail(err, ErrorCode::Io, 0, std::string(verb) + " " + path, code);
    out = File::adopt(reinterpret_cast<File::Native>(handle));
    return true;
}

} // namespace

std::wstring windowsPath(std::string_view path)
{
    if (path.empty())
        return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), wide.data(), length);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    if (wide.starts_with(LR"(\\?\)") || wide.starts_with(LR"(\\.\)"))
        return wide;
    // The \\?\ form is taken literally, so "." and ".." are resolved (and a relative path made absolute) first.
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return {};
    std::wstring full(needed, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed)
        return {};
    full.resize(written);
    if (full.starts_with(LR"(\\)"))
        return LR"(\\?\UNC\)" + full.substr(2);
    return LR"(\\?\)" + full;
}

std::string utf8FromWide(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(length, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr, nullptr);
    return out;
}

bool heldByAnotherProgram(unsigned long code)
{
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

std::string windowsErrorText(unsigned long code)
{
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = length > 0 ? utf8FromWide(std::wstring_view(buffer, length)) : std::string();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (text.empty())
        text = "system error";
    text += " (error " + std::to_string(code) + ")";
    if (heldByAnotherProgram(code))
        return "the file is open in another program, which does not let others change it: " + text;
    return text;
}

unsigned long retryWhileHeld(const std::function<unsigned long()>& attempt)
{
    unsigned long code = attempt();
    for (int tries = 0; tries < 10 && (heldByAnotherProgram(code) || code == ERROR_ACCESS_DENIED); ++tries) {
        Sleep(100);
        code = attempt();
    }
    return code;
}

bool File::openRead(const std::string& path, File& out, Error& err)
{
    // Others may read it meanwhile, and the replacement may rename it, but nobody may write it while it is read.
    File file;
    if (!openHandle(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING, file, err, "cannot open"))
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handleOf(file.m_handle), &info))
        return sysFail(err, ErrorCode::Io, 0, "cannot examine " + path, GetLastError());
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        GetFileType(handleOf(file.m_handle)) != FILE_TYPE_DISK)
        return fail(err, ErrorCode::Io, 0, "not a regular file: " + path);
    out = std::move(file);
    return true;
}

bool File::create(const std::string& path, File& out, Error& err)
{
    return openHandle(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, out, err, "cannot create");
}

bool File::size(std::uint64_t& out, Error& err) const
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handleOf(m_handle), &size))
        return sysFail(err, ErrorCode::Io, 0, "cannot examine the file", GetLastError());
    out = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

bool File::readAt(std::uint64_t offset, void* out, std::size_t length, Error& err) const
{
    auto* dst = static_cast<std::uint8_t*>(out);
    std::size_t got = 0;
    while (got < length) {
        OVERLAPPED o = at(offset + got);
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min(length - got, kMaxCall));
        if (!ReadFile(handleOf(m_handle), dst + got, want, &n, &o)) {
            const DWORD code = GetLastError();
            if (code != ERROR_HANDLE_EOF)
                return sysFail(err, ErrorCode::Io, offset + got, "read failed", code);
            n = 0;
        }
        if (n == 0)
            return fail(err, ErrorCode::Truncated, offset + got, "file ended early (changed while reading?)");
        got += n;
    }
    return true;
}

bool File::writeAt(std::uint64_t offset, const void* data, std::size_t length, Error& err)
{
    const auto* src = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < length) {
        OVERLAPPED o = at(offset + done);
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min(length - done, kMaxCall));
        if (!WriteFile(handleOf(m_handle), src + done, want, &n, &o)) {
            sysFail(err, ErrorCode::WriteFailed, offset + done, "write failed", GetLastError());
            return markFailed();
        }
        if (n == 0) {
            fail(err, ErrorCode::WriteFailed, offset + done, "write failed: no progress");
            return markFailed();
        }
        done += n;
    }
    return true;
}

File::KernelCopy File::copyFrom(const File&, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t& copied, Error&)
{
    // No ranged copy between two open handles here; the caller copies through its buffer.
    copied = 0;
    return KernelCopy::Unsupported;
}

bool File::startWriteback(std::uint64_t, std::uint64_t, Error&)
{
    return true; // Windows starts writing dirty pages on its own; sync() waits for them
}

bool File::sync(Error& err)
{
    if (m_failed)
        return fail(err, ErrorCode::WriteFailed, 0, "an earlier write to this file failed: its data cannot be trusted");
    if (!FlushFileBuffers(handleOf(m_handle))) {
        sysFail(err, ErrorCode::WriteFailed, 0, "flush failed", GetLastError());
        return markFailed();
    }
    return true;
}

bool File::close(Error& err)
{
    if (m_handle == kInvalid)
        return true;
    const HANDLE handle = handleOf(m_handle);
    const bool owned = m_owned;
    m_handle = kInvalid;
    m_owned = false;
    if (owned && !CloseHandle(handle)) {
        sysFail(err, ErrorCode::WriteFailed, 0, "close failed", GetLastError());
        return markFailed();
    }
    return true;
}

} // namespace psd
