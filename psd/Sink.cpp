#include "psd/Sink.h"

#include <algorithm>
#include <utility>

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

FileSink::FileSink(File file) : m_file(std::move(file)) {}

bool FileSink::create(const std::string& path, std::unique_ptr<FileSink>& out, Error& err)
{
    File file;
    if (!File::create(path, file, err))
        return false;
    out = std::make_unique<FileSink>(std::move(file));
    return true;
}

bool FileSink::write(const void* data, std::size_t length, Error& err)
{
    if (!m_file.writeAt(m_written, data, length, err))
        return false;
    m_written += length;
    return true;
}

bool FileSink::copyFrom(const Source& source, std::uint64_t offset, std::uint64_t length, Error& err)
{
    std::uint64_t base = 0;
    const File* in = source.file(base);
    if (m_kernelCopyWorks && in != nullptr) {
        if (offset > source.size() || length > source.size() - offset)
            return fail(err, ErrorCode::Truncated, offset, "copy runs past the end of the source");
        std::uint64_t copied = 0;
        const File::KernelCopy result = m_file.copyFrom(*in, base + offset, m_written, length, copied, err);
        m_written += copied;
        m_kernelCopied += copied;
        offset += copied;
        length -= copied;
        if (result == File::KernelCopy::Failed)
            return false;
        if (result == File::KernelCopy::Unsupported)
            m_kernelCopyWorks = false; // the rest goes through this process
    }
    return Sink::copyFrom(source, offset, length, err);
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
