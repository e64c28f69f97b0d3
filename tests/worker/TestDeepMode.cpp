// Deep mode end to end: generated nestings of embedded PSD/PSB smart objects and the corpus files that embed
// them, run through LeanfoldWorker.exe (and runJob in-process), then read back level by level with the psd library.
#include "EmbeddedDiff.h"
#include "PsdBuilder.h"
#include "WorkerFixtures.h"

#include "psd/Document.h"
#include "worker/JobRunner.h"
#include "engine/Slimmer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sstream>
#include <sys/stat.h>

using namespace psdtest;
using namespace WorkerFixtures;

namespace {

std::string xmpPacket(bool history, bool ancestors)
{
    std::string x = "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?><x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
                    "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
                    "xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\" xmlns:ps=\"http://ns.adobe.com/photoshop/1.0/\">"
                    "<xmpMM:DocumentID>keep-me</xmpMM:DocumentID>";
    if (history)
        x += "<xmpMM:History><rdf:Seq><rdf:li>saved 1</rdf:li><rdf:li>saved 2</rdf:li></rdf:Seq></xmpMM:History>";
    if (ancestors) // bound to an unusual prefix: matched by namespace, not by name
        x += "<ps:DocumentAncestors><rdf:Bag><rdf:li>xmp.did:1</rdf:li></rdf:Bag></ps:DocumentAncestors>";
    x += "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
    return x;
}

void addXmp(Builder& b, bool history, bool ancestors)
{
    const std::string x = xmpPacket(history, ancestors);
    b.resources.push_back({1060, Bytes(x.begin(), x.end())});
}

Layer smartLayer(const std::string& name, const std::string& id)
{
    Layer l{name};
    l.blocks.push_back({"SoLd", smartObjectBlock(id)});
    return l;
}

LinkedItem embedded(const std::string& id, Bytes data)
{
    LinkedItem item;
    item.uniqueId = id;
    item.data = std::move(data);
    return item;
}

const Bytes kPng = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0, 1};

// A chain of levels documents: the innermost has history and no smart object; every other one has history and
// embeds the next as 'id-<n>' under a layer "level-<n>". The embedded ones have imageBytes of image data when
// that is not 0. The payload of level 1 ('id-1') is returned.
Bytes innerChain(int levels, std::uint16_t innerVersion, std::size_t imageBytes)
{
    Bytes inner;
    for (int n = levels - 1; n >= 1; --n) {
        Builder b;
        b.version = innerVersion;
        b.width = 10 + std::uint32_t(n);
        if (imageBytes > 0)
            b.imageData = Bytes(imageBytes, std::uint8_t(n));
        addXmp(b, true, n % 2 == 0);
        b.layers.push_back(Layer{"pixels-" + std::to_string(n)});
        if (!inner.empty()) {
            b.layers.push_back(smartLayer("level-" + std::to_string(n + 1), "id-" + std::to_string(n + 1)));
            b.globalBlocks.push_back({"lnk2", linkedBlock({embedded("id-" + std::to_string(n + 1), inner)})});
        }
        inner = b.build();
    }
    return inner;
}

// Level 0: history and ancestors; two layers (one inside a group) sharing the object 'id-1', a PNG smart object,
// a linked one, and a smart object whose payload claims to be a PSD and is not.
Bytes outerDocument(int levels, std::uint16_t version, std::uint16_t innerVersion, bool brokenObject,
                    std::size_t imageBytes = 0)
{
    Builder a;
    a.version = version;
    addXmp(a, true, true);
    std::vector<Layer> layers;
    layers.push_back(Layer{"</Layer group>", {}, 3});
    layers.push_back(smartLayer("shared-in-group", "id-1")); // visited first: a group comes before what follows it
    layers.push_back(Layer{"group", {}, 1});
    layers.push_back(smartLayer("shared-top", "id-1"));
    layers.push_back(smartLayer("picture", "id-png"));
    layers.push_back(smartLayer("linked", "id-ext"));
    if (brokenObject)
        layers.push_back(smartLayer("broken", "id-bad"));
    a.layers = layers;
    LinkedItem png;
    png.uniqueId = "id-png";
    png.fileType = "png ";
    png.fileName = u"picture.png";
    png.data = kPng;
    LinkedItem linked;
    linked.kind = "liFE";
    linked.uniqueId = "id-ext";
    linked.fileName = u"outside.psd";
    linked.openDescriptor = true;
    std::vector<LinkedItem> items = {png, embedded("id-1", innerChain(levels, innerVersion, imageBytes)), linked};
    if (brokenObject) {
        Bytes bad = {'8', 'B', 'P', 'S', 0, 9};
        bad.resize(64, 0xee);
        items.push_back(embedded("id-bad", bad));
    }
    a.globalBlocks.push_back({"lnk2", linkedBlock(items)});
    return a.build();
}

QByteArray toQt(const Bytes& b)
{
    return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
}

bool openBytes(const QByteArray& bytes, psd::Document& doc)
{
    psd::Error err;
    return psd::Document::open(psd::MemorySource::make(Bytes(bytes.begin(), bytes.end())), doc, err);
}

// Payload lengths along the chain 'id-1', 'id-2', ...: index 0 is id-1's length inside level 0.
std::vector<std::uint64_t> chainPayloadLengths(const psd::Document& top)
{
    std::vector<std::uint64_t> lengths;
    psd::Document current;
    psd::Error err;
    const psd::Document* doc = &top;
    for (int n = 1;; ++n) {
        const psd::LinkedFile* item = doc->findEmbedded("id-" + std::to_string(n));
        if (!item)
            return lengths;
        lengths.push_back(item->data.length);
        psd::Document next;
        if (!doc->openEmbedded(item->uniqueId, next, err))
            return lengths;
        current = std::move(next);
        doc = &current;
    }
}

QByteArray itemBytes(const psd::Document& doc, const std::string& id, bool wholeItem)
{
    for (const psd::LinkedFile& f : doc.linkedFiles()) {
        if (f.uniqueId != id)
            continue;
        const psd::FileSpan span = wholeItem ? f.whole : f.data;
        Bytes out;
        psd::Error err;
        doc.source()->readBytes(span.offset, span.length, out, err);
        return toQt(out);
    }
    return {};
}

struct InProcess {
    int exitCode = -1;
    QStringList lines;
};

InProcess runInProcess(const QString& file, bool deep)
{
    worker::Job job;
    job.files.emplace_back(file.toStdString());
    job.deep = deep;
    std::ostringstream out;
    InProcess r;
    r.exitCode = worker::runJob(job, out);
    for (const QByteArray& line : QByteArray::fromStdString(out.str()).split('\n'))
        if (!line.isEmpty())
            r.lines << QString::fromUtf8(line);
    return r;
}

QString doneLine(qint64 bytesSaved, qint64 modifications)
{
    return QStringLiteral(R"(DONE	{"exported":1,"skipped":0,"failed":0,"bytesSaved":%1,"modifications":%2})")
        .arg(bytesSaved)
        .arg(modifications);
}

QStringList logLines(const QStringList& lines)
{
    QStringList logs;
    for (const QString& l : lines)
        if (l.startsWith(QStringLiteral("LOG\t")))
            logs << l.mid(4);
    return logs;
}

// Leaves source byte at out of the plan: the copy piece holding it is cut in two around it.
bool dropSourceByte(psd::WritePlan& plan, std::uint64_t at)
{
    for (std::size_t i = 0; i < plan.pieces.size(); ++i) {
        psd::PlanPiece& p = plan.pieces[i];
        if (!p.copy || at < p.sourceOffset || at >= p.sourceOffset + p.length)
            continue;
        psd::PlanPiece tail = p;
        tail.sourceOffset = at + 1;
        tail.length = p.sourceOffset + p.length - at - 1;
        p.length = at - p.sourceOffset;
        plan.pieces.insert(plan.pieces.begin() + std::ptrdiff_t(i) + 1, tail);
        return true;
    }
    return false;
}

} // namespace

class TestDeepMode : public QObject {
    Q_OBJECT

private slots:
    void nestedObjectsCleanedOnce_data();
    void nestedObjectsCleanedOnce();
    void normalModeKeepsEmbeddedHistory();
    void nestingDepthIsCapped();
    void planScopeIsChecked_data();
    void planScopeIsChecked();
    void corpusDeepRun_data();
    void corpusDeepRun();
};

void TestDeepMode::nestedObjectsCleanedOnce_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("innerVersion");
    QTest::addColumn<int>("levels");
    QTest::addColumn<bool>("broken");
    QTest::addColumn<bool>("viaProcess");
    QTest::addColumn<int>("imageMiB");       // image data of every embedded level, 0 for a few bytes
    QTest::addColumn<int>("addressSpaceMiB"); // the worker process's address space limit, 0 for none
    QTest::addColumn<bool>("secondRun");      // run again over the cleaned file: nothing left to change
    // levels counts documents: 4 means the outer one and three embedded levels.
    // clang-format off
    QTest::newRow("PSD, 4 levels, worker process")            << 1 << 1 << 4 << false << true << 0 << 0 << false;
    QTest::newRow("PSB, 4 levels, worker process")            << 2 << 2 << 4 << false << true << 0 << 0 << false;
    QTest::newRow("PSB holding PSDs, 5 levels, in-process")   << 2 << 1 << 5 << false << false << 0 << 0 << false;
    QTest::newRow("PSD with a broken object, worker process") << 1 << 1 << 4 << true << true << 0 << 0 << false;
    QTest::newRow("PSB with a broken object, in-process")     << 2 << 2 << 3 << true << false << 0 << 0 << false;
    // Payloads of 12, 24 and 36 MiB: 72 MiB in all, more than the worker may map, each less. No payload is held.
    QTest::newRow("PSB, 4 levels of 12 MiB, 48 MiB address space") << 2 << 2 << 4 << false << true << 12 << 48 << false;
    QTest::newRow("PSD, 4 levels, run twice, worker process")  << 1 << 1 << 4 << false << true << 0 << 0 << true;
    QTest::newRow("PSB with a broken object, run twice")       << 2 << 2 << 3 << true << false << 0 << 0 << true;
    // clang-format on
}

void TestDeepMode::nestedObjectsCleanedOnce()
{
    QFETCH(int, version);
    QFETCH(int, innerVersion);
    QFETCH(int, levels);
    QFETCH(bool, broken);
    QFETCH(bool, viaProcess);
    QFETCH(int, imageMiB);
    QFETCH(int, addressSpaceMiB);
    QFETCH(bool, secondRun);
    QTemporaryDir dir;
    const QString path = dir.filePath(version == 2 ? QStringLiteral("nested.psb") : QStringLiteral("nested.psd"));
    const QByteArray original = toQt(outerDocument(levels, std::uint16_t(version), std::uint16_t(innerVersion), broken,
                                                   std::size_t(imageMiB) << 20));
    QVERIFY(writeAll(path, original));
    psd::Document before;
    QVERIFY(openBytes(original, before));
    QCOMPARE(int(chainPayloadLengths(before).size()), levels - 1);
    QVERIFY(!historyLeft(before).empty());

    QStringList lines;
    int exitCode = -1;
    if (viaProcess) {
        const WorkerRun run = runWorkerOnFiles(dir.path(), {path}, true, quint64(addressSpaceMiB) << 20);
        QVERIFY2(!run.crashed, run.err.constData());
        QVERIFY2(run.exitCode == 0, run.out.constData());
        exitCode = run.exitCode;
        lines = run.lines();
    } else {
        const InProcess run = runInProcess(path, true);
        exitCode = run.exitCode;
        lines = run.lines;
    }
    QCOMPARE(exitCode, 0);
    const QByteArray result = readAll(path);
    psd::Document after;
    QVERIFY(openBytes(result, after));

    // Every level's structure is equal and nothing outside the XMP packets and the payload chain moved.
    QVERIFY2(after.signature() == before.signature(),
             psd::firstDifference(before.signature(), after.signature()).c_str());
    const DeepDifference diff = compareOutsideEdits(before, after);
    QVERIFY2(diff.difference.empty(), diff.difference.c_str());
    QCOMPARE(diff.editedPayloads, levels - 1);
    const std::string left = historyLeft(after);
    QVERIFY2(left.empty(), left.c_str());
    QCOMPARE(itemBytes(after, "id-png", false), toQt(kPng));
    QCOMPARE(itemBytes(after, "id-ext", true), itemBytes(before, "id-ext", true));
    if (broken)
        QCOMPARE(itemBytes(after, "id-bad", true), itemBytes(before, "id-bad", true));

    // The log walks down the chain once (the second layer on 'id-1' is not scanned) and cleans it bottom-up,
    // each saving the difference of its payload lengths.
    const std::vector<std::uint64_t> oldLengths = chainPayloadLengths(before);
    const std::vector<std::uint64_t> newLengths = chainPayloadLengths(after);
    QCOMPARE(newLengths.size(), oldLengths.size());
    QStringList expected;
    const auto layerOf = [](int level) {
        return level == 1 ? QStringLiteral("shared-in-group") : QStringLiteral("level-%1").arg(level);
    };
    for (int level = 1; level < levels; ++level)
        expected << QStringLiteral("深度扫描：第 %1 层嵌入对象 → %2").arg(level).arg(layerOf(level));
    for (int level = levels - 1; level >= 1; --level) {
        const std::uint64_t saved = oldLengths[std::size_t(level - 1)] > newLengths[std::size_t(level - 1)]
                                        ? oldLengths[std::size_t(level - 1)] - newLengths[std::size_t(level - 1)]
                                        : 0;
        expected << QStringLiteral("嵌入对象已清理：%1，节省 %2 字节").arg(layerOf(level)).arg(saved);
    }
    if (broken)
        expected << QStringLiteral("深度扫描：第 1 层嵌入对象 → broken");
    // Removed elements: History at every level, DocumentAncestors at level 0 and at the even levels.
    int removed = 0;
    for (int level = 0; level < levels; ++level)
        removed += 1 + (level % 2 == 0 ? 1 : 0);
    const qint64 saved = qint64(original.size()) - qint64(result.size());
    const QString name = QFileInfo(path).fileName();
    const QStringList logs = logLines(lines);
    QCOMPARE(logs.size(), expected.size() + (broken ? 2 : 1));
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(logs[i], expected[i]);
    if (broken)
        QVERIFY2(logs[expected.size()].startsWith(QStringLiteral("跳过无法安全处理的嵌入对象：broken（")) &&
                     logs[expected.size()].endsWith(QStringLiteral("）")),
                 qPrintable(logs[expected.size()]));
    QCOMPARE(logs.last(), QStringLiteral("已完成：%1；清理元数据 %2 项；嵌入对象 %3 个；节省 %4 字节")
                              .arg(name).arg(removed).arg(levels - 1).arg(saved));
    QCOMPARE(lines.last(), doneLine(saved, removed + levels - 1));
    if (!secondRun)
        return;

    // Nothing is left to change in any object: the file is read and walked as before, and left as it is, the
    // same file with the same times.
    struct stat first
    {
    };
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &first), 0);
    if (viaProcess) {
        const WorkerRun run = runWorkerOnFiles(dir.path(), {path}, true);
        QVERIFY2(!run.crashed && run.exitCode == 0, run.out.constData());
        lines = run.lines();
    } else {
        const InProcess run = runInProcess(path, true);
        QCOMPARE(run.exitCode, 0);
        lines = run.lines;
    }
    struct stat second
    {
    };
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &second), 0);
    QCOMPARE(second.st_ino, first.st_ino);
    QCOMPARE(second.st_mtim.tv_sec, first.st_mtim.tv_sec);
    QCOMPARE(second.st_mtim.tv_nsec, first.st_mtim.tv_nsec);
    QCOMPARE(second.st_ctim.tv_nsec, first.st_ctim.tv_nsec);
    QCOMPARE(readAll(path), result);
    QStringList rescanned;
    for (int level = 1; level < levels; ++level)
        rescanned << QStringLiteral("深度扫描：第 %1 层嵌入对象 → %2").arg(level).arg(layerOf(level));
    if (broken)
        rescanned << QStringLiteral("深度扫描：第 1 层嵌入对象 → broken");
    const QStringList again = logLines(lines);
    QCOMPARE(again.size(), rescanned.size() + (broken ? 2 : 1));
    for (int i = 0; i < rescanned.size(); ++i)
        QCOMPARE(again[i], rescanned[i]);
    QCOMPARE(again.last(), QStringLiteral("已完成：%1；清理元数据 0 项；嵌入对象 0 个；节省 0 字节").arg(name));
    QCOMPARE(lines.last(), doneLine(0, 0));
    QVERIFY(QDir(dir.path()).entryList({QStringLiteral("*psdslim*")}, QDir::Files | QDir::Hidden).isEmpty());
}

void TestDeepMode::normalModeKeepsEmbeddedHistory()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("normal.psd"));
    const QByteArray original = toQt(outerDocument(4, 1, 1, false));
    QVERIFY(writeAll(path, original));
    const InProcess run = runInProcess(path, false);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.lines.filter(QStringLiteral("深度扫描")).isEmpty());
    QVERIFY(run.lines.filter(QStringLiteral("完成嵌入对象扫描")).isEmpty());
    psd::Document before, after;
    QVERIFY(openBytes(original, before));
    QVERIFY(openBytes(readAll(path), after));
    const DeepDifference diff = compareOutsideEdits(before, after);
    QVERIFY2(diff.difference.empty(), diff.difference.c_str());
    QCOMPARE(diff.editedPayloads, 0);
    // The outer packet is clean, the first embedded level still carries its history.
    const std::string left = historyLeft(after);
    QVERIFY2(left.rfind("'id-1' level 1 ", 0) == 0, left.c_str());
    QCOMPARE(run.lines.last(), doneLine(qint64(original.size()) - qint64(readAll(path).size()), 2));
}

void TestDeepMode::nestingDepthIsCapped()
{
    // Seventeen embedded levels: the sixteenth is the deepest opened, the seventeenth is skipped and kept as it is.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("deep.psd"));
    const QByteArray original = toQt(outerDocument(18, 1, 1, false));
    QVERIFY(writeAll(path, original));
    const InProcess run = runInProcess(path, true);
    QCOMPARE(run.exitCode, 0);
    const QStringList logs = logLines(run.lines);
    QCOMPARE(logs.filter(QStringLiteral("深度扫描：")).size(), 17);
    QVERIFY(logs.contains(QStringLiteral("深度扫描：第 17 层嵌入对象 → level-17")));
    const QStringList skipped = logs.filter(QStringLiteral("跳过无法安全处理的嵌入对象："));
    QCOMPARE(skipped.size(), 1);
    QVERIFY2(skipped.first().startsWith(QStringLiteral("跳过无法安全处理的嵌入对象：level-17（")), qPrintable(skipped.first()));
    QCOMPARE(logs.filter(QStringLiteral("嵌入对象已清理：")).size(), 16);
    psd::Document before, after;
    QVERIFY(openBytes(original, before));
    QVERIFY(openBytes(readAll(path), after));
    const DeepDifference diff = compareOutsideEdits(before, after);
    QVERIFY2(diff.difference.empty(), diff.difference.c_str());
    QCOMPARE(diff.editedPayloads, 16);
}

void TestDeepMode::planScopeIsChecked_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("as planned")                      << QStringLiteral("none") << true;
    QTest::newRow("a byte of the image data left out") << QStringLiteral("image data") << false;
    QTest::newRow("a byte of the PNG payload left out") << QStringLiteral("png") << false;
    QTest::newRow("a byte of a layer record left out") << QStringLiteral("layer") << false;
    QTest::newRow("a kept byte of the edited payload left out") << QStringLiteral("payload") << false;
    QTest::newRow("a kept byte of the payload's XMP left out") << QStringLiteral("payload xmp kept") << false;
    QTest::newRow("a kept byte of the nested payload left out") << QStringLiteral("nested payload") << false;
    QTest::newRow("a kept byte of the XMP packet left out") << QStringLiteral("xmp kept") << false;
    QTest::newRow("the XMP edit not recorded")       << QStringLiteral("xmp unrecorded") << false;
    QTest::newRow("the payload edit not recorded")   << QStringLiteral("payload unrecorded") << false;
    QTest::newRow("two copies swapped")              << QStringLiteral("swap") << false;
}

void TestDeepMode::planScopeIsChecked()
{
    QFETCH(QString, tamper);
    QFETCH(bool, accepted);
    psd::Document doc;
    QVERIFY(openBytes(toQt(outerDocument(3, 2, 2, false)), doc));
    std::set<std::string> seen;
    NullReporter reporter;
    worker::CleanCounts counts;
    worker::DocumentEdits edits;
    worker::WorkerError err;
    QVERIFY(worker::cleanDocument(doc, true, 0, seen, reporter, counts, edits, err));
    QCOMPARE(int(edits.payloads.size()), 1);
    psd::WritePlan plan;
    psd::Error perr;
    QVERIFY(doc.plan(plan, perr));
    const psd::LinkedFile* png = nullptr;
    for (const psd::LinkedFile& f : doc.linkedFiles())
        png = f.uniqueId == "id-png" ? &f : png;
    QVERIFY(png);
    if (tamper == QStringLiteral("image data"))
        QVERIFY(dropSourceByte(plan, doc.imageData().offset + 1));
    else if (tamper == QStringLiteral("png"))
        QVERIFY(dropSourceByte(plan, png->data.offset + 3));
    else if (tamper == QStringLiteral("layer"))
        QVERIFY(dropSourceByte(plan, doc.layers().front().record.offset + 5));
    else if (tamper == QStringLiteral("payload")) // the payload is spliced: its header is copied
        QVERIFY(dropSourceByte(plan, doc.findEmbedded("id-1")->data.offset + 7));
    else if (tamper == QStringLiteral("payload xmp kept") || tamper == QStringLiteral("nested payload")) {
        psd::Document child;
        QVERIFY(doc.openEmbedded("id-1", child, perr));
        const std::uint64_t at = tamper == QStringLiteral("nested payload")
                                     ? child.findEmbedded("id-2")->data.offset + 7
                                     : child.findResource(psd::Document::kXmpResourceId)->data.offset + 1;
        QVERIFY(dropSourceByte(plan, doc.findEmbedded("id-1")->data.offset + at));
    } else if (tamper == QStringLiteral("xmp kept")) // the packet is spliced: its first bytes are copied
        QVERIFY(dropSourceByte(plan, doc.findResource(psd::Document::kXmpResourceId)->data.offset + 1));
    else if (tamper == QStringLiteral("xmp unrecorded"))
        edits.xmpChanged = false;
    else if (tamper == QStringLiteral("payload unrecorded"))
        edits.payloads.clear();
    else if (tamper == QStringLiteral("swap")) {
        std::vector<std::size_t> copies;
        for (std::size_t i = 0; i < plan.pieces.size(); ++i)
            if (plan.pieces[i].copy)
                copies.push_back(i);
        QVERIFY(copies.size() >= 2);
        std::swap(plan.pieces[copies[0]].sourceOffset, plan.pieces[copies[1]].sourceOffset);
    }
    QCOMPARE(worker::planKeepsOtherBytes(plan, doc, edits, err), accepted);
    if (!accepted)
        QCOMPARE(QString::fromStdString(err.type), QStringLiteral("ValidationError"));
}

void TestDeepMode::corpusDeepRun_data()
{
    QTest::addColumn<QString>("file");
    if (corpusRoot().isEmpty()) {
        QTest::newRow("no corpus") << QString();
        return;
    }
    for (const auto& row : corpusManifest()) {
        if (manifestValue(row, QStringLiteral("embedded_psd_payloads")).toInt() > 0) {
            const QString file = manifestValue(row, QStringLiteral("file"));
            QTest::newRow(qPrintable(file)) << file;
        }
    }
}

void TestDeepMode::corpusDeepRun()
{
    QFETCH(QString, file);
    if (file.isEmpty())
        QSKIP("LEANFOLD_CORPUS does not name the shared corpus; corpus deep runs skipped");
    QTemporaryDir dir;
    const QString copy = dir.filePath(QFileInfo(file).fileName());
    QVERIFY(QFile::copy(corpusRoot() + QLatin1Char('/') + file, copy));
    const QByteArray original = readAll(copy);
    const qint64 predicted = predictedSaving(copy, true);
    QCOMPARE(readAll(copy), original);
    const WorkerRun run = runWorkerOnFiles(dir.path(), {copy}, true);
    QVERIFY2(run.exitCode == 0, run.out.constData());
    const QStringList lines = run.lines();
    QVERIFY2(lines.filter(QStringLiteral("跳过无法安全处理的嵌入对象")).isEmpty(), qPrintable(lines.join(u'\n')));
    psd::Document before, after;
    QVERIFY(openBytes(original, before));
    QVERIFY(openBytes(readAll(copy), after));
    QVERIFY2(after.signature() == before.signature(),
             psd::firstDifference(before.signature(), after.signature()).c_str());
    const std::string left = historyLeft(after);
    QVERIFY2(left.empty(), left.c_str());
    const DeepDifference diff = compareOutsideEdits(before, after);
    QVERIFY2(diff.difference.empty(), diff.difference.c_str());
    // Every payload the worker reports as cleaned is one that differs, nested ones included.
    const QString done = lines.last();
    const int changed = logLines(lines).filter(QStringLiteral("嵌入对象已清理：")).size();
    QCOMPARE(diff.editedPayloads, changed);
    QVERIFY2(done.startsWith(QStringLiteral("DONE\t")), qPrintable(done));
    // The analysis, which writes nothing, found the same saving before.
    const QJsonObject counts = QJsonDocument::fromJson(done.section(u'\t', 1).toUtf8()).object();
    QCOMPARE(predicted, qint64(counts.value(QStringLiteral("bytesSaved")).toDouble()));
}

QTEST_APPLESS_MAIN(TestDeepMode)
#include "TestDeepMode.moc"
