#pragma once

#include "psd/Source.h"

#include <cstdint>
#include <string>
#include <vector>

// The content of an element that is cut out whole need not go through the XML parser, as long as it is certain
// that the parser would have accepted it: a bloated packet is millions of <rdf:li>id</rdf:li> items inside one
// photoshop:DocumentAncestors, and tokenising them is almost all of the cost of cleaning it.
namespace psd::xmp {

enum class SkipOutcome {
    Found,      // endTag is the offset of the '<' of the end tag that closes the content
    Declined,   // the content holds something outside the simple form below: the XML parser must read it
    ReadFailed, // err says why
};

// What the skip has read of the packet, kept from one call to the next. Each call starts further on than the
// last, so a window read once serves every element inside it: over a packet of many small removed elements the
// skip reads each byte about once, never a whole window per element. One per source and end.
struct SkipWindow
{
    std::vector<char> bytes;
    std::uint64_t begin = 0;
    std::size_t length = 0; // bytes[0, length) hold the source from begin
};

// Reads the content of an element from from (just past its start tag) and finds where it ends, for content of
// this form only, ASCII throughout:
//   - text of printable characters, tab, line feed and carriage return, without '<', '&' or '>';
//   - start and end tags and empty-element tags, whose names are one NCName or prefix:NCName with the prefix in
//     boundPrefixes (bound where the element stands); end tags match their start tags;
//   - attributes with such names, no namespace declarations among them, no two with the same local name, and
//     quoted values of the same characters as text ('>' allowed).
// Any such content is well-formed XML with namespaces, so the parser, had it read it, would have said the same.
// Anything else (references, comments, CDATA, processing instructions, other bytes, a tag longer than a few
// KiB, nesting deeper than a few levels, the end of the data before the closing tag) is Declined. The end tag itself is
// not examined: the parser reads it. window is read through and kept for the next call.
SkipOutcome skipSimpleContent(const Source& source, std::uint64_t from, std::uint64_t end,
                              const std::vector<std::string>& boundPrefixes, SkipWindow& window, std::uint64_t& endTag,
                              Error& err);

} // namespace psd::xmp
