// POSIX branch of psd::File.
#include "psd/File.h"
#include "psd/FileClone.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#endif

namespace psd {

namespace {

int fdOf(File::Native handle)
{
    return static_cast<int>(handle);
}

bool sysFail(Error& err, ErrorCode code, std::uint64_t offset, const std::string& what)
{
    return fail(err, code, offset, what + ": " + std::strerror(errno));
}

} // namespace

bool File::openRead(const std::string& path, File& out, Error& err)
{
    // Non-blocking, so that a FIFO or device put under the name is refused below instead of waiting forever for
    // a writer; a regular file reads the same either way.
    int fd;
    do
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return sysFail(err, ErrorCode::Io, 0, "cannot open " + path);
    File file = adopt(fd);
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0)
        return sysFail(err, ErrorCode::Io, 0, "cannot examine " + path);
    if (!S_ISREG(st.st_mode))
        return fail(err, ErrorCode::Io, 0, "not a regular file: " + path);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return sysFail(err, ErrorCode::Io, 0, "cannot open " + path);
    out = std::move(file);
    return true;
}

bool File::create(const std::string& path, File& out, Error& err)
{
    int fd;
    do
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return sysFail(err, ErrorCode::Io, 0, "cannot create " + path);
    out = adopt(fd);
    return true;
}

bool File::size(std::uint64_t& out, Error& err) const
{
    struct stat st
    {
    };
    if (::fstat(fdOf(m_handle), &st) != 0)
        return sysFail(err, ErrorCode::Io, 0, "cannot examine the file");
    out = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool File::readAt(std::uint64_t offset, void* out, std::size_t length, Error& err) const
{
    auto* dst = static_cast<std::uint8_t*>(out);
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fdOf(m_handle), dst + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return sysFail(err, ErrorCode::Io, offset + got, "read failed");
        if (n == 0)
            return fail(err, ErrorCode::Truncated, offset + got, "file ended early (changed while reading?)");
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool File::writeAt(std::uint64_t offset, const void* data, std::size_t length, Error& err)
{
    const auto* src = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(fdOf(m_handle), src + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            sysFail(err, ErrorCode::WriteFailed, offset + done, "write failed");
            return markFailed();
        }
        if (n == 0) {
            fail(err, ErrorCode::WriteFailed, offset + done, "write failed: no progress");
            return markFailed();
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

File::KernelCopy File::copyFrom(const File& in, std::uint64_t inOffset, std::uint64_t outOffset, std::uint64_t length,
                                std::uint64_t& copied, Error& err)
{
    copied = 0;
#ifdef __linux__
    loff_t from = static_cast<loff_t>(inOffset);
    loff_t to = static_cast<loff_t>(outOffset);
    while (copied < length) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length - copied, 1ull << 30));
        const ssize_t n = ::copy_file_range(fdOf(in.m_handle), &from, fdOf(m_handle), &to, want, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EPERM ||
                      errno == EBADF))
            return KernelCopy::Unsupported;
        if (n < 0) {
            sysFail(err, ErrorCode::WriteFailed, outOffset + copied, "copy failed");
            markFailed();
            return KernelCopy::Failed;
        }
        if (n == 0) {
            fail(err, ErrorCode::Truncated, inOffset + copied, "source ended during copy");
            markFailed();
            return KernelCopy::Failed;
        }
        copied += static_cast<std::uint64_t>(n);
    }
    return KernelCopy::Done;
#else
    (void)in, (void)inOffset, (void)outOffset, (void)length, (void)err;
    return KernelCopy::Unsupported;
#endif
}

File::KernelCopy platform::cloneRange(File::Native in, std::uint64_t inOffset, File::Native out, std::uint64_t outOffset,
                                     std::uint64_t length, Error& err)
{
#ifdef FICLONERANGE
    if (length == 0)
        return File::KernelCopy::Done; // a zero length would mean "to the end of the source"
    file_clone_range range{};
    range.src_fd = static_cast<std::int64_t>(fdOf(in));
    range.src_offset = inOffset;
    range.src_length = length;
    range.dest_offset = outOffset;
    int rc;
    do
        rc = ::ioctl(fdOf(out), FICLONERANGE, &range);
    while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return File::KernelCopy::Done;
    // No sharing here (file system, mount, alignment, file kind): the caller copies instead. Anything else (EIO,
    // ENOSPC, EDQUOT) is a real failure that a copy would meet too.
    if (errno == EOPNOTSUPP || errno == ENOTTY || errno == ENOSYS || errno == EXDEV || errno == EINVAL ||
        errno == EPERM || errno == EBADF || errno == ETXTBSY || errno == EISDIR)
        return File::KernelCopy::Unsupported;
    sysFail(err, ErrorCode::WriteFailed, outOffset, "block clone failed");
    return File::KernelCopy::Failed;
#else
    (void)in, (void)inOffset, (void)out, (void)outOffset, (void)length, (void)err;
    return File::KernelCopy::Unsupported;
#endif
}

bool platform::blockSize(File::Native handle, std::uint64_t& out, Error& err)
{
    struct statvfs fs
    {
    };
    if (::fstatvfs(fdOf(handle), &fs) == 0 && fs.f_bsize > 0) {
        out = fs.f_bsize;
        return true;
    }
    struct stat st
    {
    };
    if (::fstat(fdOf(handle), &st) != 0)
        return sysFail(err, ErrorCode::Io, 0, "cannot examine the file system");
    out = st.st_blksize > 0 ? static_cast<std::uint64_t>(st.st_blksize) : 4096;
    return true;
}

bool platform::settle(File::Native handle, std::uint64_t offset, std::uint64_t length, Error& err)
{
    if (length == 0)
        return true;
#ifdef __linux__
    int rc;
    do
        rc = ::sync_file_range(fdOf(handle), static_cast<off64_t>(offset), static_cast<off64_t>(length),
                               SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    while (rc != 0 && errno == EINTR);
    // ENOSYS and the like: no ranged write-back here; the fsync before the replacement waits for everything.
    if (rc != 0 && errno != ENOSYS && errno != EINVAL && errno != ESPIPE)
        return sysFail(err, ErrorCode::WriteFailed, offset, "writing to disk failed");
#else
    (void)err;
#endif
    platform::dropCached(handle, offset, length);
    return true;
}

void platform::dropCached(File::Native handle, std::uint64_t offset, std::uint64_t length)
{
    if (length > 0)
        ::posix_fadvise(fdOf(handle), static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_DONTNEED);
}

bool File::startWriteback(std::uint64_t offset, std::uint64_t length, Error& err)
{
#ifdef __linux__
    if (length == 0)
        return true;
    int rc;
    do
        rc = ::sync_file_range(fdOf(m_handle), static_cast<off64_t>(offset), static_cast<off64_t>(length),
                               SYNC_FILE_RANGE_WRITE);
    while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno != ENOSYS && errno != EINVAL && errno != ESPIPE) {
        sysFail(err, ErrorCode::WriteFailed, offset, "writing to disk failed");
        return markFailed();
    }
#else
    (void)offset, (void)length, (void)err;
#endif
    return true;
}

bool File::sync(Error& err)
{
    if (m_failed)
        return fail(err, ErrorCode::WriteFailed, 0, "an earlier write to this file failed: its data cannot be trusted");
    int rc;
    do
        rc = ::fsync(fdOf(m_handle));
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        sysFail(err, ErrorCode::WriteFailed, 0, "fsync failed");
        return markFailed();
    }
    return true;
}

bool File::close(Error& err)
{
    if (m_handle == kInvalid)
        return true;
    const int fd = fdOf(m_handle);
    const bool owned = m_owned;
    m_handle = kInvalid;
    m_owned = false;
    // On Linux the descriptor is gone whatever close says, so it is never retried; an error (EINTR included,
    // where the outcome of a last flush is unknown) is reported.
    if (owned && ::close(fd) != 0) {
        sysFail(err, ErrorCode::WriteFailed, 0, "close failed");
        return markFailed();
    }
    return true;
}

} // namespace psd
