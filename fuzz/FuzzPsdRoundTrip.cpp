// Reader and writer round trip: whatever parses must write back byte-identical, re-parse with an equal structure
// signature, and survive an XMP edit that keeps its signature.
#include "psd/Document.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto bytes = std::make_shared<const std::vector<std::uint8_t>>(data, data + size);
    psd::Document doc;
    psd::Error err;
    if (!psd::Document::open(std::make_shared<psd::MemorySource>(bytes), doc, err))
        return 0;
    const psd::StructureSignature before = doc.signature();

    psd::MemorySink sink;
    if (!doc.write(sink, err) || sink.bytes() != *bytes)
        std::abort(); // an unedited write must be the input itself

    // Embedded documents open from views; each must survive the same checks.
    for (const psd::LinkedFile& file : doc.linkedFiles()) {
        psd::Document inner;
        if (file.isEmbeddedDocument())
            doc.openEmbedded(file.uniqueId, inner, err);
    }

    std::vector<std::uint8_t> xmp(size % 97, 'x');
    if (!doc.setResourceData(psd::Document::kXmpResourceId, xmp, err))
        return 0;
    // A shortened embedded payload moves the item, block and section lengths.
    const psd::LinkedFile* embedded = nullptr;
    for (const psd::LinkedFile& file : doc.linkedFiles()) {
        if (file.isEmbeddedDocument() && !embedded)
            embedded = &file;
    }
    std::vector<std::uint8_t> payload;
    if (embedded) {
        payload.assign(bytes->begin() + std::ptrdiff_t(embedded->data.offset),
                       bytes->begin() + std::ptrdiff_t(embedded->data.offset + embedded->data.length / 2));
        if (!doc.replaceEmbeddedPayload(embedded->uniqueId, std::make_shared<const std::vector<std::uint8_t>>(payload),
                                        err))
            std::abort();
    }
    psd::MemorySink edited;
    if (!doc.write(edited, err))
        return 0; // e.g. a section length that no longer fits its field
    psd::Document again;
    if (!psd::Document::open(psd::MemorySource::make(edited.take()), again, err))
        std::abort();
    if (!(again.signature() == before))
        std::abort();
    std::vector<std::uint8_t> readBack;
    if (!again.xmpPacket(readBack, err) || readBack != xmp)
        std::abort();
    if (embedded) {
        const psd::LinkedFile* moved = again.findEmbedded(embedded->uniqueId);
        if (!moved || moved->data.length != payload.size())
            std::abort();
    }
    return 0;
}
