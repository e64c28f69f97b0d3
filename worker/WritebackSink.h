#pragma once

#include "psd/Sink.h"

#include <functional>

namespace worker {

// Writes through a FileSink and, every few dozen MiB, asks the kernel to start writing the finished part to
// disk. The final fsync then has little left to wait for, and the page cache never fills with dirty pages
// that stall the copy.
class WritebackSink final : public psd::Sink {
public:
    // onProgress hears the number of bytes written so far after every step.
    WritebackSink(int fd, std::function<void(std::uint64_t)> onProgress)
        : m_file(fd), m_fd(fd), m_onProgress(std::move(onProgress))
    {
    }

    bool write(const void* data, std::size_t length, psd::Error& err) override;
    bool copyFrom(const psd::Source& source, std::uint64_t offset, std::uint64_t length, psd::Error& err) override;

    // Starts writing back everything not yet started (does not wait).
    void flushStarted();

private:
    void progress();

    psd::FileSink m_file;
    int m_fd;
    std::function<void(std::uint64_t)> m_onProgress;
    std::uint64_t m_started = 0;
};

} // namespace worker
