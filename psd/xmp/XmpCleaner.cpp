#include "psd/xmp/XmpCleaner.h"

#include "psd/xmp/ContentSkip.h"

#include <expat.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>

namespace psd::xmp {

namespace {

// expat reports a namespaced name as "<uri><separator><local name>". 0x01 cannot occur in XML 1.0 text (not
// even as a character reference), so no URI or local name can contain it and fake a match.
constexpr XML_Char kSeparator = '\x01';

// The tail scanned for NUL padding and the backward look for indentation read this much at a time.
constexpr std::size_t kBackChunk = 64 * 1024;

bool isRemovedName(std::string_view expatName)
{
    const std::size_t sep = expatName.rfind(kSeparator);
    if (sep == std::string_view::npos)
        return false; // no namespace
    return isRemovedElement(expatName.substr(0, sep), expatName.substr(sep + 1));
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// What the parser may allocate. expat's memory suite has no user pointer, so the budget of the clean running on
// this thread is reached through a thread-local; each block carries its size in front of it.
struct MemoryBudget
{
    std::size_t limit = 0;
    std::size_t used = 0;
    std::uint64_t allocationsLeft = 0;
    bool exhausted = false; // an allocation was refused: whatever the parser said next, the packet is unknown
};

thread_local MemoryBudget* t_budget = nullptr;

constexpr std::size_t kBlockHeader = alignof(std::max_align_t);

bool grant(MemoryBudget* budget, std::size_t more)
{
    if (budget == nullptr || budget->allocationsLeft == 0 || more > budget->limit - budget->used ||
        more > SIZE_MAX - kBlockHeader) {
        if (budget != nullptr)
            budget->exhausted = true;
        return false;
    }
    return true;
}

void* XMLCALL budgetMalloc(std::size_t size)
{
    MemoryBudget* budget = t_budget;
    if (!grant(budget, size))
        return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(size + kBlockHeader));
    if (block == nullptr) {
        budget->exhausted = true;
        return nullptr;
    }
    --budget->allocationsLeft;
    budget->used += size;
    std::memcpy(block, &size, sizeof size);
    return block + kBlockHeader;
}

void XMLCALL budgetFree(void* ptr)
{
    if (ptr == nullptr)
        return;
    auto* block = static_cast<unsigned char*>(ptr) - kBlockHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    if (t_budget != nullptr)
        t_budget->used -= std::min(size, t_budget->used);
    std::free(block);
}

void* XMLCALL budgetRealloc(void* ptr, std::size_t size)
{
    if (ptr == nullptr)
        return budgetMalloc(size);
    MemoryBudget* budget = t_budget;
    auto* block = static_cast<unsigned char*>(ptr) - kBlockHeader;
    std::size_t old = 0;
    std::memcpy(&old, block, sizeof old);
    if (!grant(budget, size > old ? size - old : 0))
        return nullptr;
    auto* grown = static_cast<unsigned char*>(std::realloc(block, size + kBlockHeader));
    if (grown == nullptr) {
        budget->exhausted = true;
        return nullptr;
    }
    --budget->allocationsLeft;
    budget->used = budget->used - old + size;
    std::memcpy(grown, &size, sizeof size);
    return grown + kBlockHeader;
}

const XML_Memory_Handling_Suite kBudgetSuite = {budgetMalloc, budgetRealloc, budgetFree};

class BudgetScope
{
public:
    explicit BudgetScope(MemoryBudget& budget) : m_previous(t_budget) { t_budget = &budget; }
    ~BudgetScope() { t_budget = m_previous; }
    BudgetScope(const BudgetScope&) = delete;
    BudgetScope& operator=(const BudgetScope&) = delete;

private:
    MemoryBudget* m_previous;
};

class ParserHandle
{
public:
    ParserHandle() : m_parser(XML_ParserCreate_MM(nullptr, &kBudgetSuite, &kSeparator)) {}
    ~ParserHandle()
    {
        if (m_parser != nullptr)
            XML_ParserFree(m_parser);
    }
    ParserHandle(const ParserHandle&) = delete;
    ParserHandle& operator=(const ParserHandle&) = delete;
    XML_Parser get() const { return m_parser; }

private:
    XML_Parser m_parser;
};

// A packet in memory seen as a source, without a copy.
class SpanSource final : public Source
{
public:
    explicit SpanSource(std::string_view bytes) : m_bytes(bytes) {}
    std::uint64_t size() const override { return m_bytes.size(); }
    bool read(std::uint64_t offset, void* out, std::size_t length, Error& err) const override
    {
        if (offset > m_bytes.size() || length > m_bytes.size() - offset)
            return fail(err, ErrorCode::Truncated, offset, "read past the end of the XMP packet");
        std::memcpy(out, m_bytes.data() + offset, length);
        return true;
    }

private:
    std::string_view m_bytes;
};

// Reads single bytes of a source going backwards, a block at a time. The first block reaches back no further
// than floor (where the look is known to stop), so that many small elements one after another do not cost a
// whole block each.
class BackReader
{
public:
    BackReader(const Source& source, std::uint64_t floor) : m_source(source), m_floor(floor) {}
    bool at(std::uint64_t i, char& c)
    {
        if (i < m_begin || i >= m_end) {
            m_end = i + 1;
            m_begin = m_end > m_buffer.size() ? m_end - m_buffer.size() : 0;
            m_begin = std::max(m_begin, std::min(m_floor, i));
            m_floor = 0;
            if (!m_source.read(m_begin, m_buffer.data(), std::size_t(m_end - m_begin), m_error)) {
                m_begin = m_end = 0;
                return false;
            }
        }
        c = m_buffer[std::size_t(i - m_begin)];
        return true;
    }
    const Error& error() const { return m_error; }

private:
    const Source& m_source;
    std::uint64_t m_floor = 0;
    std::array<char, 4096> m_buffer{};
    std::uint64_t m_begin = 0, m_end = 0;
    Error m_error;
};

enum class Stop { None, OutOfMemory, TooManyRanges, ReadFailed, FromEntity, LeftOver };

// One pass of expat over the packet (or, when checking, over the packet with the cuts left out). Keeps only
// counters and the merged ranges: nothing here grows with the packet's size or the nesting depth.
struct Scan
{
    const Source* source = nullptr;
    XML_Parser parser = nullptr;
    bool checking = false; // the second pass: any element to remove left is a failure
    // The content of a removed element may be skipped instead of parsed (see feedSkipping). Turned off for
    // good by anything that could make the skip see the content differently from the parser: a document type
    // declaration, an encoding other than UTF-8, more prefixes than are tracked.
    bool skipping = false;
    std::vector<std::string> prefixes;        // bound where the parser stands, innermost last
    std::uint64_t skipped = 0;                // bytes of the packet not handed to the parser so far
    std::uint64_t openedContent = UINT64_MAX; // where the content of the removed element just opened starts
    bool ascii = true;                        // indentation is cut only in ASCII-compatible packets
    std::size_t maxRanges = 0;
    std::size_t depth = 0;         // elements open at the current event
    std::size_t removingDepth = 0; // depth of the element being removed, 0 when none
    std::uint64_t removingBegin = 0;
    bool rootClosed = false;
    std::vector<ByteRange> ranges;
    std::size_t elements = 0;
    bool hasTrailer = false;
    std::uint64_t trailerOffset = 0;
    Stop stop = Stop::None;
    std::uint64_t stopOffset = 0;
    Error readError;

    // The parser's current position in the packet: it has not seen the skipped bytes.
    std::uint64_t position() const { return std::uint64_t(XML_GetCurrentByteIndex(parser)) + skipped; }

    void halt(Stop why, std::uint64_t at = 0)
    {
        stop = why;
        stopOffset = at;
        XML_StopParser(parser, XML_FALSE);
    }
};

// Where the cut for an element starting at begin really starts. When the element opens its own line, the line
// break before it and the indentation go too: "...>\n      <xmpMM:History>...</xmpMM:History>\n   </rdf:..."
// loses "\n      <xmpMM:History>...</xmpMM:History>". This is only done when the text between the previous markup
// and the element is white space alone (element content, where it carries no meaning); next to real text the
// element goes alone. The backward look stops at the first byte that is not white space, so over all elements it
// reads each byte about once; it never reaches into the previous cut, whose last byte is a '>'.
bool cutStart(BackReader& data, std::uint64_t begin, std::uint64_t& start)
{
    start = begin;
    std::uint64_t i = begin;
    char c = 0;
    for (; i > 0; --i) {
        if (!data.at(i - 1, c))
            return false;
        if (c != ' ' && c != '\t')
            break;
    }
    if (i == 0)
        return true;
    std::uint64_t lineBreak = i - 1;
    if (c == '\n') {
        char before = 0;
        if (lineBreak > 0) {
            if (!data.at(lineBreak - 1, before))
                return false;
            if (before == '\r')
                --lineBreak;
        }
    } else if (c != '\r') {
        return true;
    }
    std::uint64_t j = lineBreak;
    for (; j > 0; --j) {
        if (!data.at(j - 1, c))
            return false;
        if (!isBlank(c))
            break;
    }
    if (j > 0 && c == '>')
        start = lineBreak;
    return true;
}

void addRange(Scan& scan, ByteRange range)
{
    if (!scan.ranges.empty() && scan.ranges.back().end == range.begin) {
        scan.ranges.back().end = range.end;
        return;
    }
    if (scan.ranges.size() >= scan.maxRanges)
        return scan.halt(Stop::TooManyRanges, range.begin);
    try {
        scan.ranges.push_back(range);
    } catch (const std::bad_alloc&) {
        // expat is C: nothing may be thrown through it.
        scan.halt(Stop::OutOfMemory, range.begin);
    }
}

void XMLCALL onStart(void* userData, const XML_Char* name, const XML_Char**)
{
    auto* scan = static_cast<Scan*>(userData);
    ++scan->depth;
    if (scan->removingDepth != 0 || scan->depth < 2 || !isRemovedName(name))
        return;
    const auto begin = scan->position();
    if (scan->checking)
        return scan->halt(Stop::LeftOver, begin);
    // Inside the replacement text of an internal entity expat reports the position of the entity reference:
    // the element has no bytes of its own in the packet, and cutting the reference could take more with it.
    // A start tag begins with '<' in every encoding ("\0<" in UTF-16BE); an entity reference with '&'.
    std::array<char, 4> head{};
    const std::size_t n = std::size_t(std::min<std::uint64_t>(head.size(), scan->source->size() - begin));
    if (!scan->source->read(begin, head.data(), n, scan->readError))
        return scan->halt(Stop::ReadFailed, begin);
    const auto first = std::find_if(head.begin(), head.begin() + std::ptrdiff_t(n), [](char c) { return c != '\0'; });
    if (first == head.begin() + std::ptrdiff_t(n) || *first != '<')
        return scan->halt(Stop::FromEntity, begin);
    std::uint64_t start = begin;
    if (scan->ascii) {
        // The look stops at the '>' that ends the last cut, if not before.
        BackReader back(*scan->source, scan->ranges.empty() ? 0 : scan->ranges.back().end - 1);
        if (!cutStart(back, begin, start)) {
            scan->readError = back.error();
            return scan->halt(Stop::ReadFailed, begin);
        }
    }
    scan->removingDepth = scan->depth;
    scan->removingBegin = start;
    scan->openedContent = begin + std::uint64_t(XML_GetCurrentByteCount(scan->parser));
}

void XMLCALL onEnd(void* userData, const XML_Char*)
{
    auto* scan = static_cast<Scan*>(userData);
    if (scan->removingDepth == scan->depth) {
        // For an empty-element tag the end event sits at the end of the tag with a count of 0.
        const auto end = scan->position() + std::uint64_t(XML_GetCurrentByteCount(scan->parser));
        scan->removingDepth = 0;
        ++scan->elements;
        addRange(*scan, {scan->removingBegin, end});
    }
    if (--scan->depth == 0)
        scan->rootClosed = true;
}

void XMLCALL onProcessingInstruction(void* userData, const XML_Char* target, const XML_Char* data)
{
    auto* scan = static_cast<Scan*>(userData);
    if (scan->depth == 0 && scan->rootClosed && std::string_view(target) == "xpacket" &&
        std::string_view(data).starts_with("end=")) {
        scan->hasTrailer = scan->ascii;
        scan->trailerOffset = scan->position();
    }
}

// More prefixes in scope than this (nobody writes so many) and the skip is no longer offered.
constexpr std::size_t kMaxPrefixes = 256;

void XMLCALL onNamespaceStart(void* userData, const XML_Char* prefix, const XML_Char*)
{
    auto* scan = static_cast<Scan*>(userData);
    if (!scan->skipping || prefix == nullptr)
        return;
    if (scan->prefixes.size() == kMaxPrefixes) {
        scan->skipping = false;
        return;
    }
    try {
        scan->prefixes.emplace_back(prefix);
    } catch (const std::bad_alloc&) {
        scan->skipping = false;
    }
}

void XMLCALL onNamespaceEnd(void* userData, const XML_Char* prefix)
{
    auto* scan = static_cast<Scan*>(userData);
    if (!scan->skipping || prefix == nullptr)
        return;
    const auto it = std::find(scan->prefixes.rbegin(), scan->prefixes.rend(), std::string_view(prefix));
    if (it != scan->prefixes.rend())
        scan->prefixes.erase(std::next(it).base());
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return (x >= 'A' && x <= 'Z' ? char(x - 'A' + 'a') : x) == y; });
}

void XMLCALL onXmlDeclaration(void* userData, const XML_Char*, const XML_Char* encoding, int)
{
    auto* scan = static_cast<Scan*>(userData);
    if (encoding != nullptr && !equalsIgnoringCase(encoding, "utf-8"))
        scan->skipping = false;
}

// A DTD can give elements attributes by default, namespace declarations among them: content without attributes
// is no longer what it looks like.
void XMLCALL onDoctype(void* userData, const XML_Char*, const XML_Char*, const XML_Char*, int)
{
    static_cast<Scan*>(userData)->skipping = false;
}

struct Feeder
{
    const Source& source;
    std::size_t chunk;
};

constexpr std::string_view kRemovedLocalNames[] = {"DocumentAncestors", "History"};

// More start tags than this in one chunk that look like removed elements are parsed, not looked at.
constexpr std::size_t kMaxTagsPerChunk = 4096;

// The ends (just past the '>') of the start tags in data that may open a removed element: a local name of the
// removal set right after '<' or after '<' and a prefix, and right before '>'. Only hints: the parser says
// whether one really is (and not text in a comment, say). Each byte is looked at once per name.
void findRemovedStartTags(const char* data, std::size_t length, std::vector<std::uint32_t>& tagEnds)
{
    tagEnds.clear();
    const std::string_view text(data, length);
    for (const std::string_view local : kRemovedLocalNames) {
        for (std::size_t at = text.find(local); at != std::string_view::npos && tagEnds.size() < kMaxTagsPerChunk;
             at = text.find(local, at + 1)) {
            const std::size_t after = at + local.size();
            if (after >= length || data[after] != '>' || at == 0)
                continue;
            std::size_t i = at - 1;
            if (data[i] == ':') {
                const std::size_t stop = i > 64 ? i - 64 : 0;
                while (i > stop && data[i - 1] != '<' && data[i - 1] != ':' && !isBlank(data[i - 1]) &&
                       data[i - 1] != '>')
                    --i;
                if (i == 0 || data[i - 1] != '<' || i == at - 1)
                    continue;
            } else if (data[i] != '<') {
                continue;
            }
            tagEnds.push_back(std::uint32_t(after + 1));
        }
    }
    std::sort(tagEnds.begin(), tagEnds.end());
}

// Like feed, for the first pass: at each removed element whose start tag the parser has just read, its content
// is given to skipSimpleContent, and when that finds the end tag the parser goes on from there, never seeing the
// content. The cut is the same either way (the parser reports the element's start and end as before, and every
// offset it gives is moved by what it did not see); a packet the skip cannot vouch for is parsed as usual.
// Each chunk is read and searched once; it is read again only from where a skip lands outside it.
bool feedSkipping(Scan& scan, const Feeder& feeder, std::uint64_t begin, std::uint64_t end)
{
    std::vector<char> buffer(std::size_t(std::min<std::uint64_t>(feeder.chunk, end - begin)));
    std::vector<std::uint32_t> tagEnds;
    SkipWindow skipWindow;
    std::uint64_t chunkBegin = 0;
    std::size_t usable = 0; // of the chunk: a tag cut by its end waits for the next chunk
    std::size_t next = 0;   // the first tag end not passed yet
    for (std::uint64_t pos = begin; pos < end;) {
        if (pos < chunkBegin || pos >= chunkBegin + usable) {
            const auto n = std::size_t(std::min<std::uint64_t>(buffer.size(), end - pos));
            if (!feeder.source.read(pos, buffer.data(), n, scan.readError)) {
                scan.stop = Stop::ReadFailed;
                scan.stopOffset = pos;
                return false;
            }
            chunkBegin = pos;
            usable = n;
            if (pos + n < end) {
                const std::size_t lt = std::string_view(buffer.data(), n).rfind('<');
                if (lt != std::string_view::npos && lt != 0 && n - lt <= 256)
                    usable = lt;
            }
            tagEnds.clear();
            next = 0;
            if (scan.skipping)
                findRemovedStartTags(buffer.data(), usable, tagEnds);
        }
        const auto at = std::size_t(pos - chunkBegin);
        while (next < tagEnds.size() && tagEnds[next] <= at)
            ++next;
        const bool atTag = next < tagEnds.size();
        const std::size_t stop = atTag ? tagEnds[next] : usable;
        scan.openedContent = UINT64_MAX;
        if (XML_Parse(scan.parser, buffer.data() + at, int(stop - at), XML_FALSE) != XML_STATUS_OK)
            return false;
        pos = chunkBegin + stop;
        if (!atTag || !scan.skipping || scan.openedContent != pos || scan.removingDepth != scan.depth)
            continue;
        std::uint64_t endTag = 0;
        Error err;
        switch (skipSimpleContent(feeder.source, pos, end, scan.prefixes, skipWindow, endTag, err)) {
        case SkipOutcome::Found:
            scan.skipped += endTag - pos;
            pos = endTag;
            break;
        case SkipOutcome::Declined:
            break;
        case SkipOutcome::ReadFailed:
            scan.readError = std::move(err);
            scan.stop = Stop::ReadFailed;
            scan.stopOffset = pos;
            return false;
        }
    }
    return true;
}

// Hands [begin, end) of source to the parser in chunks read straight into expat's buffer.
bool feed(Scan& scan, const Feeder& feeder, std::uint64_t begin, std::uint64_t end)
{
    if (scan.skipping)
        return feedSkipping(scan, feeder, begin, end);
    for (std::uint64_t pos = begin; pos < end;) {
        const auto n = std::size_t(std::min<std::uint64_t>(feeder.chunk, end - pos));
        void* buffer = XML_GetBuffer(scan.parser, int(n));
        if (buffer == nullptr)
            return false;
        if (!feeder.source.read(pos, buffer, n, scan.readError)) {
            scan.stop = Stop::ReadFailed;
            scan.stopOffset = pos;
            return false;
        }
        if (XML_ParseBuffer(scan.parser, int(n), XML_FALSE) != XML_STATUS_OK)
            return false;
        pos += n;
    }
    return true;
}

XmpOutcome setFailure(const Scan& scan, const MemoryBudget& budget, XmpError& error)
{
    switch (scan.stop) {
    case Stop::OutOfMemory:
        error = {scan.stopOffset, "out of memory"};
        return XmpOutcome::OutOfMemory;
    case Stop::TooManyRanges:
        error = {scan.stopOffset, "more than " + std::to_string(scan.maxRanges) + " separate elements to cut"};
        return XmpOutcome::OutOfMemory;
    case Stop::ReadFailed:
        error = {scan.stopOffset, "cannot read the XMP packet: " + scan.readError.describe()};
        return XmpOutcome::ReadFailed;
    case Stop::FromEntity:
        error = {scan.stopOffset, "an element to remove is produced by an entity reference"};
        return XmpOutcome::Unsupported;
    case Stop::LeftOver:
        error = {scan.stopOffset, "an element to remove is left"};
        return XmpOutcome::Unsupported;
    case Stop::None:
        break;
    }
    if (budget.exhausted || XML_GetErrorCode(scan.parser) == XML_ERROR_NO_MEMORY) {
        error = {0, "the XML parser ran out of memory (limit " + std::to_string(budget.limit) + " bytes)"};
        return XmpOutcome::OutOfMemory;
    }
    error.offset = XML_GetCurrentByteIndex(scan.parser) < 0 ? 0 : scan.position();
    error.message = "line " + std::to_string(XML_GetCurrentLineNumber(scan.parser)) + ", column " +
                    std::to_string(XML_GetCurrentColumnNumber(scan.parser)) + ": " +
                    XML_ErrorString(XML_GetErrorCode(scan.parser));
    return XmpOutcome::NotWellFormed;
}

// Runs one pass; the ranges fed are [0, end) less skip (sorted, disjoint).
bool runPass(Scan& scan, const Feeder& feeder, std::uint64_t end, const std::vector<ByteRange>& skip,
             MemoryBudget& budget, XmpOutcome& outcome, XmpError& error)
{
    ParserHandle handle;
    if (handle.get() == nullptr) {
        error = {0, "out of memory"};
        outcome = XmpOutcome::OutOfMemory;
        return false;
    }
    scan.parser = handle.get();
    XML_SetUserData(scan.parser, &scan);
    XML_SetElementHandler(scan.parser, onStart, onEnd);
    XML_SetProcessingInstructionHandler(scan.parser, onProcessingInstruction);
    if (scan.skipping) {
        XML_SetNamespaceDeclHandler(scan.parser, onNamespaceStart, onNamespaceEnd);
        XML_SetXmlDeclHandler(scan.parser, onXmlDeclaration);
        XML_SetStartDoctypeDeclHandler(scan.parser, onDoctype);
    }
    // No external entity handler is installed, so external entities and the external DTD subset are never
    // read; parameter entities stay unparsed. The limit on entity amplification is expat's default.
    XML_SetParamEntityParsing(scan.parser, XML_PARAM_ENTITY_PARSING_NEVER);

    bool ok = true;
    std::uint64_t from = 0;
    for (const ByteRange& r : skip) {
        ok = ok && feed(scan, feeder, from, r.begin);
        from = r.end;
    }
    ok = ok && feed(scan, feeder, from, end) && XML_Parse(scan.parser, "", 0, XML_TRUE) == XML_STATUS_OK;
    if (!ok)
        outcome = setFailure(scan, budget, error);
    scan.parser = nullptr;
    return ok;
}

// UTF-16 and UTF-32 packets (legal XMP, never written by Photoshop) have NUL bytes of their own and multi-byte
// white space: for them no NUL padding is trimmed and no indentation is removed.
bool asciiCompatible(const unsigned char* head, std::size_t n)
{
    if (n < 2)
        return true;
    return !((head[0] == 0xFE && head[1] == 0xFF) || (head[0] == 0xFF && head[1] == 0xFE) || head[0] == 0 ||
             head[1] == 0);
}

// The end of the packet without its NUL padding, read backwards.
bool endWithoutNuls(const Source& packet, std::uint64_t& end, Error& err)
{
    std::vector<char> buffer(kBackChunk);
    end = packet.size();
    while (end > 0) {
        const auto n = std::size_t(std::min<std::uint64_t>(buffer.size(), end));
        if (!packet.read(end - n, buffer.data(), n, err))
            return false;
        for (std::size_t i = n; i > 0; --i) {
            if (buffer[i - 1] != '\0') {
                end = end - n + i;
                return true;
            }
        }
        end -= n;
    }
    return true;
}

bool cleanStream(const Source& packet, XmpCleanResult& out, XmpError& error, const XmpCleanOptions& options,
                 MemoryBudget& budget)
{
    if (packet.size() == 0)
        return true;
    std::array<unsigned char, 2> head{};
    const auto headLength = std::size_t(std::min<std::uint64_t>(2, packet.size()));
    Error readError;
    if (!packet.read(0, head.data(), headLength, readError)) {
        error = {0, "cannot read the XMP packet: " + readError.describe()};
        out.outcome = XmpOutcome::ReadFailed;
        return false;
    }
    const bool ascii = asciiCompatible(head.data(), headLength);
    std::uint64_t parsedEnd = packet.size();
    // Writers pad the resource with NULs after the packet; they are no XML, so expat must not see them, but
    // they are kept (the cut ranges all lie before them).
    if (ascii && !endWithoutNuls(packet, parsedEnd, readError)) {
        error = {0, "cannot read the XMP packet: " + readError.describe()};
        out.outcome = XmpOutcome::ReadFailed;
        return false;
    }
    if (parsedEnd == 0) {
        error = {0, "the packet holds only NUL bytes"};
        out.outcome = XmpOutcome::NotWellFormed;
        return false;
    }

    const Feeder feeder{packet, std::max<std::size_t>(1, std::min<std::size_t>(options.chunkSize, 1u << 30))};
    const auto firstPass = [&](bool skipping) {
        Scan pass;
        pass.source = &packet;
        pass.ascii = ascii;
        pass.maxRanges = options.maxRanges;
        pass.skipping = skipping;
        return pass;
    };
    Scan scan = firstPass(ascii && options.skipSimpleContent);
    const bool parsed = runPass(scan, feeder, parsedEnd, {}, budget, out.outcome, error);
    out.unparsedBytes = scan.skipped;
    if (!parsed) {
        if (out.outcome != XmpOutcome::NotWellFormed || scan.skipped == 0)
            return false;
        // The parser's line and column leave out what it did not see: the whole packet again, for the message.
        Scan exact = firstPass(false);
        runPass(exact, feeder, parsedEnd, {}, budget, out.outcome, error);
        return false;
    }
    out.hasTrailer = scan.hasTrailer;
    out.trailerOffset = scan.trailerOffset;
    if (scan.ranges.empty())
        return true;

    // The cut packet must parse again and hold nothing more to remove; if not, something about this packet is
    // beyond what the splice understands and the original is kept. Only the kept bytes are read.
    Scan check;
    check.source = &packet;
    check.checking = true;
    XmpError checkError;
    if (!runPass(check, feeder, parsedEnd, scan.ranges, budget, out.outcome, checkError)) {
        if (out.outcome == XmpOutcome::NotWellFormed || out.outcome == XmpOutcome::Unsupported) {
            out.outcome = XmpOutcome::Unsupported;
            checkError.message = "the packet with the elements cut out did not check out: " + checkError.message;
        }
        error = std::move(checkError);
        out.hasTrailer = false;
        return false;
    }
    out.outcome = XmpOutcome::Cleaned;
    out.removedElements = scan.elements;
    out.removedRanges = std::move(scan.ranges);
    return true;
}

} // namespace

bool isRemovedElement(std::string_view namespaceUri, std::string_view localName)
{
    return (namespaceUri == kPhotoshopNamespace && localName == "DocumentAncestors") ||
           (namespaceUri == kXmpMmNamespace && localName == "History");
}

const char* xmpOutcomeName(XmpOutcome outcome)
{
    switch (outcome) {
    case XmpOutcome::Cleaned:
        return "Cleaned";
    case XmpOutcome::NothingToRemove:
        return "NothingToRemove";
    case XmpOutcome::NotWellFormed:
        return "NotWellFormed";
    case XmpOutcome::Unsupported:
        return "Unsupported";
    case XmpOutcome::OutOfMemory:
        return "OutOfMemory";
    case XmpOutcome::ReadFailed:
        return "ReadFailed";
    }
    return "?";
}

std::uint64_t XmpCleanResult::removedBytes() const
{
    std::uint64_t total = 0;
    for (const ByteRange& r : removedRanges)
        total += r.size();
    return total;
}

bool cleanXmpStream(const Source& packet, XmpCleanResult& out, XmpError& error, const XmpCleanOptions& options)
{
    out = XmpCleanResult{};
    error = XmpError{};
    MemoryBudget budget{options.parserMemoryLimit, 0, options.failAllocationsAfter, false};
    BudgetScope scope(budget);
    try {
        const bool examined = cleanStream(packet, out, error, options, budget);
        if (!examined)
            out.removedRanges.clear();
        return examined;
    } catch (const std::bad_alloc&) {
        // Short enough for the string's own storage: no allocation while reporting that there is no memory.
        out = XmpCleanResult{};
        out.outcome = XmpOutcome::OutOfMemory;
        error.offset = 0;
        error.message = "out of memory";
        return false;
    }
}

bool cleanXmpPacket(std::string_view packet, XmpCleanResult& out, XmpError& error, const XmpCleanOptions& options)
{
    const SpanSource source(packet);
    if (!cleanXmpStream(source, out, error, options) || out.outcome != XmpOutcome::Cleaned)
        return out.outcome == XmpOutcome::Cleaned || out.outcome == XmpOutcome::NothingToRemove;
    try {
        // One pass: copy what lies between the cuts. An XML declaration, if present, stays: the packet is
        // spliced, never serialised anew.
        out.packet.reserve(std::size_t(packet.size() - out.removedBytes()));
        std::uint64_t from = 0;
        for (const ByteRange& r : out.removedRanges) {
            out.packet.append(packet.substr(std::size_t(from), std::size_t(r.begin - from)));
            from = r.end;
        }
        out.packet.append(packet.substr(std::size_t(from)));
    } catch (const std::bad_alloc&) {
        out = XmpCleanResult{};
        out.outcome = XmpOutcome::OutOfMemory;
        error.offset = 0;
        error.message = "out of memory";
        return false;
    }
    return true;
}

} // namespace psd::xmp
