#pragma once

#include "psd/Error.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace psd {

// An open file, read and written at explicit offsets, never through a shared file position: one handle can be
// written and read back in turn, and several readers can share it. Paths are UTF-8. The platform calls live in
// FilePosix.cpp and FileWindows.cpp (block sharing on Windows in FileCloneWindows.cpp); everything above this class
// is portable.
class File
{
public:
    // A POSIX descriptor or a Windows HANDLE.
    using Native = std::intptr_t;
    static constexpr Native kInvalid = -1;

    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens an existing regular file for reading.
    static bool openRead(const std::string& path, File& out, Error& err);
    // Creates or truncates path for writing and reading.
    static bool create(const std::string& path, File& out, Error& err);
    // Owns handle from now on (closes it).
    static File adopt(Native handle);
    // Uses handle without owning it: the caller closes it, after this File is gone.
    static File borrow(Native handle);

    bool isOpen() const { return m_handle != kInvalid; }
    Native native() const { return m_handle; }

    bool size(std::uint64_t& out, Error& err) const;
    // Exactly length bytes at offset; Truncated when the file ends first, Io when the system refuses.
    bool readAt(std::uint64_t offset, void* out, std::size_t length, Error& err) const;
    bool writeAt(std::uint64_t offset, const void* data, std::size_t length, Error& err);

    enum class KernelCopy { Done, Unsupported, Failed };
    // Copies [inOffset, inOffset + length) of in to outOffset of this file without passing the bytes through
    // this process. copied says how many were copied when it stops early: Unsupported leaves the rest to the
    // caller (the system or file system cannot do it), Failed fills err.
    KernelCopy copyFrom(const File& in, std::uint64_t inOffset, std::uint64_t outOffset, std::uint64_t length,
                        std::uint64_t& copied, Error& err);

    // Makes [outOffset, outOffset + length) of this file share in's blocks at [inOffset, inOffset + length), without
    // copying data, where the file system can (XFS with reflink, btrfs, ReFS). Both offsets must be multiples of the
    // file system's block size, and so must length unless the range ends at the end of in. All or nothing: Done
    // means the whole range, Unsupported that the system, file system or alignment refuses (nothing to report),
    // Failed fills err.
    KernelCopy cloneFrom(const File& in, std::uint64_t inOffset, std::uint64_t outOffset, std::uint64_t length,
                         Error& err);
    // The file system's block size (the cluster size on Windows): the unit clones are aligned to.
    bool blockSize(std::uint64_t& out, Error& err) const;

    // Asks the system to start writing [offset, offset + length) to disk; does not wait. An error it reports is
    // an error of the file's data, as from a write.
    bool startWriteback(std::uint64_t offset, std::uint64_t length, Error& err);
    // Waits until [offset, offset + length) is on disk and lets the system drop it from its cache: a file written
    // once and never read again should not crowd out everything else, nor pile up dirty pages. A write-back error
    // it reports fails the file: the system reports such an error once, and the pages it drops are gone.
    bool settle(std::uint64_t offset, std::uint64_t length, Error& err);
    // Lets the system drop [offset, offset + length) of a file that is only read from its cache. A hint only.
    void dropCached(std::uint64_t offset, std::uint64_t length) const;
    // Waits until the file's data is on disk. Fails, without asking the system, once any write, copy, clone,
    // write-back or flush through this handle has failed: the system reports a lost write once, so a later flush
    // of the same file can succeed although its data is not what was written.
    bool sync(Error& err);
    // True once a call that changes the file's data failed through this handle.
    bool failed() const { return m_failed; }
    // Closes an owned handle, reporting the close error; a borrowed one is only let go.
    bool close(Error& err);

private:
    File(Native handle, bool owned) : m_handle(handle), m_owned(owned) {}
    void release();
    // Records that the file's data can no longer be trusted; returns false for the caller to pass on.
    bool markFailed()
    {
        m_failed = true;
        return false;
    }

    Native m_handle = kInvalid;
    bool m_owned = false;
    bool m_failed = false;
};

} // namespace psd
