#include "psd/File.h"

#include <utility>

namespace psd {

File::~File()
{
    release();
}

File::File(File&& other) noexcept
    : m_handle(std::exchange(other.m_handle, kInvalid)), m_owned(std::exchange(other.m_owned, false))
{
}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        release();
        m_handle = std::exchange(other.m_handle, kInvalid);
        m_owned = std::exchange(other.m_owned, false);
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

void File::release()
{
    Error ignored;
    close(ignored);
}

} // namespace psd
