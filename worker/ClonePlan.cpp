#include "worker/ClonePlan.h"

#include "worker/FileOps.h"
#include "worker/Slimmer.h"
#include "worker/TextUtil.h"

#include "psd/Document.h"

#include <algorithm>
#include <cstdint>
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

bool prepareClone(psd::Document& doc, DocumentEdits& edits, const psd::Source& original, psd::File& out,
                  psd::WritePlan& plan, std::uint64_t& blockSize, WorkerError& err)
{
    blockSize = 0;
    std::uint64_t baseOffset = 0;
    const psd::File* in = original.file(baseOffset);
    psd::Error perr;
    CloneInputs inputs;
    if (in == nullptr || baseOffset != 0 || !out.blockSize(inputs.blockSize, perr))
        return true;
    inputs.originalSize = original.size();
    inputs.plannedSize = plan.outputSize;
    inputs.fileSystemClones = true; // asked below, once the rest says cloning would pay
    CloneRules rules;
    if (files::cloneRulesLifted())
        rules = CloneRules{0, 1000000}; // tests clone small files
    const CloneChoice choice = choosePadding(inputs, rules);
    if (!choice.clone)
        return true;
    // The probe's block lies inside what the plan writes anyway (choosePadding wants two blocks).
    if (out.cloneFrom(*in, 0, 0, inputs.blockSize, perr) != psd::File::KernelCopy::Done)
        return true;
    WorkerError padError;
    if (choice.padding > 0 && !padXmpForClone(doc, edits, choice.padding, padError))
        return true; // nothing to pad: the present path
    if (choice.padding > 0 && !doc.plan(plan, perr))
        return fail(err, "FormatError", perr.describe());
    blockSize = inputs.blockSize;
    return true;
}

} // namespace worker
