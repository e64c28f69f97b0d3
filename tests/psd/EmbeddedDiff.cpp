#include "EmbeddedDiff.h"

#include "psd/FourCC.h"
#include "psd/xmp/XmpCleaner.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace psdtest {

namespace {

constexpr int kMaxDepth = 16;

// Equal when both ranges have the same length and bytes; read in bounded chunks so that large files stay cheap.
bool sameBytes(const psd::Source& a, std::uint64_t aOffset, const psd::Source& b, std::uint64_t bOffset,
               std::uint64_t length)
{
    constexpr std::size_t kChunk = 1024 * 1024;
    std::vector<std::uint8_t> x, y;
    psd::Error err;
    for (std::uint64_t done = 0; done < length;) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(kChunk, length - done));
        x.resize(n);
        y.resize(n);
        if (!a.read(aOffset + done, x.data(), n, err) || !b.read(bOffset + done, y.data(), n, err))
            return false;
        if (std::memcmp(x.data(), y.data(), n) != 0)
            return false;
        done += n;
    }
    return true;
}

struct Comparer
{
    const psd::Document& before;
    const psd::Document& after;
    int depth;
    DeepDifference result;

    bool range(const char* what, std::uint64_t b0, std::uint64_t b1, std::uint64_t a0, std::uint64_t a1)
    {
        if (b1 < b0 || a1 < a0 || b1 - b0 != a1 - a0 ||
            !sameBytes(*before.source(), b0, *after.source(), a0, b1 - b0)) {
            result.difference = "level " + std::to_string(depth) + ": " + what + " differs (before " +
                                std::to_string(b0) + ".." + std::to_string(b1) + ", after " + std::to_string(a0) +
                                ".." + std::to_string(a1) + ")";
            return false;
        }
        return true;
    }
    bool span(const char* what, psd::FileSpan b, psd::FileSpan a)
    {
        return range(what, b.offset, b.end(), a.offset, a.end());
    }
    bool failWith(std::string why)
    {
        result.difference = "level " + std::to_string(depth) + ": " + std::move(why);
        return false;
    }

    bool resources()
    {
        const auto& rb = before.resources();
        const auto& ra = after.resources();
        if (rb.size() != ra.size())
            return failWith("image resource count " + std::to_string(rb.size()) + " != " + std::to_string(ra.size()));
        bool xmpSeen = false;
        for (std::size_t i = 0; i < rb.size(); ++i) {
            if (rb[i].id != ra[i].id)
                return failWith("image resource " + std::to_string(i) + " changed its id");
            if (rb[i].id == psd::Document::kXmpResourceId && !xmpSeen) {
                xmpSeen = true; // signature, id and name stay; size, data and padding may change
                if (!range("XMP resource head", rb[i].whole.offset, rb[i].sizeFieldOffset, ra[i].whole.offset,
                           ra[i].sizeFieldOffset))
                    return false;
                continue;
            }
            if (!span("image resource block", rb[i].whole, ra[i].whole))
                return false;
        }
        return true;
    }

    static std::vector<const psd::LinkedFile*> itemsOf(const psd::Document& doc, std::size_t blockIndex)
    {
        std::vector<const psd::LinkedFile*> items;
        for (const psd::LinkedFile& f : doc.linkedFiles()) {
            if (f.blockIndex == blockIndex)
                items.push_back(&f);
        }
        return items;
    }

    bool payloadEqual(const psd::LinkedFile& b, const psd::LinkedFile& a)
    {
        return b.data.length == a.data.length &&
               sameBytes(*before.source(), b.data.offset, *after.source(), a.data.offset, b.data.length);
    }

    bool editedItem(const psd::LinkedFile& b, const psd::LinkedFile& a)
    {
        if (b.kind != psd::key::kLiFD || a.kind != psd::key::kLiFD || !b.isEmbeddedDocument() ||
            !a.isEmbeddedDocument())
            return failWith("payload of '" + b.uniqueId + "' changed but is not an embedded PSD/PSB on both sides");
        // Kind, version, id, name, type, creator; the open descriptor; what follows the data.
        if (!range("linked item head", b.whole.offset + 8, b.dataLengthFieldOffset, a.whole.offset + 8,
                   a.dataLengthFieldOffset) ||
            !range("linked item descriptor", b.dataLengthFieldOffset + 8, b.data.offset, a.dataLengthFieldOffset + 8,
                   a.data.offset) ||
            !range("linked item tail", b.data.end(), b.whole.end() - b.padding, a.data.end(),
                   a.whole.end() - a.padding))
            return false;
        if (depth + 1 > kMaxDepth)
            return failWith("embedded documents nest deeper than " + std::to_string(kMaxDepth));
        psd::SourcePtr bv, av;
        psd::Document bd, ad;
        psd::Error err;
        if (!psd::ViewSource::make(before.source(), b.data.offset, b.data.length, bv, err) ||
            !psd::ViewSource::make(after.source(), a.data.offset, a.data.length, av, err) ||
            !psd::Document::open(bv, bd, err) || !psd::Document::open(av, ad, err))
            return failWith("embedded '" + b.uniqueId + "' does not open: " + err.describe());
        if (!(bd.signature() == ad.signature()))
            return failWith("embedded '" + b.uniqueId + "': " + psd::firstDifference(bd.signature(), ad.signature()));
        const DeepDifference inner = compareOutsideEdits(bd, ad, depth + 1);
        result.editedPayloads += 1 + inner.editedPayloads;
        if (!inner.difference.empty())
            return failWith("inside '" + b.uniqueId + "': " + inner.difference);
        return true;
    }

    bool globalBlock(std::size_t index)
    {
        const psd::TaggedBlock& bb = before.globalBlocks()[index];
        const psd::TaggedBlock& ab = after.globalBlocks()[index];
        const auto bi = itemsOf(before, index);
        const auto ai = itemsOf(after, index);
        if (bi.size() != ai.size())
            return failWith("linked item count of global block " + std::to_string(index));
        bool anyEdited = false;
        for (std::size_t i = 0; i < bi.size(); ++i)
            anyEdited = anyEdited || !(bi[i]->kind == psd::key::kLiFD ? payloadEqual(*bi[i], *ai[i]) : true);
        if (!anyEdited)
            return span("global block", bb.whole, ab.whole);
        if (!range("global block head", bb.whole.offset, bb.lengthFieldOffset, ab.whole.offset, ab.lengthFieldOffset))
            return false;
        for (std::size_t i = 0; i < bi.size(); ++i) {
            const bool same = bi[i]->kind != psd::key::kLiFD || payloadEqual(*bi[i], *ai[i]);
            if (same ? !span("linked item", bi[i]->whole, ai[i]->whole) : !editedItem(*bi[i], *ai[i]))
                return false;
        }
        // Bytes of the block after its last item (none in a well-formed block).
        const std::uint64_t bEnd = bi.empty() ? bb.data.offset : bi.back()->whole.end();
        const std::uint64_t aEnd = ai.empty() ? ab.data.offset : ai.back()->whole.end();
        return range("global block rest", bEnd, bb.data.end(), aEnd, ab.data.end());
    }

    bool run()
    {
        if (!range("header and colour mode data", 0, before.resourcesSection().offset - 4, 0,
                   after.resourcesSection().offset - 4))
            return false;
        if (!resources())
            return false;
        const auto& gb = before.globalBlocks();
        const auto& ga = after.globalBlocks();
        if (gb.size() != ga.size())
            return failWith("global block count " + std::to_string(gb.size()) + " != " + std::to_string(ga.size()));
        // Layer info and the global layer mask: everything of the section before its first global block.
        const std::uint64_t bFirst = gb.empty() ? before.layerMaskSection().end() : gb.front().whole.offset;
        const std::uint64_t aFirst = ga.empty() ? after.layerMaskSection().end() : ga.front().whole.offset;
        if (!range("layer info and global mask", before.layerMaskSection().offset, bFirst,
                   after.layerMaskSection().offset, aFirst))
            return false;
        for (std::size_t i = 0; i < gb.size(); ++i) {
            if (!globalBlock(i))
                return false;
        }
        return span("bytes after the global blocks", before.globalBlocksTail(), after.globalBlocksTail()) &&
               span("image data", before.imageData(), after.imageData());
    }
};

} // namespace

DeepDifference compareOutsideEdits(const psd::Document& before, const psd::Document& after, int depth)
{
    Comparer c{before, after, depth, {}};
    c.run();
    return c.result;
}

std::string historyLeft(const psd::Document& doc, int depth)
{
    psd::Error err;
    std::vector<std::uint8_t> packet;
    if (doc.hasXmp() && doc.xmpPacket(packet, err)) {
        psd::xmp::XmpCleanResult cleaned;
        psd::xmp::XmpError xerr;
        const std::string_view text(reinterpret_cast<const char*>(packet.data()), packet.size());
        if (psd::xmp::cleanXmpPacket(text, cleaned, xerr) && cleaned.removedElements > 0)
            return "level " + std::to_string(depth) + " still holds " + std::to_string(cleaned.removedElements) +
                   " history element(s)";
    }
    if (depth >= kMaxDepth)
        return {};
    for (const psd::LinkedFile& item : doc.linkedFiles()) {
        if (!item.isEmbeddedDocument())
            continue;
        psd::SourcePtr view;
        psd::Document inner;
        if (!psd::ViewSource::make(doc.source(), item.data.offset, item.data.length, view, err) ||
            !psd::Document::open(view, inner, err))
            continue; // an embedded object the worker could not open either stays as it was
        const std::string left = historyLeft(inner, depth + 1);
        if (!left.empty())
            return "'" + item.uniqueId + "' " + left;
    }
    return {};
}

} // namespace psdtest
