#include "psd/Sink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace psd {

namespace {
constexpr std::size_t kCopyChunk = 1024 * 1024;
}

bool Sink::copyFrom(const Source& source, std::uint64_t offset, std::uint64_t length, Error& err)
{
    std::vector<std::uint8_t> buffer(std::size_t(std::min<std::uint64_t>(length, kCopyChunk)));
    while (length > 0) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(length, buffer.size()));
        if (!source.read(offset, buffer.data(), n, err) || !write(buffer.data(), n, err))
            return false;
        offset += n;
        length -= n;
    }
    return true;
}

FileSink::FileSink(int fd) : m_fd(fd) {}

FileSink::~FileSink()
{
    if (m_owned && m_fd >= 0)
        ::close(m_fd);
}

bool FileSink::create(const std::string& path, std::unique_ptr<FileSink>& out, Error& err)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail(err, ErrorCode::Io, 0, "cannot create " + path + ": " + std::strerror(errno));
    out.reset(new FileSink(fd));
    out->m_owned = true;
    return true;
}

bool FileSink::write(const void* data, std::size_t length, Error& err)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = ::write(m_fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(err, ErrorCode::WriteFailed, m_written,
                        std::string("write failed: ") + (n < 0 ? std::strerror(errno) : "no progress"));
        p += n;
        length -= std::size_t(n);
        m_written += std::uint64_t(n);
    }
    return true;
}

bool FileSink::copyFrom(const Source& source, std::uint64_t offset, std::uint64_t length, Error& err)
{
    std::uint64_t base = 0;
    const int in = source.fileDescriptor(base);
    if (m_kernelCopyWorks && in >= 0) {
        if (offset > source.size() || length > source.size() - offset)
            return fail(err, ErrorCode::Truncated, offset, "copy runs past the end of the source");
        loff_t inOffset = loff_t(base + offset);
        while (length > 0) {
            const std::size_t want = std::size_t(std::min<std::uint64_t>(length, 1ull << 30));
            const ssize_t n = ::copy_file_range(in, &inOffset, m_fd, nullptr, want, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                          errno == EPERM || errno == EBADF)) {
                // The kernel or filesystem cannot do it: stream the rest through user space.
                m_kernelCopyWorks = false;
                break;
            }
            if (n < 0)
                return fail(err, ErrorCode::WriteFailed, m_written,
                            std::string("copy failed: ") + std::strerror(errno));
            if (n == 0)
                return fail(err, ErrorCode::Truncated, std::uint64_t(inOffset) - base, "source ended during copy");
            length -= std::uint64_t(n);
            offset += std::uint64_t(n);
            m_written += std::uint64_t(n);
            m_kernelCopied += std::uint64_t(n);
        }
        if (length == 0)
            return true;
    }
    return Sink::copyFrom(source, offset, length, err);
}

bool FileSink::sync(Error& err)
{
    if (::fsync(m_fd) != 0)
        return fail(err, ErrorCode::WriteFailed, m_written, std::string("fsync failed: ") + std::strerror(errno));
    return true;
}

bool FileSink::close(Error& err)
{
    if (!m_owned || m_fd < 0)
        return true;
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        return fail(err, ErrorCode::WriteFailed, m_written, std::string("close failed: ") + std::strerror(errno));
    return true;
}

bool MemorySink::write(const void* data, std::size_t length, Error& err)
{
    if (length > limit || m_bytes.size() > limit - length)
        return fail(err, ErrorCode::TooLarge, m_written, "output exceeds the memory sink's limit");
    const auto* p = static_cast<const std::uint8_t*>(data);
    m_bytes.insert(m_bytes.end(), p, p + length);
    m_written += length;
    return true;
}

} // namespace psd
