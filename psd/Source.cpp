#include "psd/Source.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace psd {

namespace {
constexpr std::size_t kCacheBlock = 64 * 1024;

bool outOfRange(std::uint64_t size, std::uint64_t offset, std::size_t length)
{
    return offset > size || length > size - offset;
}

bool truncated(Error& err, std::uint64_t offset, std::size_t length, std::uint64_t size)
{
    return fail(err, ErrorCode::Truncated, offset,
                "read of " + std::to_string(length) + " bytes runs past the end of the data (size " +
                    std::to_string(size) + ")");
}
} // namespace

const File* Source::file(std::uint64_t& baseOffset) const
{
    baseOffset = 0;
    return nullptr;
}

bool Source::readFailed(Error&) const
{
    return false;
}

bool Source::readBytes(std::uint64_t offset, std::uint64_t length, std::vector<std::uint8_t>& out, Error& err,
                       std::uint64_t maxLength) const
{
    if (length > maxLength)
        return fail(err, ErrorCode::TooLarge, offset,
                    "refusing to load " + std::to_string(length) + " bytes (limit " + std::to_string(maxLength) + ")");
    if (outOfRange(size(), offset, 0) || length > size() - offset)
        return truncated(err, offset, std::size_t(std::min<std::uint64_t>(length, SIZE_MAX)), size());
    out.resize(std::size_t(length));
    return length == 0 || read(offset, out.data(), std::size_t(length), err);
}

FileSource::FileSource(File file, std::uint64_t size) : m_file(std::move(file)), m_size(size) {}

bool FileSource::open(const std::string& path, SourcePtr& out, Error& err)
{
    File file;
    return File::openRead(path, file, err) && fromFile(std::move(file), out, err);
}

bool FileSource::fromFile(File file, SourcePtr& out, Error& err)
{
    std::uint64_t size = 0;
    if (!file.isOpen())
        return fail(err, ErrorCode::Io, 0, "no file to read");
    if (!file.size(size, err))
        return false;
    out.reset(new FileSource(std::move(file), size));
    return true;
}

bool FileSource::read(std::uint64_t offset, void* out, std::size_t length, Error& err) const
{
    if (outOfRange(m_size, offset, length))
        return truncated(err, offset, length, m_size);
    if (length >= kCacheBlock / 4)
        return readFile(offset, out, length, err);
    if (offset < m_cacheOffset || offset + length > m_cacheOffset + m_cacheLength) {
        m_cache.resize(kCacheBlock);
        const std::size_t want = std::size_t(std::min<std::uint64_t>(kCacheBlock, m_size - offset));
        m_cacheLength = 0;
        if (!readFile(offset, m_cache.data(), want, err))
            return false;
        m_cacheOffset = offset;
        m_cacheLength = want;
    }
    std::memcpy(out, m_cache.data() + (offset - m_cacheOffset), length);
    return true;
}

bool FileSource::readFile(std::uint64_t offset, void* out, std::size_t length, Error& err) const
{
    if (m_file.readAt(offset, out, length, err))
        return true;
    if (!m_readFailed) {
        m_readFailed = true;
        m_firstReadError = err;
    }
    return false;
}

bool FileSource::readFailed(Error& first) const
{
    if (m_readFailed)
        first = m_firstReadError;
    return m_readFailed;
}

const File* FileSource::file(std::uint64_t& baseOffset) const
{
    baseOffset = 0;
    return &m_file;
}

MemorySource::MemorySource(std::vector<std::uint8_t> bytes)
    : m_bytes(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes)))
{
}

MemorySource::MemorySource(std::shared_ptr<const std::vector<std::uint8_t>> bytes) : m_bytes(std::move(bytes))
{
    if (!m_bytes)
        m_bytes = std::make_shared<const std::vector<std::uint8_t>>();
}

SourcePtr MemorySource::make(std::vector<std::uint8_t> bytes)
{
    return std::make_shared<MemorySource>(std::move(bytes));
}

bool MemorySource::read(std::uint64_t offset, void* out, std::size_t length, Error& err) const
{
    if (outOfRange(m_bytes->size(), offset, length))
        return truncated(err, offset, length, m_bytes->size());
    if (length)
        std::memcpy(out, m_bytes->data() + offset, length);
    return true;
}

ViewSource::ViewSource(SourcePtr parent, std::uint64_t offset, std::uint64_t length)
    : m_parent(std::move(parent)), m_offset(offset), m_length(length)
{
}

bool ViewSource::make(SourcePtr parent, std::uint64_t offset, std::uint64_t length, SourcePtr& out, Error& err)
{
    if (!parent || offset > parent->size() || length > parent->size() - offset)
        return fail(err, ErrorCode::LengthBeyondParent, offset, "view lies outside its source");
    out.reset(new ViewSource(std::move(parent), offset, length));
    return true;
}

bool ViewSource::read(std::uint64_t offset, void* out, std::size_t length, Error& err) const
{
    if (outOfRange(m_length, offset, length))
        return truncated(err, offset, length, m_length);
    if (!m_parent->read(m_offset + offset, out, length, err)) {
        if (err.offset >= m_offset)
            err.offset -= m_offset;
        return false;
    }
    return true;
}

const File* ViewSource::file(std::uint64_t& baseOffset) const
{
    std::uint64_t parentBase = 0;
    const File* file = m_parent->file(parentBase);
    baseOffset = parentBase + m_offset;
    return file;
}

} // namespace psd
