#include "engine/PlanVerifier.h"

#include "engine/StopRequest.h"
#include "engine/TextUtil.h"

#include <algorithm>
#include <cstring>

namespace worker {

namespace {

constexpr std::size_t kChunk = 1024 * 1024;

// True when [piece.outOffset, +length) lies inside verified copies that map it onto the same source bytes.
bool coveredByVerified(const psd::PlanPiece& piece, const std::vector<VerifiedCopy>& verified)
{
    std::uint64_t at = piece.outOffset;
    const std::uint64_t end = piece.outOffset + piece.length;
    auto it = std::upper_bound(verified.begin(), verified.end(), at,
                               [](std::uint64_t value, const VerifiedCopy& c) { return value < c.outOffset; });
    if (it == verified.begin())
        return false;
    --it;
    while (at < end) {
        if (it == verified.end() || it->outOffset > at || it->outOffset + it->length <= at)
            return false;
        if (it->sourceOffset + (at - it->outOffset) != piece.sourceOffset + (at - piece.outOffset))
            return false;
        at = it->outOffset + it->length;
        ++it;
    }
    return true;
}

} // namespace

bool verifyAgainstPlan(const psd::WritePlan& plan, const psd::Source& original, const psd::Source& written,
                       const std::vector<VerifiedCopy>& verified, WorkerError& err)
{
    if (written.size() != plan.outputSize)
        return fail(err, "ValidationError", "the written file does not have the planned size");

    std::vector<std::uint8_t> ours(kChunk), theirs(kChunk);
    psd::Error perr;
    for (const psd::PlanPiece& piece : plan.pieces) {
        if (piece.copy && coveredByVerified(piece, verified))
            continue;
        for (std::uint64_t done = 0; done < piece.length;) {
            if (stopped(err))
                return false;
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, piece.length - done));
            const std::uint64_t at = piece.outOffset + done;
            if (!written.read(at, ours.data(), n, perr))
                return fail(err, "ValidationError", "the written file cannot be read back at " + std::to_string(at));
            const std::uint8_t* expected = nullptr;
            if (piece.copy) {
                if (!original.read(piece.sourceOffset + done, theirs.data(), n, perr))
                    return fail(err, "ValidationError", "the original cannot be read back: " + perr.describe());
                expected = theirs.data();
            } else {
                expected = piece.bytes->data() + piece.bytesOffset + done;
            }
            if (std::memcmp(ours.data(), expected, n) != 0)
                return fail(err, "ValidationError",
                            "the written file differs from its plan near byte " + std::to_string(at));
            done += n;
        }
    }
    return true;
}

} // namespace worker
