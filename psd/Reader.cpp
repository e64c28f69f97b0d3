#include "psd/Reader.h"

#include <cstring>

namespace psd {

Reader::Reader(const Source& source, std::uint64_t begin, std::uint64_t end)
    : m_source(&source), m_begin(begin), m_pos(begin), m_end(end)
{
    if (end > source.size() || begin > end)
        fail(ErrorCode::LengthBeyondParent, begin, "window lies outside its source");
}

bool Reader::fail(ErrorCode code, std::uint64_t offset, std::string message)
{
    if (ok()) {
        m_err.code = code;
        m_err.offset = offset;
        m_err.message = std::move(message);
    }
    return false;
}

bool Reader::report(Error& err) const
{
    err = m_err;
    return false;
}

bool Reader::take(void* out, std::size_t length)
{
    if (!ok()) {
        std::memset(out, 0, length);
        return false;
    }
    if (length > remaining()) {
        std::memset(out, 0, length);
        return fail(ErrorCode::Truncated, m_pos,
                    "unexpected end of data: " + std::to_string(length) + " bytes needed, " +
                        std::to_string(remaining()) + " left before offset " + std::to_string(m_end));
    }
    Error e;
    if (!m_source->read(m_pos, out, length, e)) {
        std::memset(out, 0, length);
        return fail(e.code, e.offset, e.message);
    }
    m_pos += length;
    return true;
}

std::uint8_t Reader::u8()
{
    std::uint8_t b = 0;
    take(&b, 1);
    return b;
}

std::uint16_t Reader::u16()
{
    std::uint8_t b[2];
    take(b, 2);
    return std::uint16_t((b[0] << 8) | b[1]);
}

std::uint32_t Reader::u32()
{
    std::uint8_t b[4];
    take(b, 4);
    return (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) | b[3];
}

std::uint64_t Reader::u64()
{
    const std::uint64_t hi = u32();
    return (hi << 32) | u32();
}

double Reader::f64()
{
    const std::uint64_t bits = u64();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

bool Reader::bytes(void* out, std::size_t length)
{
    return take(out, length);
}

std::string Reader::string(std::uint64_t length, std::uint64_t maxLength)
{
    if (!ok())
        return {};
    if (length > remaining()) {
        fail(ErrorCode::Truncated, m_pos, "string of " + std::to_string(length) + " bytes runs past its section");
        return {};
    }
    if (length > maxLength) {
        fail(ErrorCode::Malformed, m_pos, "string of " + std::to_string(length) + " bytes is implausibly long");
        return {};
    }
    std::string s(std::size_t(length), '\0');
    take(s.data(), s.size());
    return s;
}

bool Reader::skip(std::uint64_t length)
{
    if (!ok())
        return false;
    if (length > remaining())
        return fail(ErrorCode::Truncated, m_pos,
                    "skip of " + std::to_string(length) + " bytes runs past its section (" +
                        std::to_string(remaining()) + " left)");
    m_pos += length;
    return true;
}

bool Reader::seek(std::uint64_t offset)
{
    if (!ok())
        return false;
    if (offset < m_begin || offset > m_end)
        return fail(ErrorCode::Malformed, m_pos, "seek outside the section");
    m_pos = offset;
    return true;
}

Reader Reader::sub(std::uint64_t length, const char* what)
{
    if (ok() && length > remaining()) {
        fail(ErrorCode::LengthBeyondParent, m_pos,
             std::string(what) + " length " + std::to_string(length) + " exceeds the " + std::to_string(remaining()) +
                 " bytes left in its section");
    }
    if (!ok()) {
        Reader r(*m_source, m_pos, m_pos);
        r.m_err = m_err;
        return r;
    }
    Reader r(*m_source, m_pos, m_pos + length);
    m_pos += length;
    return r;
}

std::string utf16BeToUtf8(const std::uint8_t* data, std::size_t units)
{
    std::string out;
    out.reserve(units);
    auto put = [&out](std::uint32_t cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xc0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            out += char(0xe0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3f));
            out += char(0x80 | (cp & 0x3f));
        } else {
            out += char(0xf0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3f));
            out += char(0x80 | ((cp >> 6) & 0x3f));
            out += char(0x80 | (cp & 0x3f));
        }
    };
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t u = (std::uint32_t(data[2 * i]) << 8) | data[2 * i + 1];
        if (u >= 0xd800 && u < 0xdc00 && i + 1 < units) {
            const std::uint32_t v = (std::uint32_t(data[2 * i + 2]) << 8) | data[2 * i + 3];
            if (v >= 0xdc00 && v < 0xe000) {
                put(0x10000 + ((u - 0xd800) << 10) + (v - 0xdc00));
                ++i;
                continue;
            }
        }
        put(u >= 0xd800 && u < 0xe000 ? 0xfffd : u);
    }
    return out;
}

std::string latin1ToUtf8(const std::string& bytes)
{
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += char(c);
        } else {
            out += char(0xc0 | (c >> 6));
            out += char(0x80 | (c & 0x3f));
        }
    }
    return out;
}

} // namespace psd
