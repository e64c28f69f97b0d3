#pragma once

#include "psd/Error.h"
#include "psd/Source.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace psd {

// Where a document is written. Bytes are appended in order; offset() is the number written so far.
class Sink
{
public:
    virtual ~Sink() = default;

    virtual bool write(const void* data, std::size_t length, Error& err) = 0;

    // Appends [offset, offset + length) of source. The default streams through a bounded buffer.
    virtual bool copyFrom(const Source& source, std::uint64_t offset, std::uint64_t length, Error& err);

    std::uint64_t offset() const { return m_written; }

protected:
    std::uint64_t m_written = 0;
};

// Writes a file from its start. Copies from file sources are made inside the kernel where the system can
// (falling back to reading and writing where the kernel or file system refuses).
class FileSink final : public Sink
{
public:
    // Creates or truncates path (mode 0644 before umask). The sink owns and closes the file.
    static bool create(const std::string& path, std::unique_ptr<FileSink>& out, Error& err);
    // Writes through file (owned or borrowed) from offset 0.
    explicit FileSink(File file);

    bool write(const void* data, std::size_t length, Error& err) override;
    bool copyFrom(const Source& source, std::uint64_t offset, std::uint64_t length, Error& err) override;

    // Call before renaming the file into place.
    bool sync(Error& err) { return m_file.sync(err); }
    // Closes an owned file, reporting the close error.
    bool close(Error& err) { return m_file.close(err); }
    File& file() { return m_file; }
    // Bytes copied inside the kernel (for benchmarks).
    std::uint64_t kernelCopiedBytes() const { return m_kernelCopied; }

private:
    File m_file;
    bool m_kernelCopyWorks = true;
    std::uint64_t m_kernelCopied = 0;
};

class MemorySink final : public Sink
{
public:
    bool write(const void* data, std::size_t length, Error& err) override;
    std::vector<std::uint8_t>& bytes() { return m_bytes; }
    std::vector<std::uint8_t> take()
    {
        m_written = 0;
        return std::move(m_bytes);
    }

    // Refuses to grow past this (the fuzzer and embedded documents stay bounded).
    std::uint64_t limit = 1ull << 32;

private:
    std::vector<std::uint8_t> m_bytes;
};

} // namespace psd
