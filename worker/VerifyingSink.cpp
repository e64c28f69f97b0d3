#include "worker/VerifyingSink.h"

#include <algorithm>
#include <cstring>

namespace worker {

namespace {
constexpr std::size_t kChunk = 1024 * 1024; // fits the processor cache with its read-back twin
constexpr std::uint64_t kWritebackStep = 32ull * 1024 * 1024;
} // namespace

VerifyingSink::VerifyingSink(psd::File& out) : m_out(out) {}

bool VerifyingSink::put(const std::uint8_t* data, std::size_t length, psd::Error& err)
{
    if (!m_out.writeAt(m_written, data, length, err))
        return false;
    m_written += length;
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
        if (!m_out.readAt(at, m_readBack.data(), n, err))
            return psd::fail(err, psd::ErrorCode::Io, at, "the new file cannot be read back: " + err.message);
        if (std::memcmp(m_buffer.data(), m_readBack.data(), n) != 0)
            return psd::fail(err, psd::ErrorCode::Io, at, "the new file does not read back what was written");
        done += n;
        progress();
    }
    if (length > 0) {
        // Adjacent copies of adjacent source ranges are one verified range.
        if (!m_verified.empty() && m_verified.back().outOffset + m_verified.back().length == outStart &&
            m_verified.back().sourceOffset + m_verified.back().length == offset)
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
    m_out.startWriteback(m_started, m_written - m_started);
    m_started = m_written;
}

} // namespace worker
