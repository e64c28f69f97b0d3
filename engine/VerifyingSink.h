#pragma once

#include "psd/File.h"
#include "psd/Sink.h"

#include <cstdint>
#include <vector>

namespace worker {

// A range of the output that was copied from the source and proven right after it was written: read back identical
// (copied), or made to share the source's blocks by one clone call for exactly this range whose first and last
// blocks then read back identical (cloned).
struct VerifiedCopy
{
    std::uint64_t outOffset = 0;
    std::uint64_t sourceOffset = 0;
    std::uint64_t length = 0;
    bool cloned = false;
};

// Writes the new file and checks every copied byte as it goes: each chunk is read from the source, written, read
// back through the same handle it was written with and compared while it is still in the processor's cache. Doing the
// check in the same pass as the copy costs little beyond the copy itself; a separate pass would read the original and
// the new file again. The disk writes behind a window of a few dozen MiB: older windows are waited for and dropped
// from the cache, so a file larger than the cache never piles up dirty pages until the system throttles the writer.
//
// With cloning allowed, a copy from the clone source whose offset keeps its place within a block has its whole
// blocks cloned instead; only the partial block before them, and after them unless the copy ends the source, is
// written. A file system that refuses turns cloning off and the copy goes on as above.
class VerifyingSink final : public psd::Sink
{
public:
    // Writes out from offset 0; out must be open for reading and writing.
    explicit VerifyingSink(psd::File& out);

    // Lets copies from source (the file behind the source being written) be cloned in units of blockSize.
    void allowCloning(const psd::File& source, std::uint64_t blockSize);

    bool write(const void* data, std::size_t length, psd::Error& err) override;
    bool copyFrom(const psd::Source& source, std::uint64_t offset, std::uint64_t length, psd::Error& err) override;

    // Starts writing back everything not yet started (does not wait). A write-back error fails the file.
    bool flushStarted(psd::Error& err);

    const std::vector<VerifiedCopy>& verifiedCopies() const { return m_verified; }
    std::uint64_t clonedBytes() const { return m_cloned; }

private:
    bool put(const std::uint8_t* data, std::size_t length, psd::Error& err);
    bool copyThrough(const psd::Source& source, std::uint64_t offset, std::uint64_t length, psd::Error& err);
    // Clones what it can of [offset, offset + length) of source; cloned says how much (0 when nothing).
    bool tryClone(const psd::Source& source, std::uint64_t offset, std::uint64_t length, std::uint64_t& cloned,
                  psd::Error& err);
    bool sameBlockAt(const psd::File& source, std::uint64_t sourceOffset, std::uint64_t outOffset, std::size_t length,
                     psd::Error& err);
    void record(std::uint64_t outOffset, std::uint64_t sourceOffset, std::uint64_t length, bool cloned);
    bool progress(psd::Error& err);

    psd::File& m_out;
    const psd::File* m_cloneSource = nullptr;
    std::uint64_t m_blockSize = 0;
    std::uint64_t m_cloned = 0;
    std::uint64_t m_started = 0; // writeback started up to here
    std::uint64_t m_settled = 0; // written to disk and dropped from the cache up to here
    std::vector<std::uint8_t> m_buffer;
    std::vector<std::uint8_t> m_readBack;
    std::vector<VerifiedCopy> m_verified;
};

} // namespace worker
