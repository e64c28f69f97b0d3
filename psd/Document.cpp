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
    return m_source->readBytes(res->data.offset, res->data.length, out, err);
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
    return true;
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
    for (std::size_t i = 0; i < m_linkedFiles.size(); ++i) {
        if (m_linkedFiles[i].kind == key::kLiFD && m_linkedFiles[i].uniqueId == uniqueId) {
            m_payloadEdits[i] = std::move(bytes);
            return true;
        }
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

} // namespace psd
