#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Removes the editing history from an XMP packet (the data of image resource 1060) by cutting the bytes of the
// offending elements out of the packet: everything else, the xpacket wrapper, the namespace declarations, the
// padding and the formatting, stays exactly as it was.
namespace psd::xmp {

inline constexpr std::string_view kPhotoshopNamespace = "http://ns.adobe.com/photoshop/1.0/";
inline constexpr std::string_view kXmpMmNamespace = "http://ns.adobe.com/xap/1.0/mm/";

// True for the two elements the cleaner removes: photoshop:DocumentAncestors and xmpMM:History, matched by
// namespace URI and local name (the prefix is whatever the packet bound to the URI).
bool isRemovedElement(std::string_view namespaceUri, std::string_view localName);

enum class XmpOutcome {
    Cleaned,         // at least one element removed; XmpCleanResult::packet holds the new bytes
    NothingToRemove, // well-formed (or empty), no element of the removal set below the root
    NotWellFormed,   // the XML parser rejected the packet; it is left as it is
    Unsupported,     // well-formed, but an element to remove has no bytes of its own (it is produced by an entity
                     // reference), or the cut packet did not check out; left as it is
};

const char* xmpOutcomeName(XmpOutcome outcome);

// [begin, end) in bytes of the original packet.
struct ByteRange {
    std::size_t begin = 0;
    std::size_t end = 0;

    std::size_t size() const { return end - begin; }
    bool operator==(const ByteRange&) const = default;
};

struct XmpCleanResult {
    XmpOutcome outcome = XmpOutcome::NothingToRemove;
    std::string packet;                  // the cleaned packet; empty unless outcome is Cleaned
    std::size_t removedElements = 0;     // elements of the removal set cut out; one inside another counts once
    std::vector<ByteRange> removedRanges; // what was cut, sorted and disjoint; each range is one removed element
                                          // together with the indentation in front of it (see cleanXmpPacket)

    std::size_t removedBytes() const;
};

// Why a packet was left as it is.
struct XmpError {
    std::uint64_t offset = 0; // byte position in the packet where the parser stopped
    std::string message;      // e.g. "line 3, column 7: mismatched tag"
};

// Cleans one XMP packet. Returns true when the packet was examined (outcome Cleaned or NothingToRemove) and
// false when it is left as it is (outcome NotWellFormed or Unsupported, error says why). out is reset first.
//
// - Every element of the tree loses each direct child that is in the removal set; a removed element takes
//   anything nested in it along. The root element has no parent and is never removed.
// - Properties written as attributes (xmpMM:History="") are kept: they can only hold a simple value, never the
//   bulky arrays this is about, and Photoshop never writes them that way.
// - An element that starts a line (only white space between it and the previous line feed, and only white
//   space back to the previous markup) is removed together with that line feed and indentation, so the packet
//   stays tidy; white space next to text is never touched.
// - NUL bytes after the last markup (some writers pad the resource with them) are not parsed and stay in place.
// - Nothing is loaded from outside: external entities are ignored, and expat's protection against entity
//   expansion bombs stays on.
bool cleanXmpPacket(std::string_view packet, XmpCleanResult& out, XmpError& error);

} // namespace psd::xmp
