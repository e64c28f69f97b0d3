#include "psd/PlanSource.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace psd {

PlanSource::PlanSource(SourcePtr source, WritePlan plan) : m_source(std::move(source)), m_plan(std::move(plan)) {}

bool PlanSource::make(SourcePtr source, WritePlan plan, std::shared_ptr<const PlanSource>& out, Error& err)
{
    if (!source || !plan.fits(source->size()))
        return fail(err, ErrorCode::Malformed, 0, "the write plan does not fit its source");
    out.reset(new PlanSource(std::move(source), std::move(plan)));
    return true;
}

bool PlanSource::read(std::uint64_t offset, void* out, std::size_t length, Error& err) const
{
    if (offset > m_plan.outputSize || length > m_plan.outputSize - offset)
        return fail(err, ErrorCode::Truncated, offset,
                    "read of " + std::to_string(length) + " bytes runs past the end of the data (size " +
                        std::to_string(m_plan.outputSize) + ")");
    // The last piece that starts at or before offset; pieces are contiguous (checked when made).
    auto it = std::upper_bound(m_plan.pieces.begin(), m_plan.pieces.end(), offset,
                               [](std::uint64_t at, const PlanPiece& piece) { return at < piece.outOffset; });
    auto* to = static_cast<std::uint8_t*>(out);
    while (length > 0) {
        const PlanPiece& piece = *std::prev(it);
        const std::uint64_t within = offset - piece.outOffset;
        const std::size_t n = std::size_t(std::min<std::uint64_t>(length, piece.length - within));
        if (piece.copy) {
            if (!m_source->read(piece.sourceOffset + within, to, n, err))
                return false;
        } else {
            std::memcpy(to, piece.bytes->data() + piece.bytesOffset + within, n);
        }
        to += n;
        offset += n;
        length -= n;
        ++it;
    }
    return true;
}

} // namespace psd
