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
constexpr std::size_t kMaxTag = 4096;
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
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    while (limit - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i space =
            _mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
        __m128i stop = _mm_or_si128(_mm_andnot_si128(space, _mm_cmplt_epi8(v, control)), _mm_cmpeq_epi8(v, del));
        stop = _mm_or_si128(
            stop, _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, gt))));
        const unsigned mask = unsigned(_mm_movemask_epi8(stop));
        if (mask != 0)
            return p + __builtin_ctz(mask);
        p += 16;
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

// Name characters in ASCII: 1 can start a name, 2 can follow.
constexpr std::array<unsigned char, 256> makeNameTable()
{
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        const bool next = start || (c >= '0' && c <= '9') || c == '-' || c == '.';
        table[std::size_t(c)] = (start ? 1 : 0) | (next ? 2 : 0);
    }
    return table;
}

constexpr std::array<unsigned char, 256> kName = makeNameTable();

bool isNameStart(char c)
{
    return (kName[static_cast<unsigned char>(c)] & 1) != 0;
}

bool isNameChar(char c)
{
    return (kName[static_cast<unsigned char>(c)] & 2) != 0;
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

// The end of the name at q (NCName or prefix:NCName, ASCII only) or null; colon is set to the colon, if any.
const char* qualifiedName(const char* q, const char* limit, const char*& colon)
{
    colon = nullptr;
    if (q == limit || !isNameStart(*q))
        return nullptr;
    for (++q;; ++q) {
        while (q < limit && isNameChar(*q))
            ++q;
        if (q == limit || *q != ':')
            return q;
        if (colon != nullptr || q + 1 == limit || !isNameStart(q[1]))
            return nullptr;
        colon = q;
    }
}

// The prefixes in scope, with the few that items use remembered once found.
class Prefixes
{
public:
    explicit Prefixes(const std::vector<std::string>& bound) : m_bound(bound) {}

    bool isBound(const char* prefix, std::size_t length)
    {
        for (std::size_t i = 0; i < m_known; ++i) {
            if (m_cache[i].length == length && sameBytes(prefix, m_cache[i].bytes.data(), length))
                return true;
        }
        const std::string_view wanted(prefix, length);
        if (std::find(m_bound.begin(), m_bound.end(), wanted) == m_bound.end())
            return false;
        Name& slot = m_cache[m_known < m_cache.size() ? m_known++ : m_cache.size() - 1];
        std::memcpy(slot.bytes.data(), prefix, length);
        slot.length = length;
        return true;
    }

private:
    const std::vector<std::string>& m_bound;
    std::array<Name, 4> m_cache{};
    std::size_t m_known = 0;
};

// A name in a tag, kept to tell attributes apart; it points into the window, which holds the whole tag.
struct Local
{
    const char* bytes;
    std::size_t length;
};

// The attributes of a start tag from q (just past the element's name) up to the '/' or '>' that ends the tag,
// or null when they are outside the simple form: name="value" or name='value' with a name that is bound (never
// a namespace declaration), a value without '<' or '&', white space before each, no two with the same local name
// (so that no two can be the same attribute, whatever their prefixes stand for).
const char* attributes(const char* q, const char* limit, Prefixes& prefixes)
{
    std::array<Local, 16> seen{};
    std::size_t count = 0;
    for (;;) {
        const char* const before = q;
        while (q < limit && isSpace(*q))
            ++q;
        if (q == limit)
            return nullptr;
        if (*q == '>' || *q == '/')
            return q;
        if (q == before || count == seen.size())
            return nullptr;
        const char* colon = nullptr;
        const char* name = q;
        q = qualifiedName(q, limit, colon);
        if (q == nullptr || std::size_t(q - name) > kMaxName)
            return nullptr;
        const std::string_view prefix(name, colon != nullptr ? std::size_t(colon - name) : std::size_t(q - name));
        if (prefix == "xmlns" || (colon != nullptr && !prefixes.isBound(name, prefix.size())))
            return nullptr;
        const Local local{colon != nullptr ? colon + 1 : name, std::size_t(q - (colon != nullptr ? colon + 1 : name))};
        for (std::size_t i = 0; i < count; ++i) {
            if (seen[i].length == local.length && sameBytes(seen[i].bytes, local.bytes, local.length))
                return nullptr;
        }
        seen[count++] = local;
        while (q < limit && isSpace(*q))
            ++q;
        if (q == limit || *q != '=')
            return nullptr;
        ++q;
        while (q < limit && isSpace(*q))
            ++q;
        if (q == limit || (*q != '"' && *q != '\''))
            return nullptr;
        const char quote = *q++;
        while (q < limit && *q != quote && (kText[static_cast<unsigned char>(*q)] != 0 || *q == '>'))
            ++q;
        if (q == limit || *q != quote)
            return nullptr;
        ++q;
    }
}

} // namespace

SkipOutcome skipSimpleContent(const Source& source, std::uint64_t from, std::uint64_t end,
                              const std::vector<std::string>& boundPrefixes, SkipWindow& window, std::uint64_t& endTag,
                              Error& err)
{
    if (from >= end || end > source.size())
        return SkipOutcome::Declined;
    const char* p = nullptr;
    const char* limit = nullptr;
    // Points p at offset at, with the rest of the window (never past end) up to limit. A window is read only when
    // the one in memory does not hold at or, for a tag (wanted is kMaxTag), the bytes a tag may take after it.
    auto reach = [&](std::uint64_t at, std::size_t wanted) {
        const std::uint64_t need = std::min<std::uint64_t>(wanted, end - at);
        if (at < window.begin || at + need > window.begin + window.length) {
            const auto length = std::size_t(std::min<std::uint64_t>(kWindow, end - at));
            if (window.bytes.size() < length)
                window.bytes.resize(length);
            window.begin = at;
            window.length = 0;
            if (!source.read(at, window.bytes.data(), length, err))
                return false;
            window.length = length;
        }
        p = window.bytes.data() + (at - window.begin);
        limit = window.bytes.data() + std::size_t(std::min<std::uint64_t>(window.length, end - window.begin));
        return true;
    };
    auto offset = [&](const char* q) { return window.begin + std::uint64_t(q - window.bytes.data()); };
    if (!reach(from, 1))
        return SkipOutcome::ReadFailed;

    std::array<Name, kMaxDepth> open;
    std::size_t depth = 0;
    Prefixes prefixes(boundPrefixes);
    for (;;) {
        p = textEnd(p, limit);
        if (p == limit) {
            const std::uint64_t next = offset(limit);
            if (next >= end)
                return SkipOutcome::Declined; // the data ends inside the content
            if (!reach(next, 1))
                return SkipOutcome::ReadFailed;
            continue;
        }
        if (*p != '<')
            return SkipOutcome::Declined;
        if (!reach(offset(p), kMaxTag))
            return SkipOutcome::ReadFailed;

        const char* q = p + 1;
        const bool closing = q < limit && *q == '/';
        if (closing) {
            if (depth == 0) {
                endTag = offset(p);
                return SkipOutcome::Found;
            }
            ++q;
        }
        const char* const name = q;
        const char* colon = nullptr;
        q = qualifiedName(q, limit, colon);
        if (q == nullptr)
            return SkipOutcome::Declined;
        const auto nameLength = std::size_t(q - name);
        if (nameLength > kMaxName)
            return SkipOutcome::Declined;

        if (closing) {
            while (q < limit && isSpace(*q))
                ++q;
            const Name& top = open[depth - 1];
            if (q == limit || *q != '>' || nameLength != top.length || !sameBytes(name, top.bytes.data(), nameLength))
                return SkipOutcome::Declined;
            --depth;
            p = q + 1;
            continue;
        }
        q = attributes(q, limit, prefixes);
        if (q == nullptr)
            return SkipOutcome::Declined;
        const bool empty = *q == '/';
        if (empty)
            ++q;
        if (q == limit || *q != '>')
            return SkipOutcome::Declined;
        if (colon != nullptr && !prefixes.isBound(name, std::size_t(colon - name)))
            return SkipOutcome::Declined;
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
