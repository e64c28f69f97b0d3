#include "psd/Source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
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

int Source::fileDescriptor(std::uint64_t& baseOffset) const
{
    baseOffset = 0;
    return -1;
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

FileSource::FileSource(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}

FileSource::~FileSource()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool FileSource::open(const std::string& path, SourcePtr& out, Error& err)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(err, ErrorCode::Io, 0, "cannot open " + path + ": " + std::strerror(errno));
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int e = errno;
        ::close(fd);
        return fail(err, ErrorCode::Io, 0,
                    "not a regular file: " + path + (e ? std::string(": ") + std::strerror(e) : ""));
    }
    out.reset(new FileSource(fd, std::uint64_t(st.st_size)));
    return true;
}

bool FileSource::read(std::uint64_t offset, void* out, std::size_t length, Error& err) const
{
    if (outOfRange(m_size, offset, length))
        return truncated(err, offset, length, m_size);
    auto* dst = static_cast<std::uint8_t*>(out);
    if (length < kCacheBlock / 4) {
        if (offset < m_cacheOffset || offset + length > m_cacheOffset + m_cacheLength) {
            m_cache.resize(kCacheBlock);
            const std::uint64_t start = offset;
            const std::size_t want = std::size_t(std::min<std::uint64_t>(kCacheBlock, m_size - start));
            std::size_t got = 0;
            m_cacheLength = 0;
            while (got < want) {
                const ssize_t n = ::pread(m_fd, m_cache.data() + got, want - got, off_t(start + got));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return fail(err, ErrorCode::Io, start + got, std::string("read failed: ") + std::strerror(errno));
                if (n == 0)
                    return fail(err, ErrorCode::Truncated, start + got, "file ended early (changed while reading?)");
                got += std::size_t(n);
            }
            m_cacheOffset = start;
            m_cacheLength = got;
        }
        std::memcpy(dst, m_cache.data() + (offset - m_cacheOffset), length);
        return true;
    }
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(m_fd, dst + got, length - got, off_t(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(err, ErrorCode::Io, offset + got, std::string("read failed: ") + std::strerror(errno));
        if (n == 0)
            return fail(err, ErrorCode::Truncated, offset + got, "file ended early (changed while reading?)");
        got += std::size_t(n);
    }
    return true;
}

int FileSource::fileDescriptor(std::uint64_t& baseOffset) const
{
    baseOffset = 0;
    return m_fd;
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

int ViewSource::fileDescriptor(std::uint64_t& baseOffset) const
{
    std::uint64_t parentBase = 0;
    const int fd = m_parent->fileDescriptor(parentBase);
    baseOffset = parentBase + m_offset;
    return fd;
}

} // namespace psd
