#pragma once

#include "psd/Error.h"
#include "psd/File.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace psd {

// A random-access byte source. Reads are bounded: nothing here maps or loads a whole file.
// Sources are not thread-safe (a file source keeps a small read cache).
class Source
{
public:
    virtual ~Source() = default;

    virtual std::uint64_t size() const = 0;

    // Reads exactly length bytes at offset into out; fails (Truncated or Io) otherwise.
    virtual bool read(std::uint64_t offset, void* out, std::size_t length, Error& err) const = 0;

    // The file behind this source and the file offset of this source's byte 0, or null when the bytes do not
    // come straight from a file. Lets a file sink copy inside the kernel.
    virtual const File* file(std::uint64_t& baseOffset) const;

    // True, with the error in first, once a read failed for another reason than the data's own bounds: the
    // system refused it, or the file ended sooner than it did when the source was made. A parser that takes a
    // failed read for a damaged field must not take a failing disk for a damaged file.
    virtual bool readFailed(Error& first) const;

    // Reads [offset, offset + length) into a new buffer; refuses lengths above maxLength.
    bool readBytes(std::uint64_t offset, std::uint64_t length, std::vector<std::uint8_t>& out, Error& err,
                   std::uint64_t maxLength = kDefaultMaxLoad) const;

    static constexpr std::uint64_t kDefaultMaxLoad = 256ull * 1024 * 1024;
};

using SourcePtr = std::shared_ptr<const Source>;

// A file read at explicit offsets in bounded chunks. Its size is taken when the source is made.
class FileSource final : public Source
{
public:
    static bool open(const std::string& path, SourcePtr& out, Error& err);
    // Reads through an open file (owned or borrowed), such as the one a writer has just filled.
    static bool fromFile(File file, SourcePtr& out, Error& err);

    std::uint64_t size() const override { return m_size; }
    bool read(std::uint64_t offset, void* out, std::size_t length, Error& err) const override;
    const File* file(std::uint64_t& baseOffset) const override;
    bool readFailed(Error& first) const override;

private:
    FileSource(File file, std::uint64_t size);
    bool readFile(std::uint64_t offset, void* out, std::size_t length, Error& err) const;

    File m_file;
    std::uint64_t m_size = 0;
    // One small cache block: the parser reads many tiny fields close together.
    mutable std::vector<std::uint8_t> m_cache;
    mutable std::uint64_t m_cacheOffset = 0;
    mutable std::size_t m_cacheLength = 0;
    mutable bool m_readFailed = false;
    mutable Error m_firstReadError;
};

// An in-memory buffer (embedded documents written to memory, tests, the fuzzer).
class MemorySource final : public Source
{
public:
    explicit MemorySource(std::vector<std::uint8_t> bytes);
    MemorySource(std::shared_ptr<const std::vector<std::uint8_t>> bytes);
    static SourcePtr make(std::vector<std::uint8_t> bytes);

    std::uint64_t size() const override { return m_bytes->size(); }
    bool read(std::uint64_t offset, void* out, std::size_t length, Error& err) const override;
    const std::vector<std::uint8_t>& bytes() const { return *m_bytes; }

private:
    std::shared_ptr<const std::vector<std::uint8_t>> m_bytes;
};

// A window [offset, offset + length) of another source, seen as a source of its own (offsets start at 0).
class ViewSource final : public Source
{
public:
    // Fails when the window does not lie inside parent.
    static bool make(SourcePtr parent, std::uint64_t offset, std::uint64_t length, SourcePtr& out, Error& err);

    std::uint64_t size() const override { return m_length; }
    bool read(std::uint64_t offset, void* out, std::size_t length, Error& err) const override;
    const File* file(std::uint64_t& baseOffset) const override;
    bool readFailed(Error& first) const override { return m_parent->readFailed(first); }
    std::uint64_t offsetInParent() const { return m_offset; }

private:
    ViewSource(SourcePtr parent, std::uint64_t offset, std::uint64_t length);

    SourcePtr m_parent;
    std::uint64_t m_offset = 0;
    std::uint64_t m_length = 0;
};

} // namespace psd
