// Deep clean of a hostile embedded object: the input is the payload of a smart object inside a valid document
// that also carries a PNG payload and a linked file. The worker's own deep clean runs in memory; whatever the
// payload holds it must not crash, every byte of the outer document outside the cleaned XMP and the rewritten
// payload stays as it was, and a payload that is rewritten re-opens with its structure unchanged.
#include "EmbeddedDiff.h"
#include "PsdBuilder.h"

#include "psd/Document.h"
#include "engine/Slimmer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

using namespace psdtest;

namespace {

class SilentReporter final : public worker::FileReporter {
public:
    void progress(int, std::string_view) override {}
    void log(std::string_view) override {}
};

[[noreturn]] void fault(const std::string& why)
{
    std::fprintf(stderr, "%s\n", why.c_str());
    std::abort();
}

Bytes outerDocument(const std::uint8_t* data, std::size_t size, std::uint16_t version)
{
    Builder b;
    b.version = version;
    const std::string xmp = xmpWithHistory(2);
    b.resources.push_back({1060, Bytes(xmp.begin(), xmp.end())});
    Layer hostile{"hostile"};
    hostile.blocks.push_back({"SoLd", smartObjectBlock("fz")});
    Layer again{"again"}; // a second layer on the same object: it must be cleaned once
    again.blocks.push_back({"SoLd", smartObjectBlock("fz")});
    Layer picture{"picture"};
    picture.blocks.push_back({"SoLd", smartObjectBlock("png")});
    b.layers = {hostile, again, picture};
    LinkedItem payload;
    payload.uniqueId = "fz";
    payload.data.assign(data, data + size);
    LinkedItem png;
    png.uniqueId = "png";
    png.fileType = "png ";
    png.fileName = u"picture.png";
    png.data = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 0};
    LinkedItem linked;
    linked.kind = "liFE";
    linked.uniqueId = "ext";
    linked.openDescriptor = true;
    b.globalBlocks.push_back({"lnk2", linkedBlock({payload, png, linked})});
    return b.build();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::uint16_t version = (size % 2) ? 2 : 1;
    const auto outer = std::make_shared<const std::vector<std::uint8_t>>(outerDocument(data, size, version));
    psd::Error err;
    psd::Document doc;
    if (!psd::Document::open(std::make_shared<psd::MemorySource>(outer), doc, err))
        fault("the generated outer document does not open: " + err.describe());
    psd::Document original;
    psd::Document::open(doc.source(), original, err);
    const psd::StructureSignature before = doc.signature();

    std::set<std::string> seen;
    SilentReporter reporter;
    worker::CleanCounts counts;
    worker::DocumentEdits edits;
    worker::WorkerError werr;
    if (!worker::cleanDocument(doc, true, 0, seen, reporter, counts, edits, werr))
        fault("a hostile embedded object failed its whole file: " + werr.message);
    if (edits.payloads.size() > 1 || (edits.payloads.size() == 1 && edits.payloads[0].id != "fz"))
        fault("a payload other than the hostile one was rewritten");
    if (counts.embeddedChanged < std::int64_t(edits.payloads.size()))
        fault("changed objects undercounted");

    psd::WritePlan plan;
    if (!doc.plan(plan, err))
        fault("the cleaned outer document has no write plan: " + err.describe());
    if (!worker::planKeepsOtherBytes(plan, doc, edits, werr))
        fault("the outer plan: " + werr.message);
    psd::MemorySink sink;
    if (!doc.write(sink, err))
        fault("the cleaned outer document cannot be written: " + err.describe());
    psd::Document written;
    if (!psd::Document::open(psd::MemorySource::make(sink.take()), written, err))
        fault("the cleaned outer document does not re-open: " + err.describe());
    if (!(written.signature() == before))
        fault("outer structure changed: " + psd::firstDifference(before, written.signature()));
    const DeepDifference diff = compareOutsideEdits(original, written);
    if (!diff.difference.empty())
        fault("bytes changed outside the edits: " + diff.difference);
    if (edits.payloads.empty() && diff.editedPayloads != 0)
        fault("a payload changed that the clean did not report");
    if (!edits.payloads.empty() && diff.editedPayloads == 0)
        fault("a reported payload edit is not in the written document");
    const std::string left = historyLeft(written);
    if (left.rfind("level 0", 0) == 0)
        fault("outer history left: " + left);
    return 0;
}
