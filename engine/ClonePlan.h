#pragma once

#include "engine/WorkerError.h"

#include <cstdint>
#include <filesystem>

namespace psd {
class Document;
class File;
class Source;
struct WritePlan;
} // namespace psd

namespace worker {

struct DocumentEdits;

// When the new file shares the original's blocks. Cloning keeps every byte after the rewritten head at its place
// within a block only when the head shrinks by a whole number of blocks, so the XMP packet is padded (where XMP
// keeps its padding) by the rest: less than one block, and never more than the file can afford.
struct CloneRules
{
    std::uint64_t minFileSize = 64ull * 1024 * 1024; // below this a copy is about as fast
    std::uint64_t maxPaddingPerMillion = 100;        // padding under 0.01% of the file
};

struct CloneInputs
{
    std::uint64_t originalSize = 0;
    std::uint64_t plannedSize = 0; // the new file as planned without padding
    std::uint64_t blockSize = 0;
    bool fileSystemClones = false;
};

struct CloneChoice
{
    bool clone = false;
    std::uint64_t padding = 0; // whitespace bytes to add to the packet
};

// The padding that makes the original minus the new size a multiple of the block size, and whether cloning pays.
// The resource keeps its data even-sized with one pad byte, so only an even shrink can be made whole: adding an
// even number of bytes to the packet leaves that pad byte as it was and grows the file by exactly that number.
CloneChoice choosePadding(const CloneInputs& in, const CloneRules& rules = {});

// Adds padding spaces to the cleaned XMP packet just before its closing "<?xpacket end". False (with the reason)
// when the packet was not cleaned or has no trailer.
bool padXmpForClone(psd::Document& doc, const DocumentEdits& edits, std::uint64_t padding, WorkerError& err);

// Prepares the clone path for writing doc into out: finds out's block size, asks the file system whether it shares
// original's blocks with out (cloning its first block, which the new head overwrites), pads the packet and plans
// again. blockSize is 0 when the present path is taken; plan is then left as it was. Only a failure to plan again
// after padding is an error.
bool prepareClone(psd::Document& doc, DocumentEdits& edits, const psd::Source& original, psd::File& out,
                  psd::WritePlan& plan, std::uint64_t& blockSize, WorkerError& err);

// What prepareClone would make of plan for a new file beside file, found without creating one: the original's block
// size, and the file system asked whether it shares blocks through a file nobody can see (files::folderSharesBlocks).
// Pads the packet and plans again exactly where prepareClone would.
bool predictClone(psd::Document& doc, DocumentEdits& edits, const psd::Source& original,
                  const std::filesystem::path& file, psd::WritePlan& plan, WorkerError& err);

} // namespace worker
