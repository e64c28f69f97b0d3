#pragma once

#include "psd/Error.h"
#include "psd/Signature.h"
#include "psd/Sink.h"
#include "psd/Source.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace psd {

// A range of the source, in bytes.
struct FileSpan
{
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint64_t end() const { return offset + length; }
};

struct Header
{
    std::uint16_t version = 0; // 1 PSD, 2 PSB
    std::uint16_t channels = 0;
    std::uint32_t height = 0;
    std::uint32_t width = 0;
    std::uint16_t depth = 0;
    std::uint16_t colorMode = 0;
    // False when width or height exceed the format's limit (30,000 PSD, 300,000 PSB). Such files are kept
    // and opened: nothing in the container depends on the canvas size, and a slimmer must not refuse them.
    bool dimensionsInRange = true;

    bool isPsb() const { return version == 2; }
};

struct ImageResource
{
    std::uint32_t signature = 0; // '8BIM' nearly always; 'MeSa', 'AgHg', 'PHUT', 'DCSR' occur
    std::uint16_t id = 0;
    std::string name; // raw bytes of the Pascal name
    FileSpan whole;   // signature .. end of padding
    std::uint64_t sizeFieldOffset = 0;
    FileSpan data;
    std::uint8_t padding = 0; // 0 or 1, as found
};

struct TaggedBlock
{
    std::uint32_t signature = 0; // '8BIM' or '8B64', written back as read
    std::uint32_t key = 0;
    FileSpan whole; // signature .. end of padding, exactly as on disk
    std::uint64_t lengthFieldOffset = 0;
    unsigned lengthWidth = 4;  // 4 or 8
    FileSpan data;             // the bytes the length field counts
    std::uint64_t padding = 0; // bytes after data that the length does not count, as found
};

struct ChannelInfo
{
    std::int16_t id = 0;      // 0.. colour, -1 transparency, -2 user mask, -3 real user mask
    std::uint64_t length = 0; // includes the channel's 2 compression bytes
};

struct LayerRecord
{
    std::int32_t top = 0, left = 0, bottom = 0, right = 0;
    std::vector<ChannelInfo> channels;
    std::uint32_t blendKey = 0; // unknown keys kept
    std::uint8_t opacity = 255;
    std::uint8_t clipping = 0;
    std::uint8_t flags = 0;
    std::uint8_t filler = 0;
    FileSpan record;         // the whole record as on disk
    FileSpan mask;           // layer mask data (without its length field)
    FileSpan blendingRanges; // without its length field
    std::string pascalName;  // raw bytes
    std::vector<TaggedBlock> blocks;
    FileSpan unparsedTail; // bytes at the end of the extra data that are not a tagged block; kept verbatim
    FileSpan channelData;  // this layer's channel image data

    // Derived while opening.
    std::string name;     // UTF-8: 'luni' when present, else the Pascal name read as Latin-1
    int sectionType = -1; // 'lsct'/'lsdk' type (0 other, 1 open group, 2 closed group, 3 end marker), -1 none
    LayerKind kind = LayerKind::Pixel;
    std::string smartObjectId; // unique id from 'SoLd'/'SoLE' ('Idnt') or 'PlLd'; empty when none or unreadable

    bool visible() const { return (flags & 0x02) == 0; }
    const TaggedBlock* findBlock(std::uint32_t key) const;
};

struct LayerInfo
{
    bool present = false;
    std::uint32_t hostKey = 0;        // 0: the layer info field of the section; 'Lr16'/'Lr32': that global block
    FileSpan span;                    // the layer info data (after its length field, or the host block's data)
    std::int16_t rawCount = 0;        // as stored; negative means the merged image's first alpha is transparency
    std::vector<LayerRecord> records; // bottom-most first, as stored
    FileSpan channelData;
    FileSpan tail; // padding after the channel data, kept as found
};

// A layer of the tree: the record it stands for and, for groups, its children in record order.
struct LayerNode
{
    std::size_t record = 0; // index into LayerInfo::records
    std::vector<LayerNode> children;
};

// One item of a 'lnk2'/'lnkD'/'lnk3'/'lnkE' block.
struct LinkedFile
{
    std::uint32_t blockKey = 0;
    std::size_t blockIndex = 0; // index into globalBlocks()
    std::uint32_t kind = 0;     // 'liFD' embedded, 'liFE' external, 'liFA' alias
    std::uint32_t version = 0;
    std::string uniqueId;
    std::string name; // UTF-8 original file name
    std::uint32_t fileType = 0;
    std::uint32_t creator = 0;
    FileSpan whole; // length field .. end of padding
    std::uint64_t itemLength = 0;
    std::uint64_t padding = 0;               // after the item, not counted by its length
    std::uint64_t dataLengthFieldOffset = 0; // u64
    FileSpan data;                           // liFD: the embedded file's bytes
    bool dataIsPsd = false;                  // liFD data that begins with "8BPS"

    bool isEmbeddedDocument() const;
};

// New data for an image resource made of its own bytes: the cut ranges go, and whitespace padding may go in at
// one point. Nothing of the data is loaded: the write plan copies the kept ranges from the source.
struct ResourceSplice
{
    static constexpr std::uint64_t kNoPaddingPoint = UINT64_MAX;

    std::vector<FileSpan> cuts;                   // relative to the data; sorted, disjoint
    std::uint64_t paddingPoint = kNoPaddingPoint; // relative to the data; where padding may be inserted
    std::uint64_t padding = 0;                    // ASCII spaces inserted at paddingPoint

    std::uint64_t cutBytes() const;
    // The data's new length, for data that had oldLength bytes.
    std::uint64_t newLength(std::uint64_t oldLength) const { return oldLength - cutBytes() + padding; }
};

// How the output is put together: pieces in output order, each either a copy of a source range or literal bytes.
struct PlanPiece
{
    std::uint64_t outOffset = 0;
    std::uint64_t length = 0;
    bool copy = true;
    std::uint64_t sourceOffset = 0;                         // copy pieces
    std::shared_ptr<const std::vector<std::uint8_t>> bytes; // literal pieces
    std::size_t bytesOffset = 0;
};

struct WritePlan
{
    std::vector<PlanPiece> pieces;
    std::uint64_t outputSize = 0;
    std::uint64_t copiedBytes() const;
    std::uint64_t literalBytes() const;
    // Every piece starts where the one before it ends and the last ends at outputSize; copies lie inside a source
    // of sourceSize bytes and literals inside their bytes.
    bool fits(std::uint64_t sourceSize) const;
};

class Document
{
public:
    // Parses the header, colour mode data, image resources, layer and mask section and finds the image data.
    // Channel and image data, and large blocks, stay spans of source.
    static bool open(SourcePtr source, Document& doc, Error& err);
    static bool openFile(const std::string& path, Document& doc, Error& err);

    static constexpr std::uint16_t kXmpResourceId = 1060;
    static constexpr int kMaxGroupDepth = 64;

    const Header& header() const { return m_header; }
    const SourcePtr& source() const { return m_source; }

    FileSpan colorModeData() const { return m_colorModeData; }       // without the length field
    FileSpan resourcesSection() const { return m_resourcesSection; } // without the length field
    FileSpan layerMaskSection() const { return m_layerMaskSection; } // without the length field
    // Without its length field. When hasGlobalLayerMask() is false: the bytes, kept as found, between the layer
    // info and the first global block of a writer that miscounted the layer info (usually none).
    FileSpan globalLayerMask() const { return m_globalLayerMask; }
    bool hasGlobalLayerMask() const { return m_hasGlobalLayerMask; }
    FileSpan imageData() const { return m_imageData; } // to the end of the source

    const std::vector<ImageResource>& resources() const { return m_resources; }
    // The first block with this id, or null.
    const ImageResource* findResource(std::uint16_t id) const;
    // The data of the first block with this id (the edited data when set, a splice applied). NotFound when absent.
    bool resourceData(std::uint16_t id, std::vector<std::uint8_t>& out, Error& err) const;
    bool hasXmp() const { return findResource(kXmpResourceId) != nullptr || m_resourceEdits.count(kXmpResourceId); }
    bool xmpPacket(std::vector<std::uint8_t>& out, Error& err) const { return resourceData(kXmpResourceId, out, err); }
    // Replaces the data of the first block with this id; appends a new '8BIM' block when there is none.
    bool setResourceData(std::uint16_t id, std::vector<std::uint8_t> bytes, Error& err);
    // Replaces the data of the first block with this id by a splice of its own bytes (replacing any earlier edit
    // of it). Fails when there is no such block, or the cuts or the padding point do not fit its data.
    bool spliceResource(std::uint16_t id, ResourceSplice splice, Error& err);
    // The splice set for this id, or null.
    const ResourceSplice* resourceSplice(std::uint16_t id) const;
    // Pads the XMP splice with extraBytes spaces just before the packet's closing <?xpacket end=...?> (where XMP
    // keeps its padding): the document's head then ends extraBytes later. Replaces any padding set before; 0
    // removes it. Fails, leaving the edit as it was, when the XMP resource has no splice with a padding point
    // (no trailer was found) or the padded data no longer fits a 32-bit size.
    bool setXmpPadding(std::uint64_t extraBytes, Error& err);

    const LayerInfo& layerInfo() const { return m_layerInfo; }
    const std::vector<LayerRecord>& layers() const { return m_layerInfo.records; }
    const std::vector<TaggedBlock>& globalBlocks() const { return m_globalBlocks; }
    FileSpan globalBlocksTail() const { return m_globalTail; } // bytes after the last global block, kept verbatim

    // Top-level layers in record order (bottom-most first); groups hold their children.
    const std::vector<LayerNode>& layerTree() const { return m_tree; }
    StructureSignature signature() const;

    const std::vector<LinkedFile>& linkedFiles() const { return m_linkedFiles; }
    // The first 'liFD' item with this unique id, or null.
    const LinkedFile* findEmbedded(const std::string& uniqueId) const;
    // Opens an embedded PSD/PSB payload from a view of this document's source (never a copy).
    bool openEmbedded(const std::string& uniqueId, Document& out, Error& err) const;
    // Replaces an embedded payload; writing then recomputes the item, block and section lengths.
    bool replaceEmbeddedPayload(const std::string& uniqueId, std::shared_ptr<const std::vector<std::uint8_t>> bytes,
                                Error& err);
    // Replaces an embedded payload by what plan puts together, plan being the write plan of the payload's own
    // document as openEmbedded opened it: its copies are offsets into the old payload. Nothing of the payload is
    // loaded; writing copies those ranges from this document's source. Fails when plan does not fit the payload.
    bool spliceEmbeddedPayload(const std::string& uniqueId, WritePlan plan, Error& err);

    bool isEdited() const { return !m_resourceEdits.empty() || !m_resourceSplices.empty() || !m_payloadEdits.empty(); }

    // The output as pieces; with no edit it is one copy of the whole source.
    bool plan(WritePlan& out, Error& err) const;
    bool write(Sink& sink, Error& err) const;

private:
    friend class DocumentParser;

    SourcePtr m_source;
    Header m_header;
    FileSpan m_colorModeData;
    FileSpan m_resourcesSection;
    FileSpan m_layerMaskSection;
    FileSpan m_globalLayerMask;
    bool m_hasGlobalLayerMask = false;
    FileSpan m_imageData;
    std::vector<ImageResource> m_resources;
    LayerInfo m_layerInfo;
    std::vector<TaggedBlock> m_globalBlocks;
    FileSpan m_globalTail;
    std::vector<LayerNode> m_tree;
    std::vector<LinkedFile> m_linkedFiles;

    std::map<std::uint16_t, std::shared_ptr<const std::vector<std::uint8_t>>> m_resourceEdits;
    std::map<std::uint16_t, ResourceSplice> m_resourceSplices;
    std::map<std::size_t, WritePlan> m_payloadEdits; // by linkedFiles index; copies relative to the old payload
};

// Checks that every copy piece of plan reads back identical from written (at its output offset) and original
// (at its source offset), and that written has the planned size. Streams in bounded chunks.
bool verifyPlanCopies(const WritePlan& plan, const Source& original, const Source& written, Error& err);

} // namespace psd
