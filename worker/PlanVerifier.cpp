#include "worker/PlanVerifier.h"

#include "worker/TextUtil.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace worker {

namespace {

// Copied ranges are compared through short-lived read-only mappings: no copy into user space, and at most two
// windows are mapped at a time, so the resident size stays small whatever the file size.
constexpr std::size_t kChunk = 8 * 1024 * 1024;

class Window {
public:
    Window(int fd, std::uint64_t offset, std::size_t length)
    {
        const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        const std::uint64_t base = offset - offset % page;
        m_length = static_cast<std::size_t>(offset - base) + length;
        m_map = ::mmap(nullptr, m_length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(base));
        if (m_map == MAP_FAILED) {
            m_map = nullptr;
            return;
        }
        ::madvise(m_map, m_length, MADV_SEQUENTIAL);
        m_data = static_cast<const std::uint8_t*>(m_map) + (offset - base);
    }
    ~Window()
    {
        if (m_map != nullptr)
            ::munmap(m_map, m_length);
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    const std::uint8_t* data() const { return m_data; }

private:
    void* m_map = nullptr;
    std::size_t m_length = 0;
    const std::uint8_t* m_data = nullptr;
};

bool readExactly(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t length)
{
    while (length > 0) {
        const ssize_t n = ::pread(fd, out, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        offset += static_cast<std::uint64_t>(n);
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

PlanVerifier::PlanVerifier(const psd::WritePlan& plan, const psd::Source& original)
    : m_plan(plan), m_original(original)
{
}

PlanVerifier::~PlanVerifier()
{
    if (m_thread.joinable()) {
        WorkerError ignored;
        finish(ignored);
    }
    if (m_writtenFd >= 0)
        ::close(m_writtenFd);
}

bool PlanVerifier::start(const std::filesystem::path& written, WorkerError& err)
{
    // The source's own descriptor is read with pread only, which shares no state with the writer's use of it.
    m_originalFd = m_original.fileDescriptor(m_originalBase);
    if (m_originalFd < 0)
        return fail(err, "ValidationError", "the original cannot be read back for the byte check");
    m_writtenFd = ::open(written.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (m_writtenFd < 0)
        return fail(err, "IoError", "cannot re-open " + pathText(written) + ": " + std::strerror(errno));
    m_thread = std::thread([this] { run(); });
    return true;
}

void PlanVerifier::advance(std::uint64_t written)
{
    {
        const std::lock_guard lock(m_mutex);
        m_written = written;
    }
    m_moved.notify_one();
}

bool PlanVerifier::finish(WorkerError& err)
{
    {
        const std::lock_guard lock(m_mutex);
        m_finished = true;
    }
    m_moved.notify_one();
    if (m_thread.joinable())
        m_thread.join();
    if (!m_ok) {
        err = m_error;
        return false;
    }
    struct stat st {};
    if (::fstat(m_writtenFd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != m_plan.outputSize)
        return fail(err, "ValidationError", "the written file does not have the planned size");
    return true;
}

bool PlanVerifier::waitFor(std::uint64_t end)
{
    std::unique_lock lock(m_mutex);
    m_moved.wait(lock, [&] { return m_written >= end || m_finished; });
    return m_written >= end;
}

void PlanVerifier::run()
{
    m_ok = check(m_error);
}

bool PlanVerifier::check(WorkerError& err)
{
    std::vector<std::uint8_t> written;
    for (const psd::PlanPiece& piece : m_plan.pieces) {
        for (std::uint64_t done = 0; done < piece.length;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, piece.length - done));
            const std::uint64_t at = piece.outOffset + done;
            if (!waitFor(at + n))
                return fail(err, "ValidationError", "the written file ends before the planned end");
            bool same = false;
            if (piece.copy) {
                const Window ours(m_writtenFd, at, n);
                const Window theirs(m_originalFd, m_originalBase + piece.sourceOffset + done, n);
                if (ours.data() == nullptr || theirs.data() == nullptr)
                    return fail(err, "ValidationError", "the files cannot be read back at " + std::to_string(at));
                same = std::memcmp(ours.data(), theirs.data(), n) == 0;
            } else {
                written.resize(n);
                if (!readExactly(m_writtenFd, at, written.data(), n))
                    return fail(err, "ValidationError", "the written file cannot be read back at " + std::to_string(at));
                same = std::memcmp(written.data(), piece.bytes->data() + piece.bytesOffset + done, n) == 0;
            }
            if (!same)
                return fail(err, "ValidationError",
                            "the written file differs from its plan near byte " + std::to_string(at));
            done += n;
        }
    }
    return true;
}

} // namespace worker
