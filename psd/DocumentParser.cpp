#include "psd/Descriptor.h"
#include "psd/Document.h"
#include "psd/FourCC.h"
#include "psd/LayerTree.h"
#include "psd/Reader.h"

#include <algorithm>
#include <array>

namespace psd {

namespace {

constexpr std::uint64_t kHeaderBytes = 26;
// bounds 16, channel count 2, blend signature 4, blend key 4, opacity/clipping/flags/filler 4, extra length 4
constexpr std::uint64_t kMinLayerRecordBytes = 34;
// Parsed items (resources, layer channels, tagged blocks, linked files) a document may hold. Each costs far more
// memory than the few bytes it takes in the file, so a hostile file of many tiny items is refused here; the
// largest real documents hold tens of thousands.
constexpr std::uint64_t kMaxParsedItems = 1000000;
// Strings loaded from a file (names, ids) beyond this are not read.
constexpr std::uint64_t kMaxLoadedString = 1024 * 1024;

bool isBlockSignature(std::uint32_t sig)
{
    return sig == key::k8BIM || sig == key::k8B64;
}

bool isResourceSignature(std::uint32_t sig)
{
    return sig == key::k8BIM || sig == fourcc("MeSa") || sig == fourcc("AgHg") || sig == fourcc("PHUT") ||
           sig == fourcc("DCSR");
}

bool peekU32(const Source& src, std::uint64_t offset, std::uint32_t& out)
{
    std::uint8_t b[4];
    Error e;
    if (offset > src.size() || src.size() - offset < 4 || !src.read(offset, b, 4, e))
        return false;
    out = (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) | b[3];
    return true;
}

std::uint64_t padTo(std::uint64_t length, std::uint64_t multiple)
{
    return (multiple - length % multiple) % multiple;
}

} // namespace

class DocumentParser
{
public:
    DocumentParser(Document& doc) : m_doc(doc), m_src(*doc.m_source) {}

    bool run(Error& err)
    {
        Reader r(m_src);
        if (!parseHeader(r, err))
            return false;

        const std::uint32_t colorLength = r.u32();
        Reader color = r.sub(colorLength, "colour mode data");
        if (!r.ok())
            return withContext(r, err, "colour mode data: ");
        m_doc.m_colorModeData = {color.offset(), color.remaining()};

        const std::uint32_t resourcesLength = r.u32();
        Reader resources = r.sub(resourcesLength, "image resources section");
        if (!r.ok())
            return withContext(r, err, "image resources: ");
        m_doc.m_resourcesSection = {resources.offset(), resources.remaining()};
        if (!parseResources(resources))
            return withContext(resources, err, "image resources: ");

        const std::uint64_t layerMaskLength = r.length(width());
        Reader layerMask = r.sub(layerMaskLength, "layer and mask information");
        if (!r.ok())
            return withContext(r, err, "layer and mask information: ");
        m_doc.m_layerMaskSection = {layerMask.offset(), layerMask.remaining()};
        if (!parseLayerMask(layerMask))
            return withContext(layerMask, err, "layer and mask information: ");

        // The image data section has no length field: it runs to the end of the file, whatever is there.
        m_doc.m_imageData = {r.offset(), r.remaining()};

        if (!buildLayerTree(m_doc.m_layerInfo.records, m_doc.m_tree, err))
            return false;
        return true;
    }

private:
    // Counts n more parsed items; fails the reader once the document holds too many.
    bool countItems(Reader& r, std::uint64_t n)
    {
        m_items += n;
        if (m_items > kMaxParsedItems)
            return r.fail(ErrorCode::TooLarge, r.offset(),
                          "more than " + std::to_string(kMaxParsedItems) + " resources, channels and blocks");
        return true;
    }

    unsigned width() const { return m_doc.m_header.version == 2 ? 8 : 4; }

    static bool withContext(const Reader& r, Error& err, const char* context)
    {
        r.report(err);
        err.message = context + err.message;
        return false;
    }

    bool parseHeader(Reader& r, Error& err)
    {
        if (m_src.size() < kHeaderBytes)
            return fail(err, ErrorCode::Truncated, 0,
                        "file has " + std::to_string(m_src.size()) + " bytes, fewer than the 26-byte header");
        Header& h = m_doc.m_header;
        const std::uint32_t magic = r.u32();
        h.version = r.u16();
        r.skip(6); // reserved; kept verbatim by the writer whatever it holds
        h.channels = r.u16();
        h.height = r.u32();
        h.width = r.u32();
        h.depth = r.u16();
        h.colorMode = r.u16();
        if (!r.ok())
            return r.report(err);
        if (magic != key::k8BPS)
            return fail(err, ErrorCode::BadSignature, 0, "not a PSD/PSB file: signature is " + fourccText(magic));
        if (h.version != 1 && h.version != 2)
            return fail(err, ErrorCode::UnsupportedVersion, 4, "unsupported file version " + std::to_string(h.version));
        if (h.channels < 1 || h.channels > 56)
            return fail(err, ErrorCode::BadHeader, 12, "channel count " + std::to_string(h.channels) + " outside 1-56");
        if (h.height == 0 || h.width == 0)
            return fail(err, ErrorCode::BadHeader, 14, "image has zero width or height");
        if (h.depth != 1 && h.depth != 8 && h.depth != 16 && h.depth != 32)
            return fail(err, ErrorCode::BadHeader, 22,
                        "bit depth " + std::to_string(h.depth) + " is not 1, 8, 16 or 32");
        static constexpr std::array kModes = {0, 1, 2, 3, 4, 7, 8, 9};
        if (std::find(kModes.begin(), kModes.end(), h.colorMode) == kModes.end())
            return fail(err, ErrorCode::BadHeader, 24, "unknown colour mode " + std::to_string(h.colorMode));
        const std::uint32_t limit = h.version == 2 ? 300000 : 30000;
        h.dimensionsInRange = h.width <= limit && h.height <= limit;
        return true;
    }

    bool parseResources(Reader& r)
    {
        while (r.ok() && r.remaining() > 0) {
            ImageResource res;
            const std::uint64_t start = r.offset();
            res.signature = r.u32();
            if (r.ok() && !isResourceSignature(res.signature))
                return r.fail(ErrorCode::BadSignature, start,
                              "image resource block has signature " + fourccText(res.signature));
            res.id = r.u16();
            const std::uint8_t nameLength = r.u8();
            res.name = r.string(nameLength);
            if ((nameLength + 1) % 2)
                r.skip(1); // the Pascal name, length byte included, is padded to an even size
            res.sizeFieldOffset = r.offset();
            const std::uint32_t size = r.u32();
            if (!r.ok())
                return false;
            if (size > r.remaining())
                return r.fail(ErrorCode::LengthBeyondParent, res.sizeFieldOffset,
                              "image resource " + std::to_string(res.id) + " size " + std::to_string(size) +
                                  " exceeds the " + std::to_string(r.remaining()) + " bytes left in the section");
            res.data = {r.offset(), size};
            r.skip(size);
            // Data of odd size is padded to even; a last block may lack the pad byte.
            if (size % 2 && r.remaining() > 0) {
                res.padding = 1;
                r.skip(1);
            }
            res.whole = {start, r.offset() - start};
            if (!countItems(r, 1))
                return false;
            m_doc.m_resources.push_back(std::move(res));
        }
        return r.ok();
    }

    bool parseLayerMask(Reader& r)
    {
        if (r.remaining() == 0)
            return true;
        const std::uint64_t infoLength = r.length(width());
        Reader info = r.sub(infoLength, "layer info");
        if (!r.ok())
            return false;
        if (infoLength > 0) {
            if (!parseLayerInfo(info, 0))
                return r.fail(info.error().code, info.error().offset, "layer info: " + info.error().message);
        }

        // Global layer mask info; some writers end the section before it.
        if (r.remaining() >= 4) {
            const std::uint64_t maskStart = r.offset();
            std::uint32_t maskLength = 0;
            peekU32(m_src, maskStart, maskLength);
            if (maskLength > r.remaining() - 4) {
                // Some writers miscount the layer info by a few bytes, so a tagged block signature sits where
                // the global mask length should be. Keep those bytes as found and go on with the blocks.
                for (std::uint64_t skew = 0; skew < 4 && skew + 12 <= r.remaining(); ++skew) {
                    std::uint32_t sig = 0;
                    if (peekU32(m_src, maskStart + skew, sig) && isBlockSignature(sig)) {
                        m_doc.m_globalLayerMask = {maskStart, skew};
                        r.skip(skew);
                        return parseGlobalBlocks(r);
                    }
                }
            }
            r.u32();
            Reader mask = r.sub(maskLength, "global layer mask info");
            if (!r.ok())
                return false;
            m_doc.m_globalLayerMask = {mask.offset(), mask.remaining()};
            m_doc.m_hasGlobalLayerMask = true;
        }

        return parseGlobalBlocks(r);
    }

    bool parseGlobalBlocks(Reader& r)
    {
        if (!parseTaggedBlocks(r, true, m_doc.m_globalBlocks, m_doc.m_globalTail))
            return false;

        for (const TaggedBlock& block : m_doc.m_globalBlocks) {
            if (block.key != key::kLr16 && block.key != key::kLr32 && block.key != key::kLayr)
                continue;
            if (m_doc.m_layerInfo.present)
                break; // the first layer info found is the document's
            Reader inner(m_src, block.data.offset, block.data.end());
            if (block.data.length > 0 && !parseLayerInfo(inner, block.key))
                return r.fail(inner.error().code, inner.error().offset,
                              fourccText(block.key) + " layer info: " + inner.error().message);
        }
        for (std::size_t i = 0; i < m_doc.m_globalBlocks.size(); ++i)
            parseLinkedFiles(i);
        return r.ok();
    }

    // Tagged blocks up to the end of r. In layer records the stored lengths are already even and nothing follows
    // them; global blocks are followed by padding to 4 that the length does not count. Writers differ, so the
    // padding is taken as found: the first candidate after which the next block signature (or the end) appears.
    bool parseTaggedBlocks(Reader& r, bool global, std::vector<TaggedBlock>& out, FileSpan& tail)
    {
        while (r.ok()) {
            const std::uint64_t start = r.offset();
            std::uint32_t sig = 0;
            if (r.remaining() < 12 || !peekU32(m_src, start, sig) || !isBlockSignature(sig)) {
                tail = {start, r.remaining()};
                return r.skip(r.remaining());
            }
            TaggedBlock block;
            block.signature = r.u32();
            block.key = r.u32();
            block.lengthFieldOffset = r.offset();
            block.lengthWidth = taggedBlockLengthWidth(m_doc.m_header.version, block.key);
            const std::uint64_t length = r.length(block.lengthWidth);
            if (!r.ok())
                return false;
            if (length > r.remaining())
                return r.fail(ErrorCode::LengthBeyondParent, block.lengthFieldOffset,
                              "tagged block " + fourccText(block.key) + " length " + std::to_string(length) +
                                  " exceeds the " + std::to_string(r.remaining()) + " bytes left");
            block.data = {r.offset(), length};
            r.skip(length);
            block.padding = choosePadding(r, length, global);
            r.skip(block.padding);
            block.whole = {start, r.offset() - start};
            if (!countItems(r, 1))
                return false;
            out.push_back(block);
        }
        return false;
    }

    std::uint64_t choosePadding(const Reader& r, std::uint64_t length, bool global) const
    {
        const std::uint64_t rem = r.remaining();
        const std::array<std::uint64_t, 5> candidates =
            global ? std::array<std::uint64_t, 5>{padTo(length, 4), 0, 1, 2, 3}
                   : std::array<std::uint64_t, 5>{0, padTo(length, 2), padTo(length, 4), 1, 3};
        for (const std::uint64_t p : candidates) {
            if (p > rem)
                continue;
            std::uint32_t sig = 0;
            if (p == rem || (rem - p >= 12 && peekU32(m_src, r.offset() + p, sig) && isBlockSignature(sig)))
                return p;
        }
        // Neither another block nor the end follows: keep the usual padding; what is left stays an opaque tail.
        return std::min(rem, candidates[0]);
    }

    bool parseLayerInfo(Reader& r, std::uint32_t hostKey)
    {
        LayerInfo& info = m_doc.m_layerInfo;
        info = LayerInfo{};
        info.present = true;
        info.hostKey = hostKey;
        info.span = {r.offset(), r.remaining()};
        info.rawCount = r.i16();
        if (!r.ok())
            return false;
        const std::uint64_t count = info.rawCount < 0 ? std::uint64_t(-std::int32_t(info.rawCount)) : info.rawCount;
        if (count > r.remaining() / kMinLayerRecordBytes)
            return r.fail(ErrorCode::Malformed, info.span.offset,
                          "layer count " + std::to_string(count) + " cannot fit in the " +
                              std::to_string(r.remaining()) + " bytes of layer info");
        info.records.reserve(std::size_t(count));
        for (std::uint64_t i = 0; i < count; ++i) {
            LayerRecord rec;
            if (!parseLayerRecord(r, rec)) {
                r.addContext("layer record " + std::to_string(i) + ": ");
                return false;
            }
            info.records.push_back(std::move(rec));
        }
        const std::uint64_t dataStart = r.offset();
        for (std::size_t i = 0; i < info.records.size(); ++i) {
            LayerRecord& rec = info.records[i];
            const std::uint64_t start = r.offset();
            for (const ChannelInfo& ch : rec.channels) {
                if (ch.length > r.remaining())
                    return r.fail(ErrorCode::LengthBeyondParent, r.offset(),
                                  "channel data of layer " + std::to_string(i) + " (" + std::to_string(ch.length) +
                                      " bytes) exceeds the " + std::to_string(r.remaining()) + " bytes left");
                r.skip(ch.length);
            }
            rec.channelData = {start, r.offset() - start};
        }
        info.channelData = {dataStart, r.offset() - dataStart};
        info.tail = {r.offset(), r.remaining()};
        r.skip(r.remaining());
        return r.ok();
    }

    bool parseLayerRecord(Reader& r, LayerRecord& rec)
    {
        const std::uint64_t start = r.offset();
        rec.top = r.i32();
        rec.left = r.i32();
        rec.bottom = r.i32();
        rec.right = r.i32();
        const std::uint16_t channels = r.u16();
        if (!r.ok())
            return false;
        if (channels > r.remaining() / (2 + width()))
            return r.fail(ErrorCode::Malformed, start + 16,
                          "channel count " + std::to_string(channels) + " cannot fit in the layer info");
        if (!countItems(r, channels))
            return false;
        rec.channels.resize(channels);
        for (ChannelInfo& ch : rec.channels) {
            ch.id = r.i16();
            ch.length = r.length(width());
        }
        const std::uint64_t sigOffset = r.offset();
        const std::uint32_t sig = r.u32();
        if (r.ok() && sig != key::k8BIM)
            return r.fail(ErrorCode::BadSignature, sigOffset,
                          "layer blend signature is " + fourccText(sig) + ", not 8BIM");
        rec.blendKey = r.u32();
        rec.opacity = r.u8();
        rec.clipping = r.u8();
        rec.flags = r.u8();
        rec.filler = r.u8();
        const std::uint32_t extraLength = r.u32();
        Reader extra = r.sub(extraLength, "layer extra data");
        if (!r.ok())
            return false;

        const std::uint32_t maskLength = extra.u32();
        Reader mask = extra.sub(maskLength, "layer mask data");
        rec.mask = {mask.offset(), mask.remaining()};
        const std::uint32_t rangesLength = extra.u32();
        Reader ranges = extra.sub(rangesLength, "blending ranges");
        rec.blendingRanges = {ranges.offset(), ranges.remaining()};
        const std::uint8_t nameLength = extra.u8();
        rec.pascalName = extra.string(nameLength);
        if (!extra.ok())
            return r.fail(extra.error().code, extra.error().offset, extra.error().message);
        // The name is padded to a multiple of 4, length byte included; some writers stop short at the end.
        extra.skip(std::min<std::uint64_t>(padTo(1 + nameLength, 4), extra.remaining()));
        if (!parseTaggedBlocks(extra, false, rec.blocks, rec.unparsedTail))
            return r.fail(extra.error().code, extra.error().offset, extra.error().message);
        rec.record = {start, r.offset() - start};
        deriveLayerFields(rec);
        return r.ok();
    }

    void deriveLayerFields(LayerRecord& rec)
    {
        rec.name = latin1ToUtf8(rec.pascalName);
        for (const TaggedBlock& block : rec.blocks) {
            if (block.key == key::kLuni) {
                Reader b(m_src, block.data.offset, block.data.end());
                const std::uint32_t units = b.u32();
                if (b.ok() && units <= b.remaining() / 2) {
                    std::vector<std::uint8_t> raw;
                    Error e;
                    if (m_src.readBytes(b.offset(), std::uint64_t(units) * 2, raw, e, kMaxLoadedString)) {
                        std::size_t n = units;
                        while (n > 0 && raw[2 * n - 2] == 0 && raw[2 * n - 1] == 0)
                            --n;
                        rec.name = utf16BeToUtf8(raw.data(), n);
                    }
                }
            } else if ((block.key == key::kLsct || block.key == key::kLsdk) && rec.sectionType < 0) {
                Reader b(m_src, block.data.offset, block.data.end());
                const std::uint32_t type = b.u32();
                if (b.ok())
                    rec.sectionType = type <= 3 ? int(type) : 0;
            } else if ((block.key == key::kSoLd || block.key == key::kSoLE) && rec.smartObjectId.empty()) {
                Reader b(m_src, block.data.offset, block.data.end());
                b.skip(12); // 'soLD', version, descriptor version
                std::string id;
                if (b.ok() && descriptor::findText(b, "Idnt", id))
                    rec.smartObjectId = id;
            } else if (block.key == key::kPlLd && rec.smartObjectId.empty()) {
                Reader b(m_src, block.data.offset, block.data.end());
                b.skip(8); // 'plcL', version
                const std::uint8_t n = b.u8();
                std::string id = b.string(n);
                if (b.ok())
                    rec.smartObjectId = id;
            }
        }
        rec.kind = classifyLayer(rec);
    }

    // Items of 'lnk2'/'lnkD'/'lnk3'/'lnkE'. A damaged item ends the list of its block; it never fails the file,
    // because the block itself is kept verbatim either way.
    void parseLinkedFiles(std::size_t blockIndex)
    {
        const TaggedBlock& block = m_doc.m_globalBlocks[blockIndex];
        if (block.key != key::kLnk2 && block.key != key::kLnkD && block.key != key::kLnk3 && block.key != key::kLnkE)
            return;
        Reader r(m_src, block.data.offset, block.data.end());
        while (r.ok() && r.remaining() >= 8) {
            LinkedFile item;
            item.blockKey = block.key;
            item.blockIndex = blockIndex;
            const std::uint64_t start = r.offset();
            item.itemLength = r.u64();
            Reader body = r.sub(item.itemLength, "linked file item");
            if (!r.ok())
                return;
            item.kind = body.u32();
            item.version = body.u32();
            const std::uint8_t idLength = body.u8();
            item.uniqueId = body.string(idLength);
            const std::uint32_t nameUnits = body.u32();
            if (!body.ok() || nameUnits > body.remaining() / 2 || nameUnits > kMaxLoadedString / 2)
                return;
            std::vector<std::uint8_t> raw(std::size_t(nameUnits) * 2);
            body.bytes(raw.data(), raw.size());
            std::size_t n = nameUnits;
            while (n > 0 && raw[2 * n - 2] == 0 && raw[2 * n - 1] == 0)
                --n;
            item.name = utf16BeToUtf8(raw.data(), n);
            item.fileType = body.u32();
            item.creator = body.u32();
            item.dataLengthFieldOffset = body.offset();
            const std::uint64_t dataLength = body.u64();
            const std::uint8_t hasDescriptor = body.u8();
            if (body.ok() && hasDescriptor) {
                body.skip(4); // descriptor version
                descriptor::skip(body);
            }
            if (!body.ok())
                return;
            if (item.kind == key::kLiFD) {
                if (dataLength > body.remaining())
                    return;
                item.data = {body.offset(), dataLength};
                std::uint32_t magic = 0;
                item.dataIsPsd = dataLength >= 26 && peekU32(m_src, item.data.offset, magic) && magic == key::k8BPS;
            }
            // Items are padded to a multiple of 4 that their length does not count.
            item.padding = std::min(padTo(item.itemLength, 4), r.remaining());
            r.skip(item.padding);
            item.whole = {start, r.offset() - start};
            if (!countItems(r, 1))
                return;
            m_doc.m_linkedFiles.push_back(std::move(item));
        }
    }

    Document& m_doc;
    const Source& m_src;
    std::uint64_t m_items = 0;
};

bool Document::open(SourcePtr source, Document& doc, Error& err)
{
    doc = Document{};
    if (!source)
        return fail(err, ErrorCode::Io, 0, "no source");
    doc.m_source = std::move(source);
    DocumentParser parser(doc);
    Error readError;
    if (!parser.run(err) || doc.m_source->readFailed(readError)) {
        // A read the system refused is never taken for a damaged field: the file fails as unreadable.
        if (doc.m_source->readFailed(readError))
            err = readError;
        doc = Document{};
        return false;
    }
    return true;
}

bool Document::openFile(const std::string& path, Document& doc, Error& err)
{
    SourcePtr src;
    return FileSource::open(path, src, err) && open(std::move(src), doc, err);
}

} // namespace psd
