#include "psd/xmp/ContentSkip.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace psd::xmp {

namespace {

constexpr std::size_t kWindow = std::size_t(1) << 20;
// A tag that starts closer than this to the end of the window is read again at the start of the next one.
constexpr std::size_t kMaxTag = 512;
constexpr std::size_t kMaxName = 128;
constexpr std::size_t kMaxDepth = 32;

// 1 for the bytes text may hold here; everything else stops the run of text.
constexpr std::array<unsigned char, 256> makeTextTable()
{
    std::array<unsigned char, 256> table{};
    for (int c = 0x20; c <= 0x7E; ++c)
        table[std::size_t(c)] = 1;
    table['<'] = table['&'] = table['>'] = 0;
    table['\t'] = table['\n'] = table['\r'] = 1;
    return table;
}

constexpr std::array<unsigned char, 256> kText = makeTextTable();

bool isTextSpace(char c)
{
    return c == '\t' || c == '\n' || c == '\r';
}

// The first byte at or after p that cannot be text (or limit). Items are short runs between tags, so sixteen
// bytes are looked at together where the processor can.
const char* textEnd(const char* p, const char* limit)
{
#if defined(__SSE2__)
    const __m128i control = _mm_set1_epi8(0x20); // and, compared signed, every byte from 0x80
    const __m128i del = _mm_set1_epi8(0x7F);
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i amp = _mm_set1_epi8('&');
    const __m128i gt = _mm_set1_epi8('>');
    while (limit - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i stop = _mm_or_si128(_mm_cmplt_epi8(v, control), _mm_cmpeq_epi8(v, del));
        stop = _mm_or_si128(
            stop, _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, gt))));
        const unsigned mask = unsigned(_mm_movemask_epi8(stop));
        if (mask == 0) {
            p += 16;
            continue;
        }
        p += __builtin_ctz(mask);
        if (!isTextSpace(*p))
            return p;
        ++p;
    }
#endif
    while (p < limit && kText[static_cast<unsigned char>(*p)] != 0)
        ++p;
    return p;
}

bool sameBytes(const char* a, const char* b, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return false;
    }
    return true;
}

bool isNameStart(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool isNameChar(char c)
{
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

struct Name
{
    std::array<char, kMaxName> bytes;
    std::size_t length;
};

} // namespace

SkipOutcome skipSimpleContent(const Source& source, std::uint64_t from, std::uint64_t end,
                              const std::vector<std::string>& boundPrefixes, std::vector<char>& buffer,
                              std::uint64_t& endTag, Error& err)
{
    if (from >= end || end > source.size())
        return SkipOutcome::Declined;
    const auto window = std::size_t(std::min<std::uint64_t>(kWindow, end - from));
    if (buffer.size() < window)
        buffer.resize(window);
    std::uint64_t windowBegin = 0;
    std::size_t windowLength = 0;
    const char* p = nullptr;
    const char* limit = nullptr;
    auto load = [&](std::uint64_t at) {
        windowBegin = at;
        windowLength = std::size_t(std::min<std::uint64_t>(window, end - at));
        p = buffer.data();
        limit = p + windowLength;
        return source.read(at, buffer.data(), windowLength, err);
    };
    if (!load(from))
        return SkipOutcome::ReadFailed;

    std::array<Name, kMaxDepth> open;
    std::size_t depth = 0;
    Name lastPrefix{{}, SIZE_MAX}; // the prefix found bound last time: items repeat it
    for (;;) {
        p = textEnd(p, limit);
        if (p == limit) {
            const std::uint64_t next = windowBegin + windowLength;
            if (next >= end)
                return SkipOutcome::Declined; // the data ends inside the content
            if (!load(next))
                return SkipOutcome::ReadFailed;
            continue;
        }
        if (*p != '<')
            return SkipOutcome::Declined;
        if (std::size_t(limit - p) < kMaxTag && windowBegin + windowLength < end) {
            if (!load(windowBegin + std::uint64_t(p - buffer.data())))
                return SkipOutcome::ReadFailed;
        }

        const char* q = p + 1;
        const bool closing = q < limit && *q == '/';
        if (closing) {
            if (depth == 0) {
                endTag = windowBegin + std::uint64_t(p - buffer.data());
                return SkipOutcome::Found;
            }
            ++q;
        }
        const char* name = q;
        const char* colon = nullptr;
        if (q == limit || !isNameStart(*q))
            return SkipOutcome::Declined;
        for (++q; q < limit && (isNameChar(*q) || *q == ':'); ++q) {
            if (*q != ':')
                continue;
            if (colon != nullptr || q + 1 == limit || !isNameStart(q[1]))
                return SkipOutcome::Declined;
            colon = q;
        }
        const auto nameLength = std::size_t(q - name);
        if (nameLength > kMaxName)
            return SkipOutcome::Declined;
        while (q < limit && isSpace(*q))
            ++q;

        if (closing) {
            const Name& top = open[depth - 1];
            if (q == limit || *q != '>' || nameLength != top.length || !sameBytes(name, top.bytes.data(), nameLength))
                return SkipOutcome::Declined;
            --depth;
            p = q + 1;
            continue;
        }
        const bool empty = q < limit && *q == '/';
        if (empty)
            ++q;
        if (q == limit || *q != '>')
            return SkipOutcome::Declined; // attributes, or a tag that does not end where it may
        if (colon != nullptr) {
            const auto prefixLength = std::size_t(colon - name);
            if (prefixLength != lastPrefix.length || !sameBytes(name, lastPrefix.bytes.data(), prefixLength)) {
                const std::string_view prefix(name, prefixLength);
                if (std::find(boundPrefixes.begin(), boundPrefixes.end(), prefix) == boundPrefixes.end())
                    return SkipOutcome::Declined;
                std::memcpy(lastPrefix.bytes.data(), name, prefixLength);
                lastPrefix.length = prefixLength;
            }
        }
        if (!empty) {
            if (depth == kMaxDepth)
                return SkipOutcome::Declined;
            std::memcpy(open[depth].bytes.data(), name, nameLength);
            open[depth].length = nameLength;
            ++depth;
        }
        p = q + 1;
    }
}

} // namespace psd::xmp
