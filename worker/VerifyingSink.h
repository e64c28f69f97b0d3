#pragma once

#include "psd/File.h"
#include "psd/Sink.h"

#include <cstdint>
#include <vector>

namespace worker {

// A range of the output that was copied from the source and read back identical right after it was written.
struct VerifiedCopy
{
    std::uint64_t outOffset = 0;
    std::uint64_t sourceOffset = 0;
    std::uint64_t length = 0;
};

// Writes the new file and checks every copied byte as it goes: each chunk is read from the source, written, read
// back through the same handle it was written with and compared while it is still in the processor's cache. Doing the
// check in the same pass as the copy costs little beyond the copy itself; a separate pass would read the original and
// the new file again. Every few dozen MiB the kernel is asked to start writing to disk, so the final fsync has little
// left to wait for.
class VerifyingSink final : public psd::Sink
{
public:
    // Writes out from offset 0; out must be open for reading and writing.
    explicit VerifyingSink(psd::File& out);

    bool write(const void* data, std::size_t length, psd::Error& err) override;
    bool copyFrom(const psd::Source& source, std::uint64_t offset, std::uint64_t length, psd::Error& err) override;

    // Starts writing back everything not yet started (does not wait).
    void flushStarted();

    const std::vector<VerifiedCopy>& verifiedCopies() const { return m_verified; }

private:
    bool put(const std::uint8_t* data, std::size_t length, psd::Error& err);
    void progress();

    psd::File& m_out;
    std::uint64_t m_started = 0;
    std::vector<std::uint8_t> m_buffer;
    std::vector<std::uint8_t> m_readBack;
    std::vector<VerifiedCopy> m_verified;
};

} // namespace worker
