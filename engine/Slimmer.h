#pragma once

#include "engine/FileOps.h"
#include "engine/FileProcessor.h"

#include "psd/Document.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace worker {

// Slims one PSD/PSB file in place: removes the editing history from its XMP packet (and, in deep mode, from the
// embedded PSD/PSB smart objects), writes the result beside it, checks it and only then swaps it in.
class GroupCommit;

// Small files are committed in groups (GroupCommit): their flushes are shared.
class Slimmer final : public FileProcessor {
public:
    Slimmer();
    ~Slimmer() override;
    bool process(const std::filesystem::path& file, bool deep, FileReporter& reporter, FileResult& result,
                 WorkerError& err) override;
    void start(const std::filesystem::path& file, bool deep, FileReporter& reporter, FileDone done) override;
    void finishPending() override;
    // What process would do to file, found without writing anything at all (no temporary, no flush): the same
    // reading, checks, cleaning and plan. result holds what process would report; a file it would refuse fails
    // with the same error, but for what only writing can tell (a full disk, a folder not writable).
    bool analyse(const std::filesystem::path& file, bool deep, FileReporter& reporter, FileResult& result,
                 WorkerError& err);

private:
    std::unique_ptr<GroupCommit> m_group;
    files::TemporaryNames m_temporaryNames; // the job's folders, listed once each
};

// A rewritten embedded payload. Only its plan is held: the cleaned document is read through it, from the original.
struct PayloadEdit
{
    std::string id;                        // the unique id of its item
    psd::SourcePtr cleaned;                // the new payload, as its plan puts it together
    std::vector<psd::FileSpan> rewritable; // ranges of the old payload its plan may leave out; sorted
};

// What cleaning changed in one document, so that the written file can be checked against it.
struct DocumentEdits {
    bool xmpChanged = false;
    std::vector<psd::FileSpan> xmpCuts; // what the cleaner cut from the XMP packet, relative to its data
    std::vector<PayloadEdit> payloads;
};

struct CleanCounts {
    std::int64_t removed = 0;         // XMP elements removed, nested documents included
    std::int64_t embeddedChanged = 0; // embedded objects rewritten, nested ones included
};

// Proves that plan, applied to doc's source, changes nothing but what edits explain: every source byte is copied
// once, in order, except the ranges an edit may rewrite (for the XMP packet its block's size field, the cut
// ranges and the pad byte, and the resources length: the kept bytes of the packet must be copied; an edited
// payload's data length, item length and padding, its block's length and padding and the layer and mask section
// length, and inside the payload what its own edits may rewrite, at every level: the rest of it must be copied).
bool planKeepsOtherBytes(const psd::WritePlan& plan, const psd::Document& doc, const DocumentEdits& edits,
                         WorkerError& err);

// Cleans doc's XMP packet and, when deep, its embedded PSD/PSB smart objects (each unique id once, tracked in
// seen). A failing embedded object is logged and left as it is; only a failure to read doc itself fails.
bool cleanDocument(psd::Document& doc, bool deep, int depth, std::set<std::string>& seen, FileReporter& reporter,
                   CleanCounts& counts, DocumentEdits& edits, WorkerError& err);

} // namespace worker
