// The streaming XMP clean on any bytes, read in small chunks of a size the input chooses: the cuts are sorted,
// apart and inside the packet, and the same as a clean in one piece and as one with every byte parsed (no
// content skipped); the document spliced with them (and padded where the packet has a trailer) re-opens with its
// structure, its packet is exactly the kept bytes plus the padding, and cleaning that packet again removes
// nothing.
#include "PsdBuilder.h"

#include "psd/Document.h"
#include "psd/xmp/XmpCleaner.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace psdtest;

namespace {

[[noreturn]] void fault(const char* why)
{
    std::fprintf(stderr, "%s\n", why);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace psd::xmp;
    if (size < 2)
        return 0;
    XmpCleanOptions options;
    options.chunkSize = 1 + data[0] % 97;
    const std::uint64_t padding = data[1] * 37u;
    const Bytes packet(data + 2, data + size);

    // The packet as resource 1060 between two other resources, so that the view starts inside the document.
    Builder b;
    b.resources = {{1000, Bytes(3, 1)}, {1060, packet}, {1005, Bytes(4, 2)}};
    const Bytes file = b.build();
    const psd::SourcePtr source = psd::MemorySource::make(file);
    psd::Document doc;
    psd::Error err;
    if (!psd::Document::open(source, doc, err))
        fault("the built document does not open");
    const psd::ImageResource* res = doc.findResource(1060);
    psd::SourcePtr view;
    if (res == nullptr || !psd::ViewSource::make(source, res->data.offset, res->data.length, view, err))
        fault("no view of the packet");

    XmpCleanResult streamed, whole, parsed;
    XmpError error, wholeError, parsedError;
    const bool examined = cleanXmpStream(*view, streamed, error, options);
    const std::string_view text(reinterpret_cast<const char*>(packet.data()), packet.size());
    cleanXmpPacket(text, whole, wholeError);
    const auto same = [](const XmpCleanResult& a, const XmpCleanResult& b) {
        return a.outcome == b.outcome && a.removedRanges == b.removedRanges && a.removedElements == b.removedElements &&
               a.hasTrailer == b.hasTrailer && a.trailerOffset == b.trailerOffset;
    };
    if (!same(streamed, whole))
        fault("the chunk size changed the result");
    // Skipping the simple content of removed elements changes nothing, not even the error's message.
    XmpCleanOptions noSkip;
    noSkip.skipSimpleContent = false;
    cleanXmpPacket(text, parsed, parsedError, noSkip);
    if (parsed.outcome != XmpOutcome::OutOfMemory &&
        (!same(parsed, whole) || parsedError.message != wholeError.message || parsedError.offset != wholeError.offset))
        fault("skipping content without the parser changed the result");
    if (!examined || streamed.outcome != XmpOutcome::Cleaned)
        return 0;

    psd::ResourceSplice splice;
    std::uint64_t from = 0;
    for (const ByteRange& r : streamed.removedRanges) {
        if ((from == 0 ? r.begin < from : r.begin <= from) || r.end <= r.begin || r.end > packet.size())
            fault("cuts out of order, touching or outside the packet");
        splice.cuts.push_back({r.begin, r.size()});
        from = r.end;
    }
    if (streamed.hasTrailer) {
        if (streamed.trailerOffset < from || streamed.trailerOffset >= packet.size())
            fault("trailer inside a cut or outside the packet");
        splice.paddingPoint = streamed.trailerOffset;
    }
    if (!doc.spliceResource(1060, splice, err))
        fault("the cleaner's cuts are refused");
    if (doc.setXmpPadding(padding, err) != streamed.hasTrailer)
        fault("padding accepted without a trailer, or refused with one");
    psd::MemorySink sink;
    if (!doc.write(sink, err))
        fault("the spliced document cannot be written");

    std::string expected;
    from = 0;
    for (const ByteRange& r : streamed.removedRanges) {
        expected.append(text.substr(std::size_t(from), std::size_t(r.begin - from)));
        from = r.end;
    }
    expected.append(text.substr(std::size_t(from)));
    if (streamed.hasTrailer)
        expected.insert(std::size_t(streamed.trailerOffset - streamed.removedBytes()), std::size_t(padding), ' ');

    psd::Document again;
    if (!psd::Document::open(psd::MemorySource::make(sink.take()), again, err) ||
        !(again.signature() == doc.signature()))
        fault("the spliced document does not re-open with its structure");
    std::vector<std::uint8_t> written;
    if (!again.xmpPacket(written, err) || std::string(written.begin(), written.end()) != expected)
        fault("the written packet is not the kept bytes and the padding");
    XmpCleanResult second;
    if (!cleanXmpPacket(expected, second, error) || second.outcome != XmpOutcome::NothingToRemove)
        fault("a second clean of the result still finds something, or fails");
    return 0;
}
