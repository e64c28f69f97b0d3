#include "engine/ClonePlan.h"

#include "engine/FileOps.h"
#include "engine/Slimmer.h"
#include "engine/TextUtil.h"

#include "psd/Document.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string_view>

namespace worker {

namespace {

// Block sizes a file system may plausibly report; anything else is not trusted with alignment.
bool plausibleBlockSize(std::uint64_t size)
{
    return size >= 512 && size <= 1024 * 1024 && (size & (size - 1)) == 0;
}

// padding < size * perMillion / 1e6, without overflow (padding is under a block, perMillion at most a million).
bool smallEnough(std::uint64_t padding, std::uint64_t size, std::uint64_t perMillion)
{
    if (padding == 0)
        return true;
    if (size > UINT64_MAX / 1000000)
        return true;
    return padding * 1000000 < size * perMillion;
}

} // namespace

CloneChoice choosePadding(const CloneInputs& in, const CloneRules& rules)
{
    CloneChoice choice;
    if (!in.fileSystemClones || !plausibleBlockSize(in.blockSize) || in.plannedSize > in.originalSize)
        return choice;
    // The new file must cover at least the block the file system is asked to clone when it is probed.
    if (in.plannedSize < 2 * in.blockSize || in.originalSize < rules.minFileSize)
        return choice;
    const std::uint64_t padding = (in.originalSize - in.plannedSize) % in.blockSize;
    if (padding % 2 != 0)
        return choice;
    if (!smallEnough(padding, in.originalSize, rules.maxPaddingPerMillion))
        return choice;
    choice.clone = true;
    choice.padding = padding;
    return choice;
}

bool padXmpForClone(psd::Document& doc, const DocumentEdits& edits, std::uint64_t padding, WorkerError& err)
{
    if (!edits.xmpChanged)
        return fail(err, "FormatError", "the XMP packet was not rewritten");
    psd::Error perr;
    if (!doc.setXmpPadding(padding, perr))
        return fail(err, "FormatError", perr.describe());
    return true;
}

namespace {

// The common part of planning and predicting a clone: given the block size and a way to ask whether the file system
// shares blocks, pads the packet and plans again where cloning pays. blockSize stays 0 on the present path.
bool planClone(psd::Document& doc, DocumentEdits& edits, const psd::Source& original, std::uint64_t fileSystemBlock,
               const std::function<bool(std::uint64_t)>& sharesBlocks, psd::WritePlan& plan,
               std::uint64_t& blockSize, WorkerError& err)
{
    blockSize = 0;
    CloneInputs inputs;
    inputs.blockSize = fileSystemBlock;
    inputs.originalSize = original.size();
    inputs.plannedSize = plan.outputSize;
    inputs.fileSystemClones = true; // asked below, once the rest says cloning would pay
    CloneRules rules;
    if (files::cloneRulesLifted())
        rules = CloneRules{0, 1000000}; // tests clone small files
    const CloneChoice choice = choosePadding(inputs, rules);
    if (!choice.clone || !sharesBlocks(inputs.blockSize))
        return true;
    WorkerError padError;
    if (choice.padding > 0 && !padXmpForClone(doc, edits, choice.padding, padError))
        return true; // nothing to pad: the present path
    psd::Error perr;
    if (choice.padding > 0 && !doc.plan(plan, perr))
        return fail(err, "FormatError", perr.describe());
    blockSize = inputs.blockSize;
    return true;
}

} // namespace

bool prepareClone(psd::Document& doc, DocumentEdits& edits, const psd::Source& original, psd::File& out,
                  psd::WritePlan& plan, std::uint64_t& blockSize, WorkerError& err)
{
    blockSize = 0;
    std::uint64_t baseOffset = 0;
    const psd::File* in = original.file(baseOffset);
    psd::Error perr;
    std::uint64_t block = 0;
    if (in == nullptr || baseOffset != 0 || !out.blockSize(block, perr))
        return true;
    // The probe's block lies inside what the plan writes anyway (choosePadding wants two blocks).
    const auto sharesBlocks = [&](std::uint64_t length) {
        psd::Error probeError;
        return out.cloneFrom(*in, 0, 0, length, probeError) == psd::File::KernelCopy::Done;
    };
    return planClone(doc, edits, original, block, sharesBlocks, plan, blockSize, err);
}

bool predictClone(psd::Document& doc, DocumentEdits& edits, const psd::Source& original,
                  const std::filesystem::path& file, psd::WritePlan& plan, WorkerError& err)
{
    std::uint64_t baseOffset = 0;
    const psd::File* in = original.file(baseOffset);
    psd::Error perr;
    std::uint64_t block = 0;
    // The new file would live in the original's folder, on its file system: same block size.
    if (in == nullptr || baseOffset != 0 || !in->blockSize(block, perr))
        return true;
    const auto sharesBlocks = [&](std::uint64_t length) { return files::folderSharesBlocks(file, *in, length); };
    std::uint64_t blockSize = 0;
    return planClone(doc, edits, original, block, sharesBlocks, plan, blockSize, err);
}

} // namespace worker
