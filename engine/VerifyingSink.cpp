#include "engine/VerifyingSink.h"

#include "engine/StopRequest.h"

#include <algorithm>
#include <cstring>

namespace worker {

namespace {
constexpr std::size_t kChunk = 1024 * 1024; // fits the processor cache with its read-back twin
constexpr std::uint64_t kWritebackStep = 32ull * 1024 * 1024;
} // namespace

VerifyingSink::VerifyingSink(psd::File& out) : m_out(out) {}

void VerifyingSink::allowCloning(const psd::File& source, std::uint64_t blockSize)
{
    m_cloneSource = blockSize > 0 ? &source : nullptr;
    m_blockSize = blockSize;
}

bool VerifyingSink::put(const std::uint8_t* data, std::size_t length, psd::Error& err)
{
    if (!m_out.writeAt(m_written, data, length, err))
        return false;
    m_written += length;
    return true;
}

bool VerifyingSink::write(const void* data, std::size_t length, psd::Error& err)
{
    return put(static_cast<const std::uint8_t*>(data), length, err) && progress(err);
}

bool VerifyingSink::copyFrom(const psd::Source& source, std::uint64_t offset, std::uint64_t length, psd::Error& err)
{
    if (offset > source.size() || length > source.size() - offset)
        return psd::fail(err, psd::ErrorCode::Truncated, offset, "copy runs past the end of the source");
    std::uint64_t baseOffset = 0;
    if (m_cloneSource != nullptr && source.file(baseOffset) == m_cloneSource && length >= 2 * m_blockSize) {
        // The partial block before the first whole one is written; the rest is cloned where the system can.
        const std::uint64_t lead = (m_blockSize - m_written % m_blockSize) % m_blockSize;
        if ((baseOffset + offset + lead) % m_blockSize == 0) {
            std::uint64_t cloned = 0;
            if (!copyThrough(source, offset, lead, err) || !tryClone(source, offset + lead, length - lead, cloned, err))
                return false;
            offset += lead + cloned;
            length -= lead + cloned;
        }
    }
    return copyThrough(source, offset, length, err);
}

bool VerifyingSink::copyThrough(const psd::Source& source, std::uint64_t offset, std::uint64_t length, psd::Error& err)
{
    m_buffer.resize(kChunk);
    m_readBack.resize(kChunk);
    const std::uint64_t outStart = m_written;
    for (std::uint64_t done = 0; done < length;) {
        if (stopRequested())
            return psd::fail(err, psd::ErrorCode::Io, m_written, "the run was asked to stop");
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
        if (!progress(err))
            return false;
    }
    record(outStart, offset, length, false);
    return true;
}

bool VerifyingSink::tryClone(const psd::Source& source, std::uint64_t offset, std::uint64_t length,
                             std::uint64_t& cloned, psd::Error& err)
{
    cloned = 0;
    std::uint64_t baseOffset = 0;
    const psd::File& in = *source.file(baseOffset);
    std::uint64_t inSize = 0;
    if (!in.size(inSize, err))
        return false;
    const std::uint64_t from = baseOffset + offset;
    // Whole blocks only, unless the range runs to the end of the source file, where the last block may be partial.
    std::uint64_t span = from + length == inSize ? length : length / m_blockSize * m_blockSize;
    if (span == 0)
        return true;
    switch (m_out.cloneFrom(in, from, m_written, span, err)) {
    case psd::File::KernelCopy::Failed:
        return false;
    case psd::File::KernelCopy::Unsupported:
        m_cloneSource = nullptr; // this file system, or this pair of files, does not share blocks: copy
        return true;
    case psd::File::KernelCopy::Done:
        break;
    }
    // The call covered exactly this range; its first and last blocks must now read as the source does there.
    const std::size_t edge = static_cast<std::size_t>(std::min(span, m_blockSize));
    if (!sameBlockAt(in, from, m_written, edge, err) ||
        !sameBlockAt(in, from + span - edge, m_written + span - edge, edge, err))
        return false;
    record(m_written, offset, span, true);
    m_written += span;
    m_started = m_settled = m_written; // nothing of it is dirty
    m_cloned += span;
    cloned = span;
    return true;
}

bool VerifyingSink::sameBlockAt(const psd::File& source, std::uint64_t sourceOffset, std::uint64_t outOffset,
                                std::size_t length, psd::Error& err)
{
    m_buffer.resize(std::max(kChunk, length));
    m_readBack.resize(std::max(kChunk, length));
    if (!source.readAt(sourceOffset, m_buffer.data(), length, err))
        return false;
    if (!m_out.readAt(outOffset, m_readBack.data(), length, err))
        return psd::fail(err, psd::ErrorCode::Io, outOffset, "the cloned range cannot be read back: " + err.message);
    if (std::memcmp(m_buffer.data(), m_readBack.data(), length) != 0)
        return psd::fail(err, psd::ErrorCode::Io, outOffset, "the cloned range does not read back as its source");
    return true;
}

void VerifyingSink::record(std::uint64_t outOffset, std::uint64_t sourceOffset, std::uint64_t length, bool cloned)
{
    if (length == 0)
        return;
    // Adjacent ranges of adjacent source bytes, proven the same way, are one range.
    if (!m_verified.empty()) {
        VerifiedCopy& last = m_verified.back();
        if (last.cloned == cloned && last.outOffset + last.length == outOffset &&
            last.sourceOffset + last.length == sourceOffset) {
            last.length += length;
            return;
        }
    }
    m_verified.push_back({outOffset, sourceOffset, length, cloned});
}

bool VerifyingSink::progress(psd::Error& err)
{
    return m_written - m_started < kWritebackStep || flushStarted(err);
}

bool VerifyingSink::flushStarted(psd::Error& err)
{
    // The window started before this one has had a whole window's time to reach the disk: wait for what is left of
    // it and let the cache drop it. One window stays in flight while the next is filled.
    if (!m_out.settle(m_settled, m_started - m_settled, err))
        return false;
    m_settled = m_started;
    if (!m_out.startWriteback(m_started, m_written - m_started, err))
        return false;
    m_started = m_written;
    return true;
}

} // namespace worker
