#include "psd/xmp/XmpCleaner.h"

#include <expat.h>

#include <algorithm>

namespace psd::xmp {

namespace {

// expat reports a namespaced name as "<uri><separator><local name>". 0x01 cannot occur in XML 1.0 text (not
// even as a character reference), so no URI or local name can contain it and fake a match.
constexpr char kSeparator = '\x01';

// expat takes an int length; larger packets go in slices of this size.
constexpr std::size_t kParseSlice = std::size_t(1) << 30;

bool isRemovedName(std::string_view expatName)
{
    const std::size_t sep = expatName.rfind(kSeparator);
    if (sep == std::string_view::npos)
        return false; // no namespace
    return isRemovedElement(expatName.substr(0, sep), expatName.substr(sep + 1));
}

// A start tag begins with '<' in every encoding ("\0<" in UTF-16BE); an entity reference begins with '&'.
bool startsTag(std::string_view data, std::size_t at)
{
    for (std::size_t i = at; i < data.size() && i < at + 4; ++i) {
        if (data[i] != '\0')
            return data[i] == '<';
    }
    return false;
}

// One pass over the packet with expat. Records the byte range of every outermost element of the removal set
// that has a parent. Keeps only counters and the ranges: nothing here grows with the nesting depth.
struct Scan {
    std::string_view data; // all that the parser is given
    XML_Parser parser = nullptr;
    std::size_t depth = 0;        // elements open at the current event
    std::size_t removingDepth = 0; // depth of the element being removed, 0 when none
    std::size_t removingBegin = 0;
    std::vector<ByteRange> ranges;
    bool fromEntity = false; // an element to remove comes out of an entity's replacement text
    std::uint64_t entityOffset = 0;
};

void XMLCALL onStart(void* userData, const XML_Char* name, const XML_Char**)
{
    auto* scan = static_cast<Scan*>(userData);
    ++scan->depth;
    if (scan->removingDepth != 0 || scan->depth < 2 || !isRemovedName(name))
        return;
    // Inside the replacement text of an internal entity expat reports the position of the entity reference:
    // the element has no bytes of its own in the packet, and cutting the reference could take more with it.
    const auto begin = std::size_t(XML_GetCurrentByteIndex(scan->parser));
    if (!startsTag(scan->data, begin)) {
        scan->fromEntity = true;
        scan->entityOffset = begin;
        XML_StopParser(scan->parser, XML_FALSE);
        return;
    }
    scan->removingDepth = scan->depth;
    scan->removingBegin = begin;
}

void XMLCALL onEnd(void* userData, const XML_Char*)
{
    auto* scan = static_cast<Scan*>(userData);
    if (scan->removingDepth == scan->depth) {
        // For an empty-element tag the end event sits at the end of the tag with a count of 0.
        const auto end = std::size_t(XML_GetCurrentByteIndex(scan->parser) + XML_GetCurrentByteCount(scan->parser));
        scan->ranges.push_back({scan->removingBegin, end});
        scan->removingDepth = 0;
    }
    --scan->depth;
}

enum class ScanResult { Ok, NotWellFormed, FromEntity };

ScanResult scanPacket(std::string_view data, Scan& scan, XmpError& error)
{
    XML_Parser parser = XML_ParserCreateNS(nullptr, kSeparator);
    if (parser == nullptr) {
        error = {0, "out of memory creating the XML parser"};
        return ScanResult::NotWellFormed;
    }
    scan.data = data;
    scan.parser = parser;
    XML_SetUserData(parser, &scan);
    XML_SetElementHandler(parser, onStart, onEnd);
    // No external entity handler is installed, so external entities and the external DTD subset are never
    // read; parameter entities stay unparsed. The limit on entity amplification is expat's default.
    XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);

    ScanResult result = ScanResult::Ok;
    std::size_t pos = 0;
    do {
        const std::size_t slice = std::min(kParseSlice, data.size() - pos);
        const bool last = pos + slice == data.size();
        if (XML_Parse(parser, data.data() + pos, int(slice), last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
            if (scan.fromEntity) {
                error = {scan.entityOffset, "an element to remove is produced by an entity reference"};
                result = ScanResult::FromEntity;
            } else {
                error.offset = std::uint64_t(std::max<XML_Index>(0, XML_GetCurrentByteIndex(parser)));
                error.message = "line " + std::to_string(XML_GetCurrentLineNumber(parser)) + ", column " +
                                std::to_string(XML_GetCurrentColumnNumber(parser)) + ": " +
                                XML_ErrorString(XML_GetErrorCode(parser));
                result = ScanResult::NotWellFormed;
            }
            break;
        }
        pos += slice;
    } while (pos < data.size());
    XML_ParserFree(parser);
    scan.parser = nullptr;
    return result;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where the cut for an element starting at begin really starts. When the element opens its own line, the line
// break before it and the indentation go too: "...>\n      <xmpMM:History>...</xmpMM:History>\n   </rdf:..."
// loses "\n      <xmpMM:History>...</xmpMM:History>". This is only done when the text between the previous markup
// and the element is white space alone (element content, where it carries no meaning); next to real text the
// element goes alone. The backward scan stops at the previous '>', so over all elements it reads each byte once.
std::size_t cutStart(std::string_view data, std::size_t begin)
{
    std::size_t i = begin;
    while (i > 0 && (data[i - 1] == ' ' || data[i - 1] == '\t'))
        --i;
    if (i == 0)
        return begin;
    std::size_t lineBreak = i - 1;
    if (data[lineBreak] == '\n') {
        if (lineBreak > 0 && data[lineBreak - 1] == '\r')
            --lineBreak;
    } else if (data[lineBreak] != '\r') {
        return begin;
    }
    std::size_t j = lineBreak;
    while (j > 0 && isBlank(data[j - 1]))
        --j;
    if (j == 0 || data[j - 1] != '>')
        return begin;
    return lineBreak;
}

// UTF-16 and UTF-32 packets (legal XMP, never written by Photoshop) have NUL bytes of their own and multi-byte
// white space: for them no NUL padding is trimmed and no indentation is removed.
bool asciiCompatible(std::string_view data)
{
    if (data.size() < 2)
        return true;
    const auto b0 = static_cast<unsigned char>(data[0]);
    const auto b1 = static_cast<unsigned char>(data[1]);
    return !((b0 == 0xFE && b1 == 0xFF) || (b0 == 0xFF && b1 == 0xFE) || b0 == 0 || b1 == 0);
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
    }
    return "?";
}

std::size_t XmpCleanResult::removedBytes() const
{
    std::size_t total = 0;
    for (const ByteRange& r : removedRanges)
        total += r.size();
    return total;
}

bool cleanXmpPacket(std::string_view packet, XmpCleanResult& out, XmpError& error)
{
    out = XmpCleanResult{};
    error = XmpError{};
    if (packet.empty())
        return true;

    const bool ascii = asciiCompatible(packet);
    std::string_view parsed = packet;
    if (ascii) {
        // Writers pad the resource with NULs after the packet; they are no XML, so expat must not see them, but
        // they are kept (the cut ranges all lie before them).
        const std::size_t last = parsed.find_last_not_of('\0');
        parsed = last == std::string_view::npos ? std::string_view{} : parsed.substr(0, last + 1);
        if (parsed.empty()) {
            error = {0, "the packet holds only NUL bytes"};
            out.outcome = XmpOutcome::NotWellFormed;
            return false;
        }
    }

    Scan scan;
    switch (scanPacket(parsed, scan, error)) {
    case ScanResult::NotWellFormed:
        out.outcome = XmpOutcome::NotWellFormed;
        return false;
    case ScanResult::FromEntity:
        out.outcome = XmpOutcome::Unsupported;
        return false;
    case ScanResult::Ok:
        break;
    }
    if (scan.ranges.empty())
        return true;

    // The ranges come in document order and are disjoint; widening one to its line start never reaches back
    // over the previous one, whose last byte is a '>'.
    std::vector<ByteRange> ranges = std::move(scan.ranges);
    if (ascii) {
        for (ByteRange& r : ranges)
            r.begin = cutStart(parsed, r.begin);
    }

    // One pass: copy what lies between the cuts. An XML declaration, if present, stays: the packet is spliced,
    // never serialised anew.
    std::string cleaned;
    std::size_t removed = 0;
    for (const ByteRange& r : ranges)
        removed += r.size();
    cleaned.reserve(packet.size() - removed);
    std::size_t from = 0;
    for (const ByteRange& r : ranges) {
        cleaned.append(packet.substr(from, r.begin - from));
        from = r.end;
    }
    cleaned.append(packet.substr(from));

    // The cut packet must parse again and hold nothing more to remove; if not, something about this packet is
    // beyond what the splice understands and the original is kept.
    Scan check;
    XmpError checkError;
    const std::string_view checkedPart = std::string_view(cleaned).substr(0, parsed.size() - removed);
    if (scanPacket(checkedPart, check, checkError) != ScanResult::Ok || !check.ranges.empty()) {
        error = {0, "the packet with the elements cut out did not check out" +
                        (checkError.message.empty() ? std::string() : ": " + checkError.message)};
        out.outcome = XmpOutcome::Unsupported;
        return false;
    }

    out.outcome = XmpOutcome::Cleaned;
    out.packet = std::move(cleaned);
    out.removedElements = ranges.size();
    out.removedRanges = std::move(ranges);
    return true;
}

} // namespace psd::xmp
