#include "psd/Document.h"

#include "psd/FourCC.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace psd {

namespace {

using Bytes = std::vector<std::uint8_t>;
using BytesPtr = std::shared_ptr<const Bytes>;

// A range of the source replaced by literal bytes (zero-length ranges insert).
struct Patch
{
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::vector<PlanPiece> literals;
};

void putBe(Bytes& out, std::uint64_t value, unsigned width)
{
    for (int shift = int(width) * 8 - 8; shift >= 0; shift -= 8)
        out.push_back(std::uint8_t(value >> shift));
}

PlanPiece literal(BytesPtr bytes, std::size_t offset = 0, std::size_t length = SIZE_MAX)
{
    PlanPiece p;
    p.copy = false;
    p.length = std::min(length, bytes->size() - offset);
    p.bytesOffset = offset;
    p.bytes = std::move(bytes);
    return p;
}

PlanPiece literal(Bytes bytes)
{
    return literal(std::make_shared<const Bytes>(std::move(bytes)));
}

Patch numberPatch(std::uint64_t offset, std::uint64_t value, unsigned width)
{
    Bytes b;
    putBe(b, value, width);
    return Patch{offset, width, {literal(std::move(b))}};
}

std::uint64_t padTo(std::uint64_t length, std::uint64_t multiple)
{
    return (multiple - length % multiple) % multiple;
}

// The padding a rewritten item gets: the rule its old padding followed (to 4, to 2, or none); padding that
// follows no rule is kept as it was.
std::uint64_t paddingFor(std::uint64_t oldLength, std::uint64_t oldPadding, std::uint64_t newLength)
{
    if (oldPadding == padTo(oldLength, 4))
        return padTo(newLength, 4);
    if (oldPadding == padTo(oldLength, 2))
        return padTo(newLength, 2);
    return oldPadding;
}

bool applyDelta(std::uint64_t oldValue, std::int64_t delta, unsigned width, std::uint64_t& out, Error& err,
                std::uint64_t fieldOffset, const std::string& what)
{
    const std::uint64_t max = width == 8 ? std::numeric_limits<std::uint64_t>::max() : 0xffffffffu;
    if (delta < 0 && std::uint64_t(-delta) > oldValue)
        return fail(err, ErrorCode::Malformed, fieldOffset, what + " would become negative");
    if (delta > 0 && std::uint64_t(delta) > max - oldValue)
        return fail(err, ErrorCode::TooLarge, fieldOffset,
                    what + " no longer fits its " + std::to_string(width * 8) + "-bit length field");
    out = delta < 0 ? oldValue - std::uint64_t(-delta) : oldValue + std::uint64_t(delta);
    return true;
}

} // namespace

bool Document::plan(WritePlan& out, Error& err) const
{
    out = WritePlan{};
    if (!m_source)
        return fail(err, ErrorCode::NotFound, 0, "document is not open");
    std::vector<Patch> patches;

    // Image resources: the edited blocks and the section length.
    std::int64_t resourcesDelta = 0;
    for (const auto& [id, bytes] : m_resourceEdits) {
        const std::uint64_t pad = bytes->size() % 2;
        Bytes head;
        const ImageResource* res = findResource(id);
        if (res) {
            putBe(head, bytes->size(), 4);
            Patch p{res->sizeFieldOffset, res->whole.end() - res->sizeFieldOffset, {literal(std::move(head))}};
            if (!bytes->empty())
                p.literals.push_back(literal(bytes));
            if (pad)
                p.literals.push_back(literal(Bytes(1, 0)));
            resourcesDelta += std::int64_t(4 + bytes->size() + pad) - std::int64_t(p.length);
            patches.push_back(std::move(p));
        } else {
            // A new block goes at the end of the section: '8BIM', id, empty name padded to 2, size, data, pad.
            putBe(head, key::k8BIM, 4);
            putBe(head, id, 2);
            putBe(head, 0, 2);
            putBe(head, bytes->size(), 4);
            Patch p{m_resourcesSection.end(), 0, {literal(std::move(head))}};
            if (!bytes->empty())
                p.literals.push_back(literal(bytes));
            if (pad)
                p.literals.push_back(literal(Bytes(1, 0)));
            resourcesDelta += std::int64_t(12 + bytes->size() + pad);
            patches.push_back(std::move(p));
        }
    }
    for (const auto& [id, splice] : m_resourceSplices) {
        const ImageResource* res = findResource(id);
        if (!res)
            return fail(err, ErrorCode::NotFound, m_resourcesSection.offset, "spliced resource is gone");
        const std::uint64_t length = splice.newLength(res->data.length);
        const std::uint64_t pad = length % 2;
        Bytes head;
        putBe(head, length, 4);
        Patch p{res->sizeFieldOffset, res->whole.end() - res->sizeFieldOffset, {literal(std::move(head))}};
        const auto keep = [&p, &res](std::uint64_t from, std::uint64_t to) {
            PlanPiece copy;
            copy.sourceOffset = res->data.offset + from;
            copy.length = to - from;
            p.literals.push_back(copy);
        };
        std::uint64_t from = 0;
        bool padded = splice.padding == 0;
        for (const FileSpan& cut : splice.cuts) {
            if (!padded && splice.paddingPoint <= cut.offset) {
                keep(from, splice.paddingPoint);
                p.literals.push_back(literal(Bytes(std::size_t(splice.padding), ' ')));
                from = splice.paddingPoint;
                padded = true;
            }
            keep(from, cut.offset);
            from = cut.end();
        }
        if (!padded) {
            keep(from, splice.paddingPoint);
            p.literals.push_back(literal(Bytes(std::size_t(splice.padding), ' ')));
            from = splice.paddingPoint;
        }
        keep(from, res->data.length);
        if (pad)
            p.literals.push_back(literal(Bytes(1, 0)));
        resourcesDelta += std::int64_t(4 + length + pad) - std::int64_t(p.length);
        patches.push_back(std::move(p));
    }
    if (!m_resourceEdits.empty() || !m_resourceSplices.empty()) {
        std::uint64_t length = 0;
        const std::uint64_t field = m_resourcesSection.offset - 4;
        if (!applyDelta(m_resourcesSection.length, resourcesDelta, 4, length, err, field, "image resources section"))
            return false;
        patches.push_back(numberPatch(field, length, 4));
    }

    // Embedded payloads: data length, item length and padding, block length and padding, section length.
    std::map<std::size_t, std::int64_t> blockDeltas;
    for (const auto& [index, payload] : m_payloadEdits) {
        const LinkedFile& item = m_linkedFiles[index];
        const std::int64_t dataDelta = std::int64_t(payload.outputSize) - std::int64_t(item.data.length);
        std::uint64_t itemLength = 0;
        if (!applyDelta(item.itemLength, dataDelta, 8, itemLength, err, item.whole.offset, "linked file item"))
            return false;
        const std::uint64_t padding = paddingFor(item.itemLength, item.padding, itemLength);
        patches.push_back(numberPatch(item.whole.offset, itemLength, 8));
        patches.push_back(numberPatch(item.dataLengthFieldOffset, payload.outputSize, 8));
        // The payload's pieces, its copies moved from the payload to where it lies in this source.
        Patch data{item.data.offset, item.data.length, payload.pieces};
        for (PlanPiece& piece : data.literals)
            piece.sourceOffset += piece.copy ? item.data.offset : 0;
        patches.push_back(std::move(data));
        if (padding != item.padding)
            patches.push_back(Patch{item.whole.end() - item.padding, item.padding, {literal(Bytes(padding, 0))}});
        blockDeltas[item.blockIndex] += dataDelta + std::int64_t(padding) - std::int64_t(item.padding);
    }
    std::int64_t sectionDelta = 0;
    for (const auto& [index, delta] : blockDeltas) {
        const TaggedBlock& block = m_globalBlocks[index];
        std::uint64_t length = 0;
        if (!applyDelta(block.data.length, delta, block.lengthWidth, length, err, block.lengthFieldOffset,
                        "tagged block " + fourccText(block.key)))
            return false;
        const std::uint64_t padding = paddingFor(block.data.length, block.padding, length);
        patches.push_back(numberPatch(block.lengthFieldOffset, length, block.lengthWidth));
        if (padding != block.padding)
            patches.push_back(Patch{block.whole.end() - block.padding, block.padding, {literal(Bytes(padding, 0))}});
        sectionDelta += delta + std::int64_t(padding) - std::int64_t(block.padding);
    }
    if (!blockDeltas.empty()) {
        const unsigned width = m_header.version == 2 ? 8 : 4;
        const std::uint64_t field = m_layerMaskSection.offset - width;
        std::uint64_t length = 0;
        if (!applyDelta(m_layerMaskSection.length, sectionDelta, width, length, err, field,
                        "layer and mask information"))
            return false;
        patches.push_back(numberPatch(field, length, width));
    }

    std::stable_sort(patches.begin(), patches.end(),
                     [](const Patch& a, const Patch& b) { return a.offset < b.offset; });
    std::uint64_t cursor = 0;
    auto add = [&out](PlanPiece piece) {
        if (piece.length == 0)
            return;
        piece.outOffset = out.outputSize;
        out.outputSize += piece.length;
        out.pieces.push_back(std::move(piece));
    };
    for (Patch& p : patches) {
        if (p.offset < cursor)
            return fail(err, ErrorCode::Malformed, p.offset, "edits overlap");
        PlanPiece copy;
        copy.sourceOffset = cursor;
        copy.length = p.offset - cursor;
        add(copy);
        for (PlanPiece& lit : p.literals)
            add(std::move(lit));
        cursor = p.offset + p.length;
    }
    if (cursor > m_source->size())
        return fail(err, ErrorCode::Malformed, cursor, "edit beyond the end of the source");
    PlanPiece last;
    last.sourceOffset = cursor;
    last.length = m_source->size() - cursor;
    add(last);
    return true;
}

bool Document::write(Sink& sink, Error& err) const
{
    WritePlan p;
    if (!plan(p, err))
        return false;
    for (const PlanPiece& piece : p.pieces) {
        const bool ok = piece.copy
                            ? sink.copyFrom(*m_source, piece.sourceOffset, piece.length, err)
                            : sink.write(piece.bytes->data() + piece.bytesOffset, std::size_t(piece.length), err);
        if (!ok)
            return false;
    }
    return true;
}

bool verifyPlanCopies(const WritePlan& plan, const Source& original, const Source& written, Error& err)
{
    if (written.size() != plan.outputSize)
        return fail(err, ErrorCode::Malformed, written.size(),
                    "written file has " + std::to_string(written.size()) + " bytes, " +
                        std::to_string(plan.outputSize) + " planned");
    constexpr std::size_t kChunk = 256 * 1024;
    std::vector<std::uint8_t> a, b;
    for (const PlanPiece& piece : plan.pieces) {
        if (!piece.copy)
            continue;
        for (std::uint64_t done = 0; done < piece.length;) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(kChunk, piece.length - done));
            a.resize(n);
            b.resize(n);
            if (!original.read(piece.sourceOffset + done, a.data(), n, err) ||
                !written.read(piece.outOffset + done, b.data(), n, err))
                return false;
            if (std::memcmp(a.data(), b.data(), n) != 0) {
                std::size_t i = 0;
                while (a[i] == b[i])
                    ++i;
                return fail(err, ErrorCode::Malformed, piece.outOffset + done + i,
                            "written byte differs from source offset " + std::to_string(piece.sourceOffset + done + i));
            }
            done += n;
        }
    }
    return true;
}

} // namespace psd
