#include "worker/WritebackSink.h"

#include <algorithm>

#ifdef __linux__
#include <fcntl.h>
#endif

namespace worker {

namespace {
constexpr std::uint64_t kWritebackStep = 32ull * 1024 * 1024;
}

bool WritebackSink::write(const void* data, std::size_t length, psd::Error& err)
{
    if (!m_file.write(data, length, err))
        return false;
    m_written = m_file.offset();
    progress();
    return true;
}

bool WritebackSink::copyFrom(const psd::Source& source, std::uint64_t offset, std::uint64_t length, psd::Error& err)
{
    while (length > 0) {
        const std::uint64_t n = std::min(length, kWritebackStep);
        if (!m_file.copyFrom(source, offset, n, err))
            return false;
        m_written = m_file.offset();
        offset += n;
        length -= n;
        progress();
    }
    return true;
}

void WritebackSink::progress()
{
    if (m_onProgress)
        m_onProgress(m_written);
    if (m_written - m_started >= kWritebackStep)
        flushStarted();
}

void WritebackSink::flushStarted()
{
#ifdef __linux__
    if (m_written > m_started)
        ::sync_file_range(m_fd, static_cast<off64_t>(m_started), static_cast<off64_t>(m_written - m_started),
                          SYNC_FILE_RANGE_WRITE);
#endif
    m_started = m_written;
}

} // namespace worker
