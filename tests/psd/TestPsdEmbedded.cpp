// Embedded smart-object files: items of 'lnk2' found, smart-object layers resolved, payloads opened from views and
// replaced (by bytes, or spliced from their own write plan) with every enclosing length and padding recomputed.
#include "PsdBuilder.h"

#include "psd/Document.h"
#include "psd/FourCC.h"

#include <QTest>

using namespace psdtest;

Q_DECLARE_METATYPE(psd::ErrorCode)

namespace {

Bytes innerDocument(int xmpBytes)
{
    Builder inner;
    inner.width = 7;
    inner.height = 5;
    inner.resources.push_back({1060, Bytes(std::size_t(xmpBytes), 'x')});
    inner.layers.push_back(Layer{"inner", u"Inner", -1});
    return inner.build();
}

Builder outerBuilder(std::uint16_t version)
{
    Builder b;
    b.version = version;
    Layer first{"first", {}, -1};
    first.blocks.push_back({"SoLd", smartObjectBlock("id-a")});
    Layer second{"second", {}, -1};
    second.blocks.push_back({"SoLd", smartObjectBlock("id-a")}); // shares the first layer's object
    Layer placed{"placed", {}, -1};
    Bytes plLd;
    append(plLd, std::string("plcL"));
    be(plLd, 3, 4);
    plLd.push_back(4);
    append(plLd, std::string("id-b"));
    plLd.resize(plLd.size() + 20, 0);
    placed.blocks.push_back({"PlLd", plLd});
    b.layers = {first, second, placed};
    LinkedItem a{"liFD", "id-a", u"a.psd", "8BPS", innerDocument(41)};
    LinkedItem bItem{"liFD", "id-b", u"b.psb", "8BPS", innerDocument(10), true};
    LinkedItem png{"liFD", "id-c", u"c.png", "png ", Bytes{0x89, 'P', 'N', 'G', 1, 2, 3}};
    b.globalBlocks.push_back({"lnk2", linkedBlock({a, bItem, png})});
    b.globalBlocks.push_back({"Patt", Bytes(6, 9)});
    return b;
}

bool sameBytes(const psd::Source& a, psd::FileSpan sa, const psd::Source& b, psd::FileSpan sb)
{
    if (sa.length != sb.length)
        return false;
    std::vector<std::uint8_t> x, y;
    psd::Error err;
    return a.readBytes(sa.offset, sa.length, x, err) && b.readBytes(sb.offset, sb.length, y, err) && x == y;
}

} // namespace

class TestPsdEmbedded : public QObject
{
    Q_OBJECT

private slots:
    void itemsAndLayers_data();
    void itemsAndLayers();
    void replacePayload_data();
    void replacePayload();
    void replaceRefused_data();
    void replaceRefused();
};

void TestPsdEmbedded::itemsAndLayers_data()
{
    QTest::addColumn<int>("version");
    QTest::newRow("PSD") << 1;
    QTest::newRow("PSB") << 2;
}

void TestPsdEmbedded::itemsAndLayers()
{
    QFETCH(int, version);
    const Bytes bytes = outerBuilder(std::uint16_t(version)).build();
    psd::Document doc;
    psd::Error err;
    QVERIFY2(psd::Document::open(psd::MemorySource::make(bytes), doc, err), err.describe().c_str());
    QCOMPARE(doc.globalBlocks()[0].lengthWidth, version == 2 ? 8u : 4u);

    QCOMPARE(doc.linkedFiles().size(), std::size_t(3));
    QVERIFY(doc.linkedFiles()[0].isEmbeddedDocument());
    QVERIFY(doc.linkedFiles()[1].isEmbeddedDocument());  // after an open descriptor
    QVERIFY(!doc.linkedFiles()[2].isEmbeddedDocument()); // a PNG
    QCOMPARE(doc.linkedFiles()[1].name, std::string("b.psb"));

    QCOMPARE(doc.layers()[0].smartObjectId, std::string("id-a"));
    QCOMPARE(doc.layers()[1].smartObjectId, std::string("id-a"));
    QCOMPARE(doc.layers()[2].smartObjectId, std::string("id-b"));
    for (const psd::LayerRecord& l : doc.layers())
        QCOMPARE(l.kind, psd::LayerKind::SmartObject);

    for (const char* id : {"id-a", "id-b"}) {
        psd::Document inner;
        QVERIFY2(doc.openEmbedded(id, inner, err), err.describe().c_str());
        QCOMPARE(inner.header().width, std::uint32_t(7));
        QCOMPARE(inner.signature().layers.front().name, std::string("Inner"));
    }
    psd::Document png;
    QVERIFY(!doc.openEmbedded("id-c", png, err));
    QCOMPARE(err.code, psd::ErrorCode::Unsupported);
}

void TestPsdEmbedded::replacePayload_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<int>("change"); // bytes added to the inner XMP, changing the payload length by as much
    QTest::addColumn<bool>("spliced"); // given as the inner document's write plan, not as its bytes
    for (const int version : {1, 2}) {
        for (const char* id : {"id-a", "id-b"}) {
            for (const int change : {0, -1, -2, -3, -4, -5, 1, 2, 3, 100}) {
                for (const bool spliced : {false, true}) {
                    QTest::addRow("%s %s %+d%s", version == 1 ? "PSD" : "PSB", id, change, spliced ? " spliced" : "")
                        << version << QByteArray(id) << change << spliced;
                }
            }
        }
    }
}

// The payload is a rewritten inner document; everything else in the outer file keeps its bytes, the lengths
// around the payload move by the change, and items keep their padding to 4. A spliced payload gives the same bytes
// while the outer plan holds none of it but what the inner document rewrote.
void TestPsdEmbedded::replacePayload()
{
    QFETCH(int, version);
    QFETCH(QByteArray, id);
    QFETCH(int, change);
    QFETCH(bool, spliced);
    const psd::SourcePtr source = psd::MemorySource::make(outerBuilder(std::uint16_t(version)).build());
    psd::Document doc;
    psd::Error err;
    QVERIFY(psd::Document::open(source, doc, err));
    const std::string uid = id.toStdString();

    psd::Document inner;
    QVERIFY(doc.openEmbedded(uid, inner, err));
    std::vector<std::uint8_t> xmp;
    QVERIFY(inner.xmpPacket(xmp, err));
    xmp.resize(std::size_t(int(xmp.size()) + change), 'y');
    QVERIFY(inner.setResourceData(psd::Document::kXmpResourceId, xmp, err));
    psd::MemorySink innerSink;
    QVERIFY(inner.write(innerSink, err));
    auto payload = std::make_shared<const std::vector<std::uint8_t>>(innerSink.take());

    if (spliced) {
        psd::WritePlan innerPlan;
        QVERIFY(inner.plan(innerPlan, err));
        QVERIFY2(doc.spliceEmbeddedPayload(uid, innerPlan, err), err.describe().c_str());
        psd::WritePlan plan;
        QVERIFY(doc.plan(plan, err));
        QVERIFY2(plan.literalBytes() <= xmp.size() + 64, std::to_string(plan.literalBytes()).c_str());
    } else {
        QVERIFY(doc.replaceEmbeddedPayload(uid, payload, err));
    }
    psd::MemorySink sink;
    QVERIFY2(doc.write(sink, err), err.describe().c_str());
    if (spliced) {
        psd::Document byBytes;
        QVERIFY(psd::Document::open(source, byBytes, err));
        QVERIFY(byBytes.replaceEmbeddedPayload(uid, payload, err));
        psd::MemorySink bytesSink;
        QVERIFY(byBytes.write(bytesSink, err));
        QVERIFY(sink.bytes() == bytesSink.bytes());
    }
    psd::Document out;
    const psd::SourcePtr outSource = psd::MemorySource::make(sink.take());
    QVERIFY2(psd::Document::open(outSource, out, err), err.describe().c_str());

    QVERIFY(out.signature() == doc.signature());
    QCOMPARE(out.linkedFiles().size(), doc.linkedFiles().size());
    for (std::size_t i = 0; i < out.linkedFiles().size(); ++i) {
        const psd::LinkedFile& before = doc.linkedFiles()[i];
        const psd::LinkedFile& after = out.linkedFiles()[i];
        QCOMPARE(after.uniqueId, before.uniqueId);
        QCOMPARE(after.padding, (4 - after.itemLength % 4) % 4);
        if (before.uniqueId == uid) {
            QCOMPARE(after.data.length, std::uint64_t(payload->size()));
            QCOMPARE(after.itemLength, before.itemLength - before.data.length + payload->size());
        } else {
            QVERIFY(sameBytes(*source, before.data, *outSource, after.data));
        }
    }
    const psd::TaggedBlock& pattBefore = doc.globalBlocks()[1];
    const psd::TaggedBlock& pattAfter = out.globalBlocks()[1];
    QVERIFY(sameBytes(*source, pattBefore.whole, *outSource, pattAfter.whole));
    QVERIFY(sameBytes(*source, doc.imageData(), *outSource, out.imageData()));
    QVERIFY(sameBytes(*source, {0, doc.layerMaskSection().offset - (version == 2 ? 8 : 4)}, *outSource,
                      {0, out.layerMaskSection().offset - (version == 2 ? 8 : 4)}));
    QVERIFY(sameBytes(*source, doc.layerInfo().span, *outSource, out.layerInfo().span));

    psd::Document innerAfter;
    QVERIFY2(out.openEmbedded(uid, innerAfter, err), err.describe().c_str());
    QVERIFY(innerAfter.signature() == inner.signature());
    std::vector<std::uint8_t> readBack;
    QVERIFY(innerAfter.xmpPacket(readBack, err));
    QVERIFY(readBack == xmp);
}

void TestPsdEmbedded::replaceRefused_data()
{
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<psd::ErrorCode>("expected");
    // clang-format off
    QTest::newRow("unknown id")                      << QByteArray("nope") << QByteArray("none")     << psd::ErrorCode::NotFound;
    QTest::newRow("spliced, unknown id")             << QByteArray("nope") << QByteArray("splice")   << psd::ErrorCode::NotFound;
    QTest::newRow("copy past the old payload")       << QByteArray("id-a") << QByteArray("past")     << psd::ErrorCode::Malformed;
    QTest::newRow("copy offset wraps around")        << QByteArray("id-a") << QByteArray("wrap")     << psd::ErrorCode::Malformed;
    QTest::newRow("gap between pieces")              << QByteArray("id-a") << QByteArray("gap")      << psd::ErrorCode::Malformed;
    QTest::newRow("literal past its bytes")          << QByteArray("id-a") << QByteArray("literal")  << psd::ErrorCode::Malformed;
    QTest::newRow("literal without bytes")           << QByteArray("id-a") << QByteArray("no bytes") << psd::ErrorCode::Malformed;
    QTest::newRow("size beyond the pieces")          << QByteArray("id-a") << QByteArray("size")     << psd::ErrorCode::Malformed;
    QTest::newRow("copy past a 7-byte PNG payload")  << QByteArray("id-c") << QByteArray("past")     << psd::ErrorCode::Malformed;
    // clang-format on
}

// A replacement that names no embedded file, or whose plan does not fit the old payload, is refused and leaves
// the document unedited.
void TestPsdEmbedded::replaceRefused()
{
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, fault);
    QFETCH(psd::ErrorCode, expected);
    psd::Document doc;
    psd::Error err;
    QVERIFY(psd::Document::open(psd::MemorySource::make(outerBuilder(1).build()), doc, err));
    const std::string uid = id.toStdString();
    const psd::LinkedFile* item = doc.findEmbedded(uid);
    const std::uint64_t old = item ? item->data.length : 0;
    const auto bytes = std::make_shared<const std::vector<std::uint8_t>>(4, 0x20);
    psd::WritePlan plan;
    const auto copy = [&plan](std::uint64_t sourceOffset, std::uint64_t length) {
        psd::PlanPiece p;
        p.outOffset = plan.outputSize;
        p.sourceOffset = sourceOffset;
        p.length = length;
        plan.pieces.push_back(p);
        plan.outputSize += length;
    };
    const auto literal = [&plan](std::shared_ptr<const std::vector<std::uint8_t>> b, std::size_t offset,
                                 std::uint64_t length) {
        psd::PlanPiece p;
        p.copy = false;
        p.outOffset = plan.outputSize;
        p.bytes = std::move(b);
        p.bytesOffset = offset;
        p.length = length;
        plan.pieces.push_back(p);
        plan.outputSize += length;
    };
    copy(0, 4); // the "8BPS" signature, as a real splice starts
    if (fault == "past") {
        copy(old - 2, 4);
    } else if (fault == "wrap") {
        copy(UINT64_MAX - 1, 4);
    } else if (fault == "gap") {
        literal(bytes, 0, 4);
        plan.pieces.back().outOffset += 1;
        plan.outputSize += 1;
    } else if (fault == "literal") {
        literal(bytes, 2, 5);
    } else if (fault == "no bytes") {
        literal(nullptr, 0, 4);
    } else if (fault == "size") {
        plan.outputSize += 1;
    }
    const bool ok =
        fault == "none" ? doc.replaceEmbeddedPayload(uid, bytes, err) : doc.spliceEmbeddedPayload(uid, plan, err);
    QVERIFY(!ok);
    QCOMPARE(err.code, expected);
    QVERIFY(!doc.isEdited());
}

QTEST_APPLESS_MAIN(TestPsdEmbedded)
#include "TestPsdEmbedded.moc"
