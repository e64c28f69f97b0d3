#pragma once

#include "psd/Error.h"
#include "psd/Source.h"

#include <cstdint>
#include <string>
#include <vector>

namespace psd {

// A bounded big-endian cursor over a window of a Source. The first failure is sticky: later reads return zero
// and do not move, and failedAt()/error() name the first fault (LLVM DataExtractor's Cursor).
class Reader
{
public:
    Reader(const Source& source, std::uint64_t begin, std::uint64_t end);
    explicit Reader(const Source& source) : Reader(source, 0, source.size()) {}

    bool ok() const { return m_err.code == ErrorCode::None; }
    const Error& error() const { return m_err; }
    std::uint64_t offset() const { return m_pos; }
    std::uint64_t end() const { return m_end; }
    std::uint64_t remaining() const { return m_pos <= m_end ? m_end - m_pos : 0; }

    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    std::uint64_t u64();
    std::int16_t i16() { return static_cast<std::int16_t>(u16()); }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    double f64();
    // u32 or u64 by width (4 or 8).
    std::uint64_t length(unsigned width) { return width == 8 ? u64() : u32(); }
    bool bytes(void* out, std::size_t length);
    // Reads length bytes into a string; fails beyond maxLength.
    std::string string(std::uint64_t length, std::uint64_t maxLength = 1u << 20);
    bool skip(std::uint64_t length);
    bool seek(std::uint64_t offset); // within [begin, end]

    // A reader over the next length bytes; this reader moves past them. Fails (LengthBeyondParent) when they
    // do not fit in what remains.
    Reader sub(std::uint64_t length, const char* what);

    // Marks the reader failed with this fault (first fault wins) and returns false.
    bool fail(ErrorCode code, std::uint64_t offset, std::string message);
    // Puts prefix before the message of the first fault, to say where it happened.
    void addContext(const std::string& prefix)
    {
        if (!ok())
            m_err.message = prefix + m_err.message;
    }
    // Copies the first fault into err and returns false.
    bool report(Error& err) const;

    const Source& source() const { return *m_source; }

private:
    bool take(void* out, std::size_t length);

    const Source* m_source;
    std::uint64_t m_begin;
    std::uint64_t m_pos;
    std::uint64_t m_end;
    Error m_err;
};

// UTF-16BE code units to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16BeToUtf8(const std::uint8_t* data, std::size_t units);
// Latin-1 bytes to UTF-8.
std::string latin1ToUtf8(const std::string& bytes);

} // namespace psd
