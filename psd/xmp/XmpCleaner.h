#pragma once

#include "psd/Source.h"

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
    Cleaned,         // at least one element removed; XmpCleanResult::removedRanges says what goes
    NothingToRemove, // well-formed (or empty), no element of the removal set below the root
    NotWellFormed,   // the XML parser rejected the packet; it is left as it is
    Unsupported,     // well-formed, but an element to remove has no bytes of its own (it is produced by an entity
                     // reference), or the cut packet did not check out; left as it is
    OutOfMemory,     // the parser or the cleaner could not get memory within its bound: nothing is known about
                     // the packet, so the document must fail rather than be kept with its history
    ReadFailed,      // the packet's bytes could not be read; the document must fail
};

const char* xmpOutcomeName(XmpOutcome outcome);

// [begin, end) in bytes of the original packet.
struct ByteRange
{
    std::uint64_t begin = 0;
    std::uint64_t end = 0;

    std::uint64_t size() const { return end - begin; }
    bool operator==(const ByteRange&) const = default;
};

struct XmpCleanResult
{
    XmpOutcome outcome = XmpOutcome::NothingToRemove;
    std::string packet;                   // cleanXmpPacket only: the cleaned packet; empty unless Cleaned
    std::size_t removedElements = 0;      // elements of the removal set cut out; one inside another counts once
    std::vector<ByteRange> removedRanges; // what is cut, sorted, disjoint and never adjacent (cuts that touch are
                                          // one range): removed elements with the indentation in front of them
    // Where the closing <?xpacket end=...?> processing instruction starts, after the root element: the place
    // XMP keeps its padding. Only for packets in an ASCII-compatible encoding (padding is ASCII spaces).
    bool hasTrailer = false;
    std::uint64_t trailerOffset = 0;
    // Bytes inside removed elements that were skipped without the parser (XmpCleanOptions::skipSimpleContent);
    // when the packet then proved not well-formed, it was parsed whole once more for the error's line and column.
    std::uint64_t unparsedBytes = 0;

    std::uint64_t removedBytes() const;
};

// Why a packet was left as it is, or could not be examined.
struct XmpError
{
    std::uint64_t offset = 0; // byte position in the packet where the parser stopped
    std::string message;      // e.g. "line 3, column 7: mismatched tag"
};

struct XmpCleanOptions
{
    // Bytes handed to the parser at a time. Memory does not depend on the packet's size: the parser holds a chunk
    // and any token that spans chunks; the cleaner holds the ranges.
    std::size_t chunkSize = std::size_t(1) << 20;
    // What the parser may allocate in all (its buffer, the open-element stack, names). A packet that needs more
    // (a single enormous token, nesting millions deep) is OutOfMemory: the document fails, nothing is kept silently.
    std::size_t parserMemoryLimit = std::size_t(48) << 20;
    // Separate cuts a packet may need; every cut costs a few pieces of the write plan. More is OutOfMemory.
    std::size_t maxRanges = std::size_t(1) << 18;
    // Lets the content of a removed element skip the parser where it has the simple form of an array of plain
    // items (see ContentSkip.h); the result is the same as without. Off only to compare the two.
    bool skipSimpleContent = true;
    // Makes the parser's allocations fail after this many (tests of the out-of-memory path).
    std::uint64_t failAllocationsAfter = UINT64_MAX;
};

// Cleans one XMP packet read from packet in chunks (for a document, a view of resource 1060's data). Returns true
// when the packet was examined (outcome Cleaned or NothingToRemove) and false otherwise (error says why). The
// packet is not changed: the caller cuts removedRanges out of it. out is reset first.
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
// - The packet with the ranges cut out is parsed once more (it is read from packet, skipping the ranges) and
//   must be well-formed with nothing left to remove; otherwise the outcome is Unsupported.
bool cleanXmpStream(const Source& packet, XmpCleanResult& out, XmpError& error, const XmpCleanOptions& options = {});

// The same for a packet in memory; on Cleaned, out.packet holds the cut packet.
bool cleanXmpPacket(std::string_view packet, XmpCleanResult& out, XmpError& error, const XmpCleanOptions& options = {});

} // namespace psd::xmp
