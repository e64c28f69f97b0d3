#include "psd/Document.h"

#include "psd/FourCC.h"

namespace psd {

bool LinkedFile::isEmbeddedDocument() const
{
    return kind == key::kLiFD && dataIsPsd;
}

const ImageResource* Document::findResource(std::uint16_t id) const
{
    for (const ImageResource& r : m_resources) {
        if (r.id == id)
            return &r;
    }
    return nullptr;
}

bool Document::resourceData(std::uint16_t id, std::vector<std::uint8_t>& out, Error& err) const
{
    if (const auto edit = m_resourceEdits.find(id); edit != m_resourceEdits.end()) {
        out = *edit->second;
        return true;
    }
    const ImageResource* res = findResource(id);
    if (!res)
        return fail(err, ErrorCode::NotFound, m_resourcesSection.offset,
                    "document has no image resource " + std::to_string(id));
    const auto splice = m_resourceSplices.find(id);
    if (splice == m_resourceSplices.end())
        return m_source->readBytes(res->data.offset, res->data.length, out, err);
    // Put together like the writer does: kept ranges, with the padding at its point.
    const ResourceSplice& s = splice->second;
    const std::uint64_t length = s.newLength(res->data.length);
    if (length > Source::kDefaultMaxLoad)
        return fail(err, ErrorCode::TooLarge, res->data.offset,
                    "refusing to load a spliced resource of " + std::to_string(length) + " bytes");
    out.clear();
    out.reserve(std::size_t(length));
    std::vector<std::uint8_t> part;
    std::uint64_t from = 0;
    const auto keep = [&](std::uint64_t to) {
        if (s.paddingPoint >= from && s.paddingPoint <= to) {
            if (!m_source->readBytes(res->data.offset + from, s.paddingPoint - from, part, err))
                return false;
            out.insert(out.end(), part.begin(), part.end());
            out.insert(out.end(), std::size_t(s.padding), ' ');
            from = s.paddingPoint;
        }
        if (!m_source->readBytes(res->data.offset + from, to - from, part, err))
            return false;
        out.insert(out.end(), part.begin(), part.end());
        return true;
    };
    for (const FileSpan& cut : s.cuts) {
        if (!keep(cut.offset))
            return false;
        from = cut.end();
    }
    return keep(res->data.length);
}

bool Document::setResourceData(std::uint16_t id, std::vector<std::uint8_t> bytes, Error& err)
{
    // The size field is a u32 and the resources section length too; the writer checks the sum.
    if (bytes.size() > 0xfffffff0u)
        return fail(err, ErrorCode::TooLarge, 0,
                    "image resource data of " + std::to_string(bytes.size()) + " bytes does not fit a 32-bit size");
    if (!m_source)
        return fail(err, ErrorCode::NotFound, 0, "document is not open");
    m_resourceEdits[id] = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
    m_resourceSplices.erase(id);
    return true;
}

std::uint64_t ResourceSplice::cutBytes() const
{
    std::uint64_t n = 0;
    for (const FileSpan& cut : cuts)
        n += cut.length;
    return n;
}

bool Document::spliceResource(std::uint16_t id, ResourceSplice splice, Error& err)
{
    const ImageResource* res = findResource(id);
    if (!res)
        return fail(err, ErrorCode::NotFound, m_resourcesSection.offset,
                    "document has no image resource " + std::to_string(id) + " to splice");
    std::uint64_t at = 0;
    for (const FileSpan& cut : splice.cuts) {
        if (cut.length == 0 || cut.offset < at || cut.length > res->data.length ||
            cut.offset > res->data.length - cut.length)
            return fail(err, ErrorCode::Malformed, res->data.offset + cut.offset,
                        "cuts of image resource " + std::to_string(id) + " are empty, out of order or beyond its data");
        // Padding goes between kept bytes, never into a cut.
        if (splice.paddingPoint > cut.offset && splice.paddingPoint < cut.end())
            return fail(err, ErrorCode::Malformed, res->data.offset + splice.paddingPoint,
                        "the padding point lies inside a cut");
        at = cut.end();
    }
    if (splice.paddingPoint == ResourceSplice::kNoPaddingPoint)
        splice.padding = 0;
    else if (splice.paddingPoint > res->data.length)
        return fail(err, ErrorCode::Malformed, res->data.offset, "the padding point lies beyond the data");
    if (splice.padding > 0xfffffff0u || splice.newLength(res->data.length) > 0xfffffff0u)
        return fail(err, ErrorCode::TooLarge, res->data.offset,
                    "the spliced image resource does not fit a 32-bit size");
    m_resourceSplices[id] = std::move(splice);
    m_resourceEdits.erase(id);
    return true;
}

const ResourceSplice* Document::resourceSplice(std::uint16_t id) const
{
    const auto it = m_resourceSplices.find(id);
    return it == m_resourceSplices.end() ? nullptr : &it->second;
}

bool Document::setXmpPadding(std::uint64_t extraBytes, Error& err)
{
    const auto it = m_resourceSplices.find(kXmpResourceId);
    if (it == m_resourceSplices.end() || it->second.paddingPoint == ResourceSplice::kNoPaddingPoint)
        return fail(err, ErrorCode::NotFound, m_resourcesSection.offset,
                    "the XMP packet has no edit with a place for padding (no <?xpacket end trailer)");
    ResourceSplice padded = it->second;
    padded.padding = extraBytes;
    return spliceResource(kXmpResourceId, std::move(padded), err);
}

const LinkedFile* Document::findEmbedded(const std::string& uniqueId) const
{
    for (const LinkedFile& f : m_linkedFiles) {
        if (f.kind == key::kLiFD && f.uniqueId == uniqueId)
            return &f;
    }
    return nullptr;
}

bool Document::openEmbedded(const std::string& uniqueId, Document& out, Error& err) const
{
    const LinkedFile* file = findEmbedded(uniqueId);
    if (!file)
        return fail(err, ErrorCode::NotFound, 0, "no embedded file with id " + uniqueId);
    if (!file->dataIsPsd)
        return fail(err, ErrorCode::Unsupported, file->data.offset, "embedded file " + uniqueId + " is not a PSD/PSB");
    SourcePtr view;
    if (!ViewSource::make(m_source, file->data.offset, file->data.length, view, err))
        return false;
    if (!Document::open(std::move(view), out, err)) {
        err.message = "embedded document " + uniqueId + ": " + err.message;
        return false;
    }
    return true;
}

bool Document::replaceEmbeddedPayload(const std::string& uniqueId,
                                      std::shared_ptr<const std::vector<std::uint8_t>> bytes, Error& err)
{
    if (!bytes)
        return fail(err, ErrorCode::NotFound, 0, "no payload given");
    WritePlan plan;
    plan.outputSize = bytes->size();
    if (!bytes->empty()) {
        PlanPiece piece;
        piece.copy = false;
        piece.length = bytes->size();
        piece.bytes = std::move(bytes);
        plan.pieces.push_back(std::move(piece));
    }
    return spliceEmbeddedPayload(uniqueId, std::move(plan), err);
}

bool Document::spliceEmbeddedPayload(const std::string& uniqueId, WritePlan plan, Error& err)
{
    for (std::size_t i = 0; i < m_linkedFiles.size(); ++i) {
        const LinkedFile& item = m_linkedFiles[i];
        if (item.kind != key::kLiFD || item.uniqueId != uniqueId)
            continue;
        if (!plan.fits(item.data.length))
            return fail(err, ErrorCode::Malformed, item.data.offset,
                        "the new payload of embedded file " + uniqueId + " does not fit its old payload");
        // The writer works out length changes as signed numbers.
        if (plan.outputSize > std::uint64_t(INT64_MAX) / 2)
            return fail(err, ErrorCode::TooLarge, item.data.offset,
                        "the new payload of embedded file " + uniqueId + " is too large");
        m_payloadEdits[i] = std::move(plan);
        return true;
    }
    return fail(err, ErrorCode::NotFound, 0, "no embedded file with id " + uniqueId);
}

std::uint64_t WritePlan::copiedBytes() const
{
    std::uint64_t n = 0;
    for (const PlanPiece& p : pieces)
        n += p.copy ? p.length : 0;
    return n;
}

std::uint64_t WritePlan::literalBytes() const
{
    return outputSize - copiedBytes();
}

bool WritePlan::fits(std::uint64_t sourceSize) const
{
    std::uint64_t at = 0;
    for (const PlanPiece& piece : pieces) {
        if (piece.outOffset != at || piece.length > outputSize - at)
            return false;
        if (piece.copy && (piece.sourceOffset > sourceSize || piece.length > sourceSize - piece.sourceOffset))
            return false;
        if (!piece.copy && (!piece.bytes || piece.bytesOffset > piece.bytes->size() ||
                            piece.length > piece.bytes->size() - piece.bytesOffset))
            return false;
        at += piece.length;
    }
    return at == outputSize;
}

} // namespace psd
