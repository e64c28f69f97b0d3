#include "psd/File.h"
#include "psd/FileClone.h"

#include <utility>

namespace psd {

File::~File()
{
    release();
}

File::File(File&& other) noexcept
    : m_handle(std::exchange(other.m_handle, kInvalid)), m_owned(std::exchange(other.m_owned, false)),
      m_failed(std::exchange(other.m_failed, false))
{
}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        release();
        m_handle = std::exchange(other.m_handle, kInvalid);
        m_owned = std::exchange(other.m_owned, false);
        m_failed = std::exchange(other.m_failed, false);
    }
    return *this;
}

File File::adopt(Native handle)
{
    return File(handle, true);
}

File File::borrow(Native handle)
{
    return File(handle, false);
}

File::KernelCopy File::cloneFrom(const File& in, std::uint64_t inOffset, std::uint64_t outOffset, std::uint64_t length,
                                 Error& err)
{
    const KernelCopy result = platform::cloneRange(in.m_handle, inOffset, m_handle, outOffset, length, err);
    if (result == KernelCopy::Failed)
        markFailed();
    return result;
}

bool File::blockSize(std::uint64_t& out, Error& err) const
{
    return platform::blockSize(m_handle, out, err);
}

bool File::settle(std::uint64_t offset, std::uint64_t length, Error& err)
{
    if (!platform::settle(m_handle, offset, length, err))
        return markFailed();
    return true;
}

void File::dropCached(std::uint64_t offset, std::uint64_t length) const
{
    platform::dropCached(m_handle, offset, length);
}

void File::release()
{
    Error ignored;
    close(ignored);
}

} // namespace psd
