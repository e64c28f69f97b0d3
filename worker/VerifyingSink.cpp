#include "worker/VerifyingSink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace worker {

namespace {
constexpr std::size_t kChunk = 1024 * 1024;            // fits the processor cache with its read-back twin
constexpr std::uint64_t kWritebackStep = 32ull * 1024 * 1024;
}

VerifyingSink::VerifyingSink(int fd, int readBackFd) : m_fd(fd), m_readBackFd(readBackFd) {}

bool VerifyingSink::put(const std::uint8_t* data, std::size_t length, psd::Error& err)
{
    while (length > 0) {
        const ssize_t n = ::write(m_fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return psd::fail(err, psd::ErrorCode::WriteFailed, m_written,
                             std::string("write failed: ") + (n < 0 ? std::strerror(errno) : "no progress"));
        data += n;
        length -= static_cast<std::size_t>(n);
        m_written += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool VerifyingSink::write(const void* data, std::size_t length, psd::Error& err)
{
    if (!put(static_cast<const std::uint8_t*>(data), length, err))
        return false;
    progress();
    return true;
}

bool VerifyingSink::copyFrom(const psd::Source& source, std::uint64_t offset, std::uint64_t length, psd::Error& err)
{
    if (offset > source.size() || length > source.size() - offset)
        return psd::fail(err, psd::ErrorCode::Truncated, offset, "copy runs past the end of the source");
    m_buffer.resize(kChunk);
    m_readBack.resize(kChunk);
    const std::uint64_t outStart = m_written;
    for (std::uint64_t done = 0; done < length;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, length - done));
        if (!source.read(offset + done, m_buffer.data(), n, err))
            return false;
        const std::uint64_t at = m_written;
        if (!put(m_buffer.data(), n, err))
            return false;
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = ::pread(m_readBackFd, m_readBack.data() + got, n - got, static_cast<off_t>(at + got));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return psd::fail(err, psd::ErrorCode::Io, at, "the new file cannot be read back");
            got += static_cast<std::size_t>(r);
        }
        if (std::memcmp(m_buffer.data(), m_readBack.data(), n) != 0)
            return psd::fail(err, psd::ErrorCode::Io, at, "the new file does not read back what was written");
        done += n;
        progress();
    }
    if (length > 0) {
        // Adjacent copies of adjacent source ranges are one verified range.
        if (!m_verified.empty() && m_verified.back().outOffset + m_verified.back().length == outStart
            && m_verified.back().sourceOffset + m_verified.back().length == offset)
            m_verified.back().length += length;
        else
            m_verified.push_back({outStart, offset, length});
    }
    return true;
}

void VerifyingSink::progress()
{
    if (m_written - m_started >= kWritebackStep)
        flushStarted();
}

void VerifyingSink::flushStarted()
{
#ifdef __linux__
    if (m_written > m_started)
        ::sync_file_range(m_fd, static_cast<off64_t>(m_started), static_cast<off64_t>(m_written - m_started),
                          SYNC_FILE_RANGE_WRITE);
#endif
    m_started = m_written;
}

} // namespace worker
