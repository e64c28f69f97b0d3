#include "engine/Slimmer.h"

#include "engine/ClonePlan.h"
#include "engine/FileOps.h"
#include "engine/GroupCommit.h"
#include "engine/PlanVerifier.h"
#include "engine/StopRequest.h"
#include "engine/TextUtil.h"
#include "engine/VerifyingSink.h"

#include "psd/Document.h"
#include "psd/PlanSource.h"
#include "psd/xmp/XmpCleaner.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace worker {

namespace {

// Embedded documents nest rarely (none of the real files we know nest at all); a deeper chain is hostile.
constexpr int kMaxEmbeddedDepth = 16;
constexpr std::size_t kCompareChunk = 1024 * 1024;

const char* psdErrorType(const psd::Error& e)
{
    switch (e.code) {
    case psd::ErrorCode::Io:
    case psd::ErrorCode::WriteFailed:
        return "IoError";
    default:
        return "FormatError";
    }
}

bool psdFail(WorkerError& err, const psd::Error& e)
{
    return fail(err, psdErrorType(e), e.describe());
}

bool validationFail(WorkerError& err, std::string message)
{
    return fail(err, "ValidationError", std::move(message));
}

// Every byte of the output is accounted for by the plan: pieces follow each other without gap or overlap.
bool planIsContiguous(const psd::WritePlan& plan)
{
    std::uint64_t at = 0;
    for (const psd::PlanPiece& piece : plan.pieces) {
        if (piece.outOffset != at || piece.length > plan.outputSize - at)
            return false;
        if (!piece.copy && (!piece.bytes || piece.bytesOffset > piece.bytes->size() ||
                            piece.length > piece.bytes->size() - piece.bytesOffset))
            return false;
        at += piece.length;
    }
    return at == plan.outputSize;
}

struct SourceRange
{
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

// The source ranges edits may rewrite; see planKeepsOtherBytes.
std::vector<SourceRange> rewritableRanges(const psd::Document& doc, const DocumentEdits& edits)
{
    std::vector<SourceRange> ranges;
    const auto add = [&ranges](std::uint64_t offset, std::uint64_t length) {
        ranges.push_back({offset, offset + length});
    };
    if (edits.xmpChanged) {
        // The packet is spliced: its kept bytes are copied, only the cuts, the size field and the pad byte go.
        if (const psd::ImageResource* res = doc.findResource(psd::Document::kXmpResourceId)) {
            add(res->sizeFieldOffset, 4);
            for (const psd::FileSpan& cut : edits.xmpCuts)
                add(res->data.offset + cut.offset, cut.length);
            add(res->data.end(), res->whole.end() - res->data.end());
        }
        add(doc.resourcesSection().offset - 4, 4);
    }
    const std::uint64_t sectionWidth = doc.header().isPsb() ? 8 : 4;
    for (const PayloadEdit& payload : edits.payloads) {
        const psd::LinkedFile* item = doc.findEmbedded(payload.id);
        if (item == nullptr || item->blockIndex >= doc.globalBlocks().size())
            continue; // nothing of it may change
        const psd::TaggedBlock& block = doc.globalBlocks()[item->blockIndex];
        add(item->whole.offset, 8);
        add(item->dataLengthFieldOffset, 8);
        // The payload is spliced too: only what its own edits explain may go, the rest of it must be copied.
        for (const psd::FileSpan& span : payload.rewritable) {
            if (span.offset <= item->data.length && span.length <= item->data.length - span.offset)
                add(item->data.offset + span.offset, span.length);
        }
        add(item->whole.end() - item->padding, item->padding);
        add(block.lengthFieldOffset, block.lengthWidth);
        add(block.whole.end() - block.padding, block.padding);
        add(doc.layerMaskSection().offset - sectionWidth, sectionWidth);
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const SourceRange& a, const SourceRange& b) { return a.begin < b.begin; });
    return ranges;
}

// Answers whether [begin, end) lies inside the union of the sorted ranges, for queries whose begin never goes
// back: ranges that end before a query are not looked at again (a packet may have many thousand cuts).
class Coverage
{
public:
    explicit Coverage(const std::vector<SourceRange>& ranges) : m_ranges(ranges) {}
    bool covered(std::uint64_t begin, std::uint64_t end)
    {
        while (m_next < m_ranges.size() && m_ranges[m_next].end <= begin)
            ++m_next;
        for (std::size_t i = m_next; i < m_ranges.size() && begin < end; ++i) {
            if (m_ranges[i].begin > begin)
                return false;
            begin = std::max(begin, m_ranges[i].end);
        }
        return begin >= end;
    }

private:
    const std::vector<SourceRange>& m_ranges;
    std::size_t m_next = 0;
};

// Compares length bytes of a at aOffset with b at bOffset, in chunks.
bool sameBytes(const psd::Source& a, std::uint64_t aOffset, const psd::Source& b, std::uint64_t bOffset,
               std::uint64_t length, std::vector<std::uint8_t>& x, std::vector<std::uint8_t>& y, psd::Error& perr)
{
    for (std::uint64_t done = 0; done < length;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kCompareChunk, length - done));
        x.resize(n);
        y.resize(n);
        if (!a.read(aOffset + done, x.data(), n, perr) || !b.read(bOffset + done, y.data(), n, perr))
            return false;
        if (std::memcmp(x.data(), y.data(), n) != 0)
            return false;
        done += n;
    }
    return true;
}

// True when length bytes of a at offset are all spaces.
bool allSpaces(const psd::Source& a, std::uint64_t offset, std::uint64_t length, std::vector<std::uint8_t>& x,
               psd::Error& perr)
{
    for (std::uint64_t done = 0; done < length;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kCompareChunk, length - done));
        x.resize(n);
        if (!a.read(offset + done, x.data(), n, perr))
            return false;
        if (std::any_of(x.begin(), x.end(), [](std::uint8_t c) { return c != ' '; }))
            return false;
        done += n;
    }
    return true;
}

// The written XMP packet is, byte for byte, the original's packet without the cuts the cleaner recorded, with only
// spaces where padding was asked for. Streamed: the packet is never held. That the cleaner's scan put every
// element of the removal set inside a cut, and parsed the cut packet again, is then what proves the written packet
// holds no history: it is those same bytes.
bool checkXmpSplice(const psd::Document& original, const psd::Document& written, const DocumentEdits& edits,
                    WorkerError& err)
{
    const psd::ImageResource* before = original.findResource(psd::Document::kXmpResourceId);
    const psd::ResourceSplice* splice = original.resourceSplice(psd::Document::kXmpResourceId);
    const psd::ImageResource* after = written.findResource(psd::Document::kXmpResourceId);
    if (before == nullptr || splice == nullptr || after == nullptr)
        return validationFail(err, "the cleaned XMP packet cannot be read back");
    const bool sameCuts = std::equal(
        splice->cuts.begin(), splice->cuts.end(), edits.xmpCuts.begin(), edits.xmpCuts.end(),
        [](const psd::FileSpan& a, const psd::FileSpan& b) { return a.offset == b.offset && a.length == b.length; });
    if (!sameCuts || after->data.length != splice->newLength(before->data.length))
        return validationFail(err, "the XMP packet read back is not the cleaned one");
    std::vector<std::uint8_t> x, y;
    psd::Error perr;
    std::uint64_t from = 0; // in the original packet
    std::uint64_t at = 0;   // in the written packet
    bool padded = splice->padding == 0;
    const auto keep = [&](std::uint64_t to) {
        if (!padded && splice->paddingPoint >= from && splice->paddingPoint <= to) {
            const std::uint64_t n = splice->paddingPoint - from;
            if (!sameBytes(*original.source(), before->data.offset + from, *written.source(), after->data.offset + at,
                           n, x, y, perr) ||
                !allSpaces(*written.source(), after->data.offset + at + n, splice->padding, x, perr))
                return false;
            at += n + splice->padding;
            from = splice->paddingPoint;
            padded = true;
        }
        if (!sameBytes(*original.source(), before->data.offset + from, *written.source(), after->data.offset + at,
                       to - from, x, y, perr))
            return false;
        at += to - from;
        return true;
    };
    for (const psd::FileSpan& cut : edits.xmpCuts) {
        if (!keep(cut.offset))
            return validationFail(err, "the XMP packet read back is not the cleaned one");
        from = cut.end();
    }
    if (!keep(before->data.length) || !padded || at != after->data.length)
        return validationFail(err, "the XMP packet read back is not the cleaned one");
    return true;
}

// Re-reads what the edits were meant to put into the written document.
bool checkEdits(const psd::Document& original, const psd::Document& written, const DocumentEdits& edits,
                WorkerError& err)
{
    if (edits.xmpChanged && !checkXmpSplice(original, written, edits, err))
        return false;
    // Compared in chunks with the cleaned payload as its plan reads it from the original: no payload is held.
    std::vector<std::uint8_t> x, y;
    for (const PayloadEdit& payload : edits.payloads) {
        const psd::LinkedFile* item = written.findEmbedded(payload.id);
        if (item == nullptr)
            return validationFail(err, "a cleaned embedded object cannot be read back");
        if (item->data.length != payload.cleaned->size())
            return validationFail(err, "an embedded object read back is not the cleaned one");
        psd::Error readError;
        if (!sameBytes(*written.source(), item->data.offset, *payload.cleaned, 0, item->data.length, x, y, readError))
            return validationFail(err, readError.message.empty()
                                           ? "an embedded object read back is not the cleaned one"
                                           : "a cleaned embedded object cannot be read back: " + readError.describe());
    }
    return true;
}

// Cleans the XMP packet of doc as a stream: the packet is read in chunks, and the document gets a splice (the
// kept ranges are copied when it is written). Returns false when the packet cannot be read, or the cleaner runs out
// of memory: a packet whose history may still be there must not pass for a kept malformed one.
bool cleanXmp(psd::Document& doc, FileReporter& reporter, std::int64_t& removed, DocumentEdits& edits, WorkerError& err)
{
    removed = 0;
    // Which of several packets an application reads is not defined: cleaning one would leave history in the other
    // while the file is reported clean.
    const auto packets = std::count_if(doc.resources().begin(), doc.resources().end(),
                                       [](const auto& r) { return r.id == psd::Document::kXmpResourceId; });
    if (packets > 1)
        return fail(err, "FormatError",
                    "the document holds " + std::to_string(packets) +
                        " XMP packets (image resource 1060), which no editor writes; it is left as it is");
    const psd::ImageResource* res = doc.findResource(psd::Document::kXmpResourceId);
    if (res == nullptr || res->data.length == 0)
        return true;
    psd::Error perr;
    psd::SourcePtr packet;
    if (!psd::ViewSource::make(doc.source(), res->data.offset, res->data.length, packet, perr))
        return psdFail(err, perr);
    psd::xmp::XmpCleanResult result;
    psd::xmp::XmpError xerr;
    psd::xmp::XmpCleanOptions options;
    options.skipSimpleContent = !files::xmpSkipTurnedOff();
    if (!psd::xmp::cleanXmpStream(*packet, result, xerr, options)) {
        if (result.outcome == psd::xmp::XmpOutcome::OutOfMemory)
            return fail(err, "MemoryError", "cleaning the XMP packet: " + xerr.message);
        if (result.outcome == psd::xmp::XmpOutcome::ReadFailed)
            return fail(err, "IoError", xerr.message);
        // Not well-formed, or a removable element we cannot cut out cleanly: the packet stays as it is.
        reporter.log("XMP 数据格式异常，已保留原数据");
        return true;
    }
    if (result.outcome != psd::xmp::XmpOutcome::Cleaned || result.removedElements == 0)
        return true;
    psd::ResourceSplice splice;
    splice.cuts.reserve(result.removedRanges.size());
    for (const psd::xmp::ByteRange& r : result.removedRanges)
        splice.cuts.push_back({r.begin, r.size()});
    if (result.hasTrailer)
        splice.paddingPoint = result.trailerOffset;
    edits.xmpCuts = splice.cuts;
    if (!doc.spliceResource(psd::Document::kXmpResourceId, std::move(splice), perr))
        return psdFail(err, perr);
    edits.xmpChanged = true;
    removed = static_cast<std::int64_t>(result.removedElements);
    return true;
}

// Plans doc's new bytes and checks them like a written file, without writing them: read through the plan, they
// open with the same structure, and the plan changes nothing its edits do not explain. The bytes are written,
// and read back, only as part of the outer file.
bool saveEmbedded(const psd::Document& doc, const psd::StructureSignature& before, const DocumentEdits& edits,
                  const std::string& layerName, std::shared_ptr<const psd::PlanSource>& out, WorkerError& err)
{
    psd::Error perr;
    psd::WritePlan plan;
    if (!doc.plan(plan, perr))
        return psdFail(err, perr);
    if (!planIsContiguous(plan) || !planKeepsOtherBytes(plan, doc, edits, err))
        return validationFail(err, "嵌入对象结构校验失败：" + layerName);
    std::shared_ptr<const psd::PlanSource> cleaned;
    if (!psd::PlanSource::make(doc.source(), std::move(plan), cleaned, perr))
        return validationFail(err, "嵌入对象结构校验失败：" + layerName);
    psd::Document reopened;
    if (!psd::Document::open(cleaned, reopened, perr) || !(reopened.signature() == before))
        return validationFail(err, "嵌入对象结构校验失败：" + layerName);
    // The splices nested in it read back as their own plans put them together.
    if (!checkEdits(doc, reopened, edits, err))
        return false;
    out = std::move(cleaned);
    return true;
}

void collectSmartObjects(const psd::Document& doc, const std::vector<psd::LayerNode>& nodes,
                         std::vector<std::size_t>& out)
{
    for (const psd::LayerNode& node : nodes) {
        const psd::LayerRecord& record = doc.layers()[node.record];
        if (record.kind == psd::LayerKind::SmartObject && !record.smartObjectId.empty())
            out.push_back(node.record);
        collectSmartObjects(doc, node.children, out);
    }
}

// One embedded object: open, clean recursively, save, check, put back. False leaves doc unchanged.
bool cleanEmbedded(psd::Document& doc, const std::string& id, const std::string& layerName, int depth,
                   std::set<std::string>& seen, FileReporter& reporter, CleanCounts& counts, DocumentEdits& edits,
                   WorkerError& err)
{
    if (depth + 1 > kMaxEmbeddedDepth)
        return fail(err, "FormatError", "embedded objects nest too deep");
    psd::Error perr;
    psd::Document child;
    if (!doc.openEmbedded(id, child, perr))
        return psdFail(err, perr);
    const psd::StructureSignature before = child.signature();
    CleanCounts childCounts;
    DocumentEdits childEdits;
    if (!cleanDocument(child, true, depth + 1, seen, reporter, childCounts, childEdits, err))
        return false;
    if (childCounts.removed == 0 && childCounts.embeddedChanged == 0)
        return true;
    std::shared_ptr<const psd::PlanSource> cleaned;
    if (!saveEmbedded(child, before, childEdits, layerName, cleaned, err))
        return false;
    PayloadEdit payload{id, cleaned, {}};
    for (const SourceRange& range : rewritableRanges(child, childEdits))
        payload.rewritable.push_back({range.begin, range.end - range.begin});
    const std::uint64_t oldLength = child.source()->size();
    const std::uint64_t newLength = cleaned->size();
    if (!doc.spliceEmbeddedPayload(id, cleaned->plan(), perr))
        return psdFail(err, perr);
    edits.payloads.push_back(std::move(payload));
    counts.embeddedChanged += 1 + childCounts.embeddedChanged;
    counts.removed += childCounts.removed;
    const std::uint64_t saved = oldLength > newLength ? oldLength - newLength : 0;
    reporter.log("嵌入对象已清理：" + layerName + "，节省 " + std::to_string(saved) + " 字节");
    return true;
}

} // namespace

bool planKeepsOtherBytes(const psd::WritePlan& plan, const psd::Document& doc, const DocumentEdits& edits,
                         WorkerError& err)
{
    const std::vector<SourceRange> rewritable = rewritableRanges(doc, edits);
    Coverage coverage(rewritable);
    std::uint64_t cursor = 0; // source bytes before it are copied or rewritable
    for (const psd::PlanPiece& piece : plan.pieces) {
        if (!piece.copy)
            continue;
        if (piece.sourceOffset < cursor || piece.length > doc.source()->size() - piece.sourceOffset)
            return validationFail(err, "the write plan copies source bytes out of order");
        if (!coverage.covered(cursor, piece.sourceOffset))
            return validationFail(err, "the write plan drops source bytes at " + std::to_string(cursor) +
                                           " that no edit explains");
        cursor = piece.sourceOffset + piece.length;
    }
    if (!coverage.covered(cursor, doc.source()->size()))
        return validationFail(err, "the write plan drops source bytes at " + std::to_string(cursor) +
                                       " that no edit explains");
    return true;
}

bool cleanDocument(psd::Document& doc, bool deep, int depth, std::set<std::string>& seen, FileReporter& reporter,
                   CleanCounts& counts, DocumentEdits& edits, WorkerError& err)
{
    counts = CleanCounts{};
    if (!cleanXmp(doc, reporter, counts.removed, edits, err))
        return false;
    if (!deep)
        return true;
    std::vector<std::size_t> smartLayers;
    collectSmartObjects(doc, doc.layerTree(), smartLayers);
    for (const std::size_t index : smartLayers) {
        const psd::LayerRecord& record = doc.layers()[index];
        const psd::LinkedFile* item = doc.findEmbedded(record.smartObjectId);
        if (item == nullptr || !item->isEmbeddedDocument())
            continue; // linked to an outside file, or not a PSD/PSB
        if (!seen.insert(record.smartObjectId).second)
            continue;
        const std::string layerName = record.name;
        reporter.log("深度扫描：第 " + std::to_string(depth + 1) + " 层嵌入对象 → " + layerName);
        WorkerError objectError;
        if (!cleanEmbedded(doc, record.smartObjectId, layerName, depth, seen, reporter, counts, edits, objectError))
            reporter.log("跳过无法安全处理的嵌入对象：" + layerName + "（" + objectError.message + "）");
    }
    return true;
}

namespace {

// True when plan, applied to source, gives source's own bytes: as long, every piece a copy from its own offset or
// literal bytes equal to the source's there. Then writing it would change nothing but the file's identity and times.
bool planReproducesSource(const psd::WritePlan& plan, const psd::Source& source, bool& same, psd::Error& perr)
{
    same = false;
    if (plan.outputSize != source.size() || !plan.fits(source.size()))
        return true;
    std::vector<std::uint8_t> x;
    for (const psd::PlanPiece& piece : plan.pieces) {
        if (piece.copy) {
            if (piece.sourceOffset != piece.outOffset)
                return true;
            continue;
        }
        x.resize(static_cast<std::size_t>(piece.length));
        if (!source.read(piece.outOffset, x.data(), x.size(), perr))
            return false;
        if (std::memcmp(x.data(), piece.bytes->data() + piece.bytesOffset, x.size()) != 0)
            return true;
    }
    same = true;
    return true;
}

// Reads, cleans, writes and checks file. On success its new version waits, checked but not yet flushed, in
// p.temp, or, where it would be the same bytes, nothing was written and unchanged is set.
// With Pass::Analyse it stops before anything is written: p.result then holds what the slim would report, found by
// the same reading, checks, cleaning and plan.
enum class Pass { Slim, Analyse };
bool prepareFile(const std::filesystem::path& file, bool deep, FileReporter& reporter, PreparedFile& p, bool& unchanged,
                 files::TemporaryNames& temporaryNames, WorkerError& err, Pass pass = Pass::Slim)
{
    unchanged = false;
    const std::string name = fileNameText(file);
    files::TempFile& temp = p.temp;

    if (pass == Pass::Slim) {
        files::LeftoverReport leftovers;
        if (!files::cleanLeftovers(file, files::LeftoverPass::BeforeSlimming, leftovers, err, &temporaryNames))
            return false;
        if (leftovers.restoredBackup)
            reporter.log("已从中断时留下的备份恢复：" + name);
    }

    files::FileInfo& info = p.info;
    if (!files::describe(file, info, err))
        return false;
    if (!info.exists)
        return fail(err, "IoError", "no such file: " + pathText(file));
    if (!info.regular)
        return fail(err, "IoError", "not a regular file: " + pathText(file));
    // Replacing one name of a file with several would split it: the other names would keep the old document.
    if (info.links > 1)
        return fail(err, "IoError",
                    "the file has " + std::to_string(info.links) +
                        " names (hard links); replacing one would leave the others as they are, "
                        "so it is left unchanged: " +
                        pathText(file));
    files::pausePoint("before-open");

    reporter.progress(5, "读取：" + name);
    psd::Error perr;
    psd::SourcePtr& source = p.source;
    if (!psd::FileSource::open(pathBytes(file), source, perr))
        return psdFail(err, perr);
    const std::uint64_t originalSize = source->size();
    psd::Document doc;
    if (!psd::Document::open(source, doc, perr))
        return psdFail(err, perr);
    const psd::StructureSignature before = doc.signature();

    reporter.progress(15, "清理文档元数据：" + name);
    std::set<std::string> seen;
    CleanCounts counts;
    DocumentEdits edits;
    if (!cleanDocument(doc, deep, 0, seen, reporter, counts, edits, err) || stopped(err))
        return false;
    if (deep)
        reporter.progress(60, "完成嵌入对象扫描：" + name);
    p.removed = counts.removed;
    p.embeddedChanged = counts.embeddedChanged;

    std::uint64_t readOffset = 0;
    const psd::File* read = source->file(readOffset);
    if (read == nullptr)
        return fail(err, "IoError", "the original is not read from a file: " + pathText(file));
    p.read = read;
    psd::WritePlan plan;
    if (!doc.plan(plan, perr))
        return psdFail(err, perr);
    // Nothing to remove: the file would be written again byte for byte, with a new identity and modification time
    // that backup and sync tools take for a change. It was read and checked like any other; it stays as it is.
    bool same = false;
    if (!planReproducesSource(plan, *source, same, perr))
        return psdFail(err, perr);
    if (same) {
        // Refused where a rewrite would be refused: whether the file is slimmed does not depend on its content.
        if (!files::ownerCouldBeKept(file, *read, err))
            return false;
        reporter.progress(75, "写入优化文件：" + name);
        reporter.progress(90, "校验图层结构：" + name);
        unchanged = true;
        return true;
    }
    // What the slim will report, once the plan is final.
    const auto recordResult = [&] {
        p.bytes = plan.outputSize;
        p.result.bytesSaved = static_cast<std::int64_t>(originalSize) - static_cast<std::int64_t>(plan.outputSize);
        p.result.modifications = counts.removed + counts.embeddedChanged;
        p.result.items = counts.removed;
        p.result.embedded = counts.embeddedChanged;
    };
    // Where the file system shares blocks, the unchanged tail is cloned rather than copied (the packet padded so
    // that it keeps its place within a block); the plan is checked as it will be written.
    std::uint64_t cloneBlock = 0;
    if (pass == Pass::Analyse) {
        if (!files::ownerCouldBeKept(file, *read, err) || !predictClone(doc, edits, *source, file, plan, err))
            return false;
    } else {
        if (!temp.create(file, err))
            return false;
        // A file whose owner cannot be kept fails here, before any data is written.
        if (!temp.takeOwner(*read, err))
            return false;
        files::pausePoint("after-temp-create");
        if (stopped(err))
            return false;
        reporter.progress(75, "写入优化文件：" + name);
        if (!prepareClone(doc, edits, *source, temp.file(), plan, cloneBlock, err))
            return false;
    }
    if (!planIsContiguous(plan))
        return validationFail(err, "the write plan does not cover the output");
    if (!planKeepsOtherBytes(plan, doc, edits, err))
        return false;
    if (pass == Pass::Analyse) {
        recordResult();
        return true;
    }
    VerifyingSink sink(temp.file());
    std::uint64_t sourceBase = 0;
    if (cloneBlock > 0)
        sink.allowCloning(*source->file(sourceBase), cloneBlock);
    if (!doc.write(sink, perr))
        return psdFail(err, perr);
    // The disk writes the file while it is checked; the fsync below waits for it before anything is replaced.
    if (!sink.flushStarted(perr))
        return psdFail(err, perr);
    files::pausePoint("after-write");
    if (stopped(err))
        return false;

    reporter.progress(90, "校验图层结构：" + name);
    // Everything below reads the handle that was written, never the name, which someone could have swapped.
    psd::SourcePtr written;
    if (!psd::FileSource::fromFile(psd::File::borrow(temp.file().native()), written, perr))
        return psdFail(err, perr);
    if (!verifyAgainstPlan(plan, *source, *written, sink.verifiedCopies(), err))
        return false;
    psd::Document reopened;
    if (!psd::Document::open(written, reopened, perr) || !(reopened.signature() == before))
        return validationFail(err, "保存前后文档尺寸或图层结构不一致");
    if (!checkEdits(doc, reopened, edits, err) || stopped(err))
        return false;
    // The original's mode, ACL and extended attributes, set before the flush: data and attributes reach the disk
    // together, so that no crash leaves a replaced file without them.
    if (!temp.takeAttributes(*read, p.notCopied, err))
        return false;
    recordResult();
    return true;
}

// Prepares file; false when it failed, with its temporary gone and a backup whose original is missing put back
// (one beside its original stays: the name may hold another file by then).
bool prepareOrClean(const std::filesystem::path& file, bool deep, PreparedFile& p, bool& unchanged,
                    files::TemporaryNames& temporaryNames, WorkerError& err)
{
    bool ok = false;
    // The one place where an exception is caught: the containers of psd/ and of the worker report a failed
    // allocation by throwing. It fails this file alone; what the file held is freed on the way out.
    try {
        ok = prepareFile(file, deep, *p.reporter, p, unchanged, temporaryNames, err);
    } catch (const std::bad_alloc&) {
        ok = fail(err, "MemoryError", "not enough memory to slim this file");
    }
    if (!ok) {
        p.temp.discard();
        p.source.reset();
        files::LeftoverReport ignored;
        WorkerError cleanupError;
        files::cleanLeftovers(file, files::LeftoverPass::AfterFailure, ignored, cleanupError);
    }
    // Whatever step noticed it (a copy loop reports it as an I/O error), a file abandoned for a stop request is
    // reported as stopped: it was left as it was.
    if (!ok && stopRequested())
        stopped(err);
    return ok;
}

} // namespace

Slimmer::Slimmer() : m_group(std::make_unique<GroupCommit>()) {}

Slimmer::~Slimmer() = default;

bool Slimmer::process(const std::filesystem::path& file, bool deep, FileReporter& reporter, FileResult& result,
                      WorkerError& err)
{
    bool ok = false;
    start(file, deep, reporter, [&](bool fileOk, const FileResult& fileResult, const WorkerError& fileError) {
        ok = fileOk;
        result = fileResult;
        err = fileError;
    });
    finishPending();
    return ok;
}

void Slimmer::start(const std::filesystem::path& file, bool deep, FileReporter& reporter, FileDone done)
{
    // The same file twice in a job: its first version must be in place before it is read again. A large file is
    // committed alone: the small files before it are put in place first, not left waiting while it is written.
    std::error_code sizeError;
    const auto size = std::filesystem::file_size(file, sizeError);
    if (m_group->holds(file) || (!sizeError && size > GroupCommit::kMaxFileBytes))
        m_group->commit();
    auto p = std::make_unique<PreparedFile>();
    p->file = file;
    p->name = fileNameText(file);
    p->reporter = &reporter;
    p->done = std::move(done);
    bool unchanged = false;
    WorkerError err;
    if (!prepareOrClean(file, deep, *p, unchanged, m_temporaryNames, err)) {
        p->done(false, FileResult{}, err);
    } else if (unchanged) {
        p->source.reset();
        reportDone(*p);
    } else if (GroupCommit::groupable(*p)) {
        m_group->add(std::move(p));
    } else {
        // Files are replaced in job order: the group before this file.
        m_group->commit();
        std::vector<std::unique_ptr<PreparedFile>> alone;
        alone.push_back(std::move(p));
        commitFiles(alone);
    }
    m_group->commitIfDue();
}

bool Slimmer::analyse(const std::filesystem::path& file, bool deep, FileReporter& reporter, FileResult& result,
                      WorkerError& err)
{
    PreparedFile p;
    p.file = file;
    p.name = fileNameText(file);
    p.reporter = &reporter;
    bool unchanged = false;
    bool ok = false;
    try {
        ok = prepareFile(file, deep, reporter, p, unchanged, m_temporaryNames, err, Pass::Analyse);
    } catch (const std::bad_alloc&) {
        ok = fail(err, "MemoryError", "not enough memory to slim this file");
    }
    if (ok)
        result = p.result;
    else if (stopRequested())
        stopped(err);
    return ok;
}

void Slimmer::finishPending()
{
    m_group->commit();
}

} // namespace worker
