// Hostile and unusual input, made by our own generator: every case either parses and round-trips, or fails with
// one clear error. Row names say the fault.
#include "PsdBuilder.h"

#include "psd/Document.h"
#include "psd/FourCC.h"
#include "psd/LayerTree.h"
#include "psd/xmp/XmpCleaner.h"

#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using namespace psdtest;
Q_DECLARE_METATYPE(psdtest::Bytes)
Q_DECLARE_METATYPE(psd::ErrorCode)

namespace {

Builder goodBuilder(std::uint16_t version)
{
    Builder embedded;
    embedded.resources.push_back({1060, Bytes(40, 'e')});
    const Bytes embeddedBytes = embedded.build();

    Builder b;
    b.version = version;
    b.resources.push_back({1005, Bytes(16, 1)});
    const std::string xmp = xmpWithHistory(3);
    b.resources.push_back({1060, Bytes(xmp.begin(), xmp.end())});
    Layer divider{"</Layer group>", {}, 3};
    Layer child{"child", u"Kind", -1};
    Layer group{"Group", u"Gruppe", 1, "pass"};
    Layer text{"text", {}, -1};
    text.blocks.push_back({"TySh", Bytes(10, 0)});
    Layer smart{"smart", {}, -1};
    smart.blocks.push_back({"SoLd", smartObjectBlock("abc")});
    b.layers = {divider, child, group, text, smart};
    b.globalBlocks.push_back({"lnk2", linkedBlock({LinkedItem{"liFD", "abc", u"e.psd", "8BPS", embeddedBytes}})});
    b.globalBlocks.push_back({"Patt", Bytes(5, 7)});
    return b;
}

void patch(Bytes& bytes, std::uint64_t offset, std::uint64_t value, unsigned width)
{
    for (unsigned i = 0; i < width; ++i)
        bytes[offset + i] = std::uint8_t(value >> (8 * (width - 1 - i)));
}

std::uint64_t readBe(const Bytes& b, std::uint64_t offset, unsigned width)
{
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i)
        v = (v << 8) | b[offset + i];
    return v;
}

bool open(const Bytes& bytes, psd::Document& doc, psd::Error& err)
{
    return psd::Document::open(psd::MemorySource::make(bytes), doc, err);
}

psd::Document parsed(const Bytes& bytes)
{
    psd::Document doc;
    psd::Error err;
    if (!open(bytes, doc, err))
        qFatal("generator made an unreadable file: %s", err.describe().c_str());
    return doc;
}

// A sink that refuses everything after limit bytes.
class FailingSink final : public psd::Sink
{
public:
    explicit FailingSink(std::uint64_t limit) : m_limit(limit) {}
    bool write(const void*, std::size_t length, psd::Error& err) override
    {
        if (m_written + length > m_limit)
            return psd::fail(err, psd::ErrorCode::WriteFailed, m_written, "disk full");
        m_written += length;
        return true;
    }

private:
    std::uint64_t m_limit;
};

// Counts what the parser reads, to show that spans stay on disk.
class CountingSource final : public psd::Source
{
public:
    explicit CountingSource(psd::SourcePtr inner) : m_inner(std::move(inner)) {}
    std::uint64_t size() const override { return m_inner->size(); }
    bool read(std::uint64_t offset, void* out, std::size_t length, psd::Error& err) const override
    {
        bytesRead += length;
        return m_inner->read(offset, out, length, err);
    }
    mutable std::uint64_t bytesRead = 0;

private:
    psd::SourcePtr m_inner;
};

QString treeShape(const psd::Document& doc, const std::vector<psd::LayerNode>& nodes)
{
    QStringList parts;
    for (const psd::LayerNode& n : nodes) {
        const psd::LayerRecord& r = doc.layers()[n.record];
        QString s = QString::fromStdString(r.name);
        if (r.kind == psd::LayerKind::Group)
            s += QLatin1Char('(') + treeShape(doc, n.children) + QLatin1Char(')');
        parts << s;
    }
    return parts.join(QLatin1Char(','));
}

} // namespace

class TestPsdHostile : public QObject
{
    Q_OBJECT

private slots:
    void truncation_data();
    void truncation();
    void faults_data();
    void faults();
    void keptVerbatim_data();
    void keptVerbatim();
    void psbLengthWidth_data();
    void psbLengthWidth();
    void layerTree_data();
    void layerTree();
    void layerKind_data();
    void layerKind();
    void writeFailureStops();
    void largePsbParseLeavesImageDataOnDisk();
    void xmpPadding_data();
    void xmpPadding();
};

void TestPsdHostile::truncation_data()
{
    QTest::addColumn<Bytes>("bytes");
    for (const std::uint16_t version : {1, 2}) {
        const Bytes good = goodBuilder(version).build();
        for (std::size_t n = 0; n <= good.size(); ++n)
            QTest::addRow("%s cut at %zu", version == 1 ? "PSD" : "PSB", n) << Bytes(good.begin(), good.begin() + n);
    }
}

// Every prefix of a good file either fails with one clear error or parses and writes back unchanged (cuts inside
// the image data, which has no length field, parse).
void TestPsdHostile::truncation()
{
    QFETCH(Bytes, bytes);
    psd::Document doc;
    psd::Error err;
    if (!open(bytes, doc, err)) {
        QVERIFY(err.code != psd::ErrorCode::None);
        QVERIFY(!err.message.empty());
        QVERIFY(err.offset <= bytes.size());
        return;
    }
    psd::MemorySink sink;
    QVERIFY(doc.write(sink, err));
    QVERIFY(sink.bytes() == bytes);
}

void TestPsdHostile::faults_data()
{
    QTest::addColumn<Bytes>("bytes");
    QTest::addColumn<psd::ErrorCode>("expected");

    for (const std::uint16_t version : {1, 2}) {
        const char* v = version == 1 ? "PSD" : "PSB";
        const unsigned wide = version == 2 ? 8 : 4;
        const Builder builder = goodBuilder(version);
        const Bytes good = builder.build();
        const psd::Document doc = parsed(good);
        const std::uint64_t resLengthField = doc.resourcesSection().offset - 4;
        const std::uint64_t lmLengthField = doc.layerMaskSection().offset - wide;
        const std::uint64_t liLengthField = doc.layerMaskSection().offset;
        const psd::LayerRecord& smart = doc.layers().back();
        const psd::TaggedBlock& soLd = smart.blocks.back();

        Bytes b = good;
        patch(b, resLengthField, good.size() - resLengthField - 4 + 1, 4);
        QTest::addRow("%s resources length one past the file", v) << b << psd::ErrorCode::LengthBeyondParent;

        b = good;
        patch(b, doc.resources()[0].sizeFieldOffset, doc.resources()[0].data.length + doc.resourcesSection().length, 4);
        QTest::addRow("%s resource size beyond its section", v) << b << psd::ErrorCode::LengthBeyondParent;

        b = good;
        patch(b, doc.resources()[0].whole.offset, psd::fourcc("XXXX"), 4);
        QTest::addRow("%s unknown resource signature", v) << b << psd::ErrorCode::BadSignature;

        b = good;
        patch(b, lmLengthField, doc.layerMaskSection().length + doc.imageData().length + 1, wide);
        QTest::addRow("%s layer and mask length one past the file", v) << b << psd::ErrorCode::LengthBeyondParent;

        b = good;
        patch(b, liLengthField, readBe(b, liLengthField, wide) + 1 + doc.layerMaskSection().length, wide);
        QTest::addRow("%s layer info length one past its section", v) << b << psd::ErrorCode::LengthBeyondParent;

        b = good;
        patch(b, liLengthField + wide, 0x7fff, 2);
        QTest::addRow("%s absurd layer count", v) << b << psd::ErrorCode::Malformed;

        b = good;
        patch(b, liLengthField + wide, 0x8000, 2); // -32768: the absolute value overflows an i16
        QTest::addRow("%s layer count -32768", v) << b << psd::ErrorCode::Malformed;

        b = good;
        patch(b, doc.layers()[0].record.offset + 16, 0xffff, 2);
        QTest::addRow("%s absurd channel count", v) << b << psd::ErrorCode::Malformed;

        b = good;
        patch(b, doc.layers()[0].record.offset + 18 + 2, doc.layerInfo().span.length, wide);
        QTest::addRow("%s channel length beyond layer info", v) << b << psd::ErrorCode::LengthBeyondParent;

        b = good;
        patch(b, soLd.lengthFieldOffset, soLd.data.length + 1 + smart.record.length, soLd.lengthWidth);
        QTest::addRow("%s layer block length one past extra data", v) << b << psd::ErrorCode::LengthBeyondParent;

        b = good;
        patch(b, doc.layers()[0].record.offset + 18 + 2 + wide, psd::fourcc("8BIX"), 4);
        QTest::addRow("%s layer blend signature wrong", v) << b << psd::ErrorCode::BadSignature;

        b = good;
        patch(b, doc.globalBlocks()[0].lengthFieldOffset, doc.layerMaskSection().length,
              doc.globalBlocks()[0].lengthWidth);
        QTest::addRow("%s global block length beyond section", v) << b << psd::ErrorCode::LengthBeyondParent;

        b = good;
        patch(b, doc.globalLayerMask().offset - 4, 0x7fffffff, 4);
        QTest::addRow("%s global layer mask length huge", v) << b << psd::ErrorCode::LengthBeyondParent;

        // Header fields, by their offset in the 26-byte header.
        static const struct {
            const char* name;
            std::uint64_t offset;
            std::uint64_t value;
            unsigned width;
            psd::ErrorCode code;
        } headerFaults[] = {
            {"zero channels", 12, 0, 2, psd::ErrorCode::BadHeader},
            {"57 channels", 12, 57, 2, psd::ErrorCode::BadHeader},
            {"zero width", 18, 0, 4, psd::ErrorCode::BadHeader},
            {"depth 24", 22, 24, 2, psd::ErrorCode::BadHeader},
            {"colour mode 5", 24, 5, 2, psd::ErrorCode::BadHeader},
            {"version 3", 4, 3, 2, psd::ErrorCode::UnsupportedVersion},
        };
        for (const auto& fault : headerFaults) {
            b = good;
            patch(b, fault.offset, fault.value, fault.width);
            QTest::addRow("%s %s", v, fault.name) << b << fault.code;
        }
        b = good;
        b[0] = 'X';
        QTest::addRow("%s not 8BPS", v) << b << psd::ErrorCode::BadSignature;
    }

    // Groups nested at the cap parse; one level more fails cleanly.
    for (const int depth : {psd::Document::kMaxGroupDepth, psd::Document::kMaxGroupDepth + 1, 5000}) {
        Builder b;
        for (int i = 0; i < depth; ++i)
            b.layers.push_back(Layer{"end", {}, 3});
        for (int i = 0; i < depth; ++i)
            b.layers.push_back(Layer{"g", {}, 1, "pass"});
        QTest::addRow("groups nested %d deep", depth)
            << b.build() << (depth <= psd::Document::kMaxGroupDepth ? psd::ErrorCode::None : psd::ErrorCode::TooDeep);
    }

    {
        // Each empty resource takes 12 bytes of file but far more memory once parsed.
        Builder b;
        b.resources.assign(1000001, {1000, Bytes{}});
        QTest::newRow("a million and one empty resources") << b.build() << psd::ErrorCode::TooLarge;
    }

    {
        Builder b;
        b.width = 30001;
        QTest::newRow("PSD width 30001 kept") << b.build() << psd::ErrorCode::None;
        b.version = 2;
        b.width = 300001;
        QTest::newRow("PSB width 300001 kept") << b.build() << psd::ErrorCode::None;
    }
}

void TestPsdHostile::faults()
{
    QFETCH(Bytes, bytes);
    QFETCH(psd::ErrorCode, expected);
    psd::Document doc;
    psd::Error err;
    const bool ok = open(bytes, doc, err);
    if (expected == psd::ErrorCode::None) {
        QVERIFY2(ok, err.describe().c_str());
        psd::MemorySink sink;
        QVERIFY(doc.write(sink, err));
        QVERIFY(sink.bytes() == bytes);
        return;
    }
    QVERIFY(!ok);
    QVERIFY2(err.code == expected, (std::string(psd::errorCodeName(err.code)) + ": " + err.describe()).c_str());
    QVERIFY(!err.message.empty());
    QVERIFY(doc.layers().empty()); // a failed open leaves no half-filled document
}

void TestPsdHostile::keptVerbatim_data()
{
    QTest::addColumn<Bytes>("bytes");
    QTest::addColumn<QString>("check");

    Builder b = goodBuilder(1);
    b.layers[1].blend = "zzzz";
    QTest::newRow("unknown blend key") << b.build() << QStringLiteral("blend");

    b = goodBuilder(1);
    b.layers[1].blocks.push_back({"Qqqq", Bytes{1, 2, 3, 4}});
    QTest::newRow("unknown layer block key") << b.build() << QStringLiteral("layerBlock");

    b = goodBuilder(2);
    b.globalBlocks.push_back({"Qqqq", Bytes{9, 9, 9}});
    QTest::newRow("unknown global block key with odd length") << b.build() << QStringLiteral("globalBlock");

    b = goodBuilder(1);
    Bytes descriptor = smartObjectBlock("abc");
    descriptor[descriptor.size() - 4 - 6 - 4] = 'Z'; // the Idnt item's type 'TEXT' becomes 'ZEXT'
    b.layers[4].blocks = {{"SoLd", descriptor}};
    QTest::newRow("smart object descriptor of unknown type") << b.build() << QStringLiteral("noSmartId");

    b = goodBuilder(1);
    Bytes lnk = b.globalBlocks[0].data;
    patch(lnk, 0, lnk.size() * 2, 8);
    b.globalBlocks[0].data = lnk;
    QTest::newRow("linked item longer than its block") << b.build() << QStringLiteral("noLinked");

    b = goodBuilder(1);
    b.imageData.insert(b.imageData.end(), 37, 0xee);
    QTest::newRow("trailing bytes after image data") << b.build() << QStringLiteral("none");

    b = goodBuilder(1);
    b.imageData.clear();
    QTest::newRow("file ends where the image data begins") << b.build() << QStringLiteral("none");

    b = goodBuilder(1);
    b.globalMask = false;
    b.globalBlocks.clear();
    QTest::newRow("section ends before the global layer mask") << b.build() << QStringLiteral("none");

    b = goodBuilder(2);
    b.layersInLr16 = true;
    b.depth = 16;
    QTest::newRow("PSB 16-bit layers in Lr16") << b.build() << QStringLiteral("lr16");

    b = goodBuilder(1);
    b.layers[1].name = "caf\xe9";
    b.layers[1].unicodeName.clear();
    QTest::newRow("Latin-1 Pascal name without luni") << b.build() << QStringLiteral("latin1");
}

void TestPsdHostile::keptVerbatim()
{
    QFETCH(Bytes, bytes);
    QFETCH(QString, check);
    psd::Document doc;
    psd::Error err;
    QVERIFY2(open(bytes, doc, err), err.describe().c_str());
    psd::MemorySink sink;
    QVERIFY(doc.write(sink, err));
    QVERIFY(sink.bytes() == bytes);

    if (check == QLatin1String("blend")) {
        QCOMPARE(psd::fourccText(doc.layers()[1].blendKey), std::string("zzzz"));
    } else if (check == QLatin1String("layerBlock")) {
        QVERIFY(doc.layers()[1].findBlock(psd::fourcc("Qqqq")));
        QCOMPARE(doc.layers()[1].kind, psd::LayerKind::Pixel);
    } else if (check == QLatin1String("globalBlock")) {
        QCOMPARE(doc.globalBlocks().back().key, psd::fourcc("Qqqq"));
        QCOMPARE(doc.globalBlocks().back().data.length, std::uint64_t(3));
        QCOMPARE(doc.globalBlocks().back().padding, std::uint64_t(1));
    } else if (check == QLatin1String("noSmartId")) {
        QCOMPARE(doc.layers()[4].kind, psd::LayerKind::SmartObject);
        QVERIFY(doc.layers()[4].smartObjectId.empty());
    } else if (check == QLatin1String("noLinked")) {
        QVERIFY(doc.linkedFiles().empty());
    } else if (check == QLatin1String("lr16")) {
        QCOMPARE(doc.layerInfo().hostKey, psd::key::kLr16);
        QCOMPARE(doc.layers().size(), std::size_t(5));
        QCOMPARE(doc.signature().layers.size(), std::size_t(3));
    } else if (check == QLatin1String("latin1")) {
        QCOMPARE(doc.layers()[1].name, std::string("caf\xc3\xa9"));
    }
}

void TestPsdHostile::psbLengthWidth_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("width");
    // clang-format off
    // Adobe's file-format document lists these 8-byte keys for PSB:
    for (const char* k : {"LMsk", "Lr16", "Lr32", "Layr", "Mt16", "Mt32", "Mtrn", "Alph", "FMsk", "lnk2", "FEid",
                          "FXid", "PxSD"})
        QTest::addRow("%s (Adobe list)", k) << QString::fromLatin1(k) << 8;
    // psd-tools reads these with 8 bytes too; FMsk, cinf, lnk2, lnkE, Lr16, Lr32, LMsk, Mt32, pths were checked in
    // the shared corpus's PSB files.
    for (const char* k : {"lnk3", "lnkE", "pths", "extd", "extn", "cinf", "artd"})
        QTest::addRow("%s (psd-tools, corpus)", k) << QString::fromLatin1(k) << 8;
    // Everything else keeps a 4-byte length in PSB.
    for (const char* k : {"lnkD", "luni", "lsct", "SoLd", "Patt", "Txt2", "FMsK"})
        QTest::addRow("%s (4 bytes)", k) << QString::fromLatin1(k) << 4;
    // clang-format on
}

// A PSB with a global block of this key, then a second block: both parse only if the width is right; the same
// key in a PSD always has 4 bytes.
void TestPsdHostile::psbLengthWidth()
{
    QFETCH(QString, key);
    QFETCH(int, width);
    const std::string k = key.toStdString();
    const std::uint32_t code = psd::fourcc({k[0], k[1], k[2], k[3], 0});
    QCOMPARE(int(psd::taggedBlockLengthWidth(2, code)), width);
    QCOMPARE(int(psd::taggedBlockLengthWidth(1, code)), 4);

    Builder b;
    b.version = 2;
    b.globalBlocks.push_back({k, Bytes(6, 0), "8BIM", width});
    b.globalBlocks.push_back({"Patt", Bytes(8, 3)});
    const Bytes bytes = b.build();
    psd::Document doc;
    psd::Error err;
    QVERIFY2(open(bytes, doc, err), err.describe().c_str());
    QCOMPARE(doc.globalBlocks().size(), std::size_t(2));
    QCOMPARE(doc.globalBlocks()[0].lengthWidth, unsigned(width));
    QCOMPARE(doc.globalBlocks()[0].data.length, std::uint64_t(6));
    QCOMPARE(doc.globalBlocks()[1].key, psd::fourcc("Patt"));
}

void TestPsdHostile::layerTree_data()
{
    QTest::addColumn<QList<int>>("sectionTypes"); // bottom-most first; -1 a plain layer
    QTest::addColumn<QByteArray>("shape");
    // clang-format off
    QTest::newRow("flat")                     << QList<int>{-1, -1}            << QByteArray("L0,L1");
    QTest::newRow("one group")                << QList<int>{3, -1, -1, 1}      << QByteArray("G3(L1,L2)");
    QTest::newRow("closed group")             << QList<int>{3, -1, 2}          << QByteArray("G2(L1)");
    QTest::newRow("nested")                   << QList<int>{3, 3, -1, 1, -1, 1} << QByteArray("G5(G3(L2),L4)");
    QTest::newRow("empty group")              << QList<int>{3, 1, -1}          << QByteArray("G1(),L2");
    QTest::newRow("group without divider")    << QList<int>{-1, 1}             << QByteArray("L0,G1()");
    QTest::newRow("divider never closed")     << QList<int>{3, -1, 3, -1}      << QByteArray("L1,L3");
    QTest::newRow("type 0 is a plain layer")  << QList<int>{0, -1}             << QByteArray("L0,L1");
    // clang-format on
}

void TestPsdHostile::layerTree()
{
    QFETCH(QList<int>, sectionTypes);
    QFETCH(QByteArray, shape);
    Builder b;
    for (int i = 0; i < sectionTypes.size(); ++i) {
        const int t = sectionTypes[i];
        const std::string name = (t == 1 || t == 2 ? "G" : "L") + std::to_string(i);
        b.layers.push_back(Layer{name, {}, t});
    }
    const psd::Document doc = parsed(b.build());
    QCOMPARE(treeShape(doc, doc.layerTree()), QString::fromLatin1(shape));
}

void TestPsdHostile::layerKind_data()
{
    QTest::addColumn<QByteArrayList>("keys");
    QTest::addColumn<int>("sectionType");
    QTest::addColumn<psd::LayerKind>("kind");
    // clang-format off
    QTest::newRow("no blocks") << QByteArrayList{} << -1 << psd::LayerKind::Pixel;
    QTest::newRow("open group") << QByteArrayList{} << 1  << psd::LayerKind::Group;
    QTest::newRow("closed group") << QByteArrayList{} << 2  << psd::LayerKind::Group;
    QTest::newRow("text") << QByteArrayList{"TySh"} << -1 << psd::LayerKind::Type;
    QTest::newRow("old text") << QByteArrayList{"tySh"} << -1 << psd::LayerKind::Type;
    QTest::newRow("smart object PlLd") << QByteArrayList{"PlLd"} << -1 << psd::LayerKind::SmartObject;
    QTest::newRow("smart object SoLE") << QByteArrayList{"SoLE"} << -1 << psd::LayerKind::SmartObject;
    QTest::newRow("shape: vmsk and vogk") << QByteArrayList{"vmsk", "vogk"} << -1 << psd::LayerKind::Shape;
    QTest::newRow("shape: vsms and SoCo") << QByteArrayList{"SoCo", "vsms"} << -1 << psd::LayerKind::Shape;
    QTest::newRow("fill: solid colour") << QByteArrayList{"SoCo"} << -1 << psd::LayerKind::Fill;
    QTest::newRow("fill: gradient") << QByteArrayList{"GdFl"} << -1 << psd::LayerKind::Fill;
    QTest::newRow("adjustment: levels") << QByteArrayList{"levl"} << -1 << psd::LayerKind::Adjustment;
    QTest::newRow("adjustment: hue") << QByteArrayList{"hue2"} << -1 << psd::LayerKind::Adjustment;
    QTest::newRow("vector mask alone") << QByteArrayList{"vmsk"} << -1 << psd::LayerKind::Pixel;
    // clang-format on
}

void TestPsdHostile::layerKind()
{
    QFETCH(QByteArrayList, keys);
    QFETCH(int, sectionType);
    QFETCH(psd::LayerKind, kind);
    Builder b;
    Layer l{"x", {}, sectionType};
    for (const QByteArray& k : keys)
        l.blocks.push_back({k.toStdString(), Bytes(12, 0)});
    b.layers.push_back(l);
    const psd::Document doc = parsed(b.build());
    QCOMPARE(doc.layers().front().kind, kind);
}

void TestPsdHostile::writeFailureStops()
{
    const Bytes good = goodBuilder(1).build();
    psd::Document doc = parsed(good);
    psd::Error err;
    QVERIFY(doc.setResourceData(psd::Document::kXmpResourceId, Bytes(10, 'x'), err));
    for (const std::uint64_t limit : {std::uint64_t(0), std::uint64_t(30), std::uint64_t(good.size() / 2)}) {
        FailingSink sink(limit);
        QVERIFY(!doc.write(sink, err));
        QCOMPARE(err.code, psd::ErrorCode::WriteFailed);
    }
}

// A sparse PSB of several GB: the parse reads headers and records only, never the channel or image data.
void TestPsdHostile::largePsbParseLeavesImageDataOnDisk()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string path = dir.filePath(QStringLiteral("large.psb")).toStdString();
    const std::uint64_t channelBytes = 3ull << 30;
    const std::uint64_t imageBytes = 2ull << 30;

    Builder b;
    b.version = 2;
    b.width = b.height = 40000;
    const std::string xmp = xmpWithHistory(50);
    b.resources.push_back({1060, Bytes(xmp.begin(), xmp.end())});
    b.layers.push_back(Layer{"huge", u"Huge", -1});
    Bytes head = b.build();
    // Rewrite the single channel length and the enclosing lengths; the data itself becomes a hole.
    psd::Document small = parsed(head);
    const psd::LayerRecord& rec = small.layers()[0];
    patch(head, rec.record.offset + 18 + 2, channelBytes, 8);
    const std::uint64_t liField = small.layerMaskSection().offset;
    const std::uint64_t grow = channelBytes - 3;
    patch(head, liField, readBe(head, liField, 8) + grow, 8);
    patch(head, liField - 8, small.layerMaskSection().length + grow, 8);
    const std::uint64_t cut = rec.channelData.offset; // channel data starts here
    const Bytes tail(head.begin() + std::ptrdiff_t(rec.channelData.end()),
                     head.end() - std::ptrdiff_t(small.imageData().length));

    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(::pwrite(fd, head.data(), cut, 0), ssize_t(cut));
    QCOMPARE(::pwrite(fd, tail.data(), tail.size(), off_t(cut + channelBytes)), ssize_t(tail.size()));
    const Bytes compression{0, 0};
    QCOMPARE(::pwrite(fd, compression.data(), 2, off_t(cut + channelBytes + tail.size())), ssize_t(2));
    QCOMPARE(::ftruncate(fd, off_t(cut + channelBytes + tail.size() + imageBytes)), 0);
    ::close(fd);

    psd::SourcePtr file;
    psd::Error err;
    QVERIFY(psd::FileSource::open(path, file, err));
    auto counting = std::make_shared<CountingSource>(file);
    psd::Document doc;
    QVERIFY2(psd::Document::open(counting, doc, err), err.describe().c_str());
    QCOMPARE(doc.layers()[0].channelData.length, channelBytes);
    QCOMPARE(doc.imageData().length, imageBytes); // from the compression field to the end
    QCOMPARE(doc.signature().layers.front().name, std::string("Huge"));
    qInfo("parsed a %llu-byte PSB reading %llu bytes", static_cast<unsigned long long>(file->size()),
          static_cast<unsigned long long>(counting->bytesRead));
    QVERIFY(counting->bytesRead < 1024 * 1024);

    // An XMP edit plans a few literal bytes and copies the rest.
    QVERIFY(doc.setResourceData(psd::Document::kXmpResourceId, Bytes(100, 'x'), err));
    psd::WritePlan plan;
    QVERIFY(doc.plan(plan, err));
    QVERIFY(plan.literalBytes() < 200);
    const psd::ImageResource* xmpBlock = small.findResource(1060);
    QCOMPARE(plan.outputSize, file->size() - xmpBlock->data.length - xmpBlock->padding + 100);
}

void TestPsdHostile::xmpPadding_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<qint64>("padding");
    QTest::addColumn<bool>("padded"); // whether the packet has a place for padding
    QTest::addColumn<qint64>("bulk"); // bytes added to the history's text, in a file written at test time
    const QByteArray usual = QByteArray::fromStdString(xmpWithHistory(3));
    const QByteArray trailer = "<?xpacket end=\"w\"?>";
    QByteArray noTrailer = usual;
    noTrailer.chop(trailer.size());
    QByteArray trailerInRoot = noTrailer;
    trailerInRoot.insert(trailerInRoot.indexOf("</x:xmpmeta>"), trailer);
    // clang-format off
    QTest::newRow("trailer, no padding")        << usual << qint64(0) << true << qint64(0);
    QTest::newRow("trailer, 1 byte")            << usual << qint64(1) << true << qint64(0);
    QTest::newRow("trailer, 7 bytes")           << usual << qint64(7) << true << qint64(0);
    QTest::newRow("trailer, 8 bytes")           << usual << qint64(8) << true << qint64(0);
    QTest::newRow("trailer, 65535 bytes")       << usual << qint64(65535) << true << qint64(0);
    QTest::newRow("no trailer")                 << noTrailer << qint64(6) << false << qint64(0);
    QTest::newRow("trailer inside the root")    << trailerInRoot << qint64(6) << false << qint64(0);
    QTest::newRow("packet over 256 MiB, 4095 bytes") << usual << qint64(4095) << true << qint64(270) * 1024 * 1024;
    // clang-format on
}

// The XMP splice with padding before the closing <?xpacket end?>: the file re-parses with the same structure,
// its packet is well-formed with nothing left to remove, and the file is exactly as much shorter as the block.
void TestPsdHostile::xmpPadding()
{
    QFETCH(QByteArray, packet);
    QFETCH(qint64, padding);
    QFETCH(bool, padded);
    QFETCH(qint64, bulk);
    Builder b = goodBuilder(1);
    b.resources = {{1000, Bytes(3, 1)}, {1060, Bytes(packet.begin(), packet.end())}, {1005, Bytes(16, 2)}};
    Bytes bytes = b.build();
    psd::SourcePtr source = psd::MemorySource::make(bytes);
    psd::Error err;
    QTemporaryDir dir;
    if (bulk > 0) {
        // The history's text grows by bulk bytes, written straight to a file: the packet is never in memory.
        const psd::Document small = parsed(bytes);
        const psd::ImageResource* res = small.findResource(1060);
        const std::uint64_t at = res->data.offset + std::uint64_t(packet.indexOf("saved ")) + 6;
        patch(bytes, res->sizeFieldOffset, res->data.length + std::uint64_t(bulk), 4);
        patch(bytes, small.resourcesSection().offset - 4, small.resourcesSection().length + std::uint64_t(bulk), 4);
        const std::string path = dir.filePath(QStringLiteral("bulky.psd")).toStdString();
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, bytes.data(), at), ssize_t(at));
        const Bytes text(1 << 20, 'x');
        for (qint64 left = bulk; left > 0; left -= qint64(text.size()))
            QCOMPARE(::write(fd, text.data(), std::size_t(std::min<qint64>(left, qint64(text.size())))),
                     ssize_t(std::min<qint64>(left, qint64(text.size()))));
        QCOMPARE(::write(fd, bytes.data() + at, bytes.size() - at), ssize_t(bytes.size() - at));
        ::close(fd);
        QVERIFY2(psd::FileSource::open(path, source, err), err.describe().c_str());
    }
    psd::Document doc;
    QVERIFY2(psd::Document::open(source, doc, err), err.describe().c_str());
    const psd::ImageResource* res = doc.findResource(1060);
    QVERIFY(res);
    QVERIFY(res->data.length > std::uint64_t(bulk));
    psd::SourcePtr view;
    QVERIFY(psd::ViewSource::make(source, res->data.offset, res->data.length, view, err));
    psd::xmp::XmpCleanResult result;
    psd::xmp::XmpError xerr;
    QVERIFY2(psd::xmp::cleanXmpStream(*view, result, xerr), xerr.message.c_str());
    QCOMPARE(result.outcome, psd::xmp::XmpOutcome::Cleaned);
    QCOMPARE(result.hasTrailer, padded);
    psd::ResourceSplice splice;
    for (const psd::xmp::ByteRange& r : result.removedRanges)
        splice.cuts.push_back({r.begin, r.size()});
    if (result.hasTrailer)
        splice.paddingPoint = result.trailerOffset;
    QVERIFY(doc.spliceResource(1060, splice, err));
    QCOMPARE(doc.setXmpPadding(std::uint64_t(padding), err), padded);
    psd::MemorySink sink;
    QVERIFY2(doc.write(sink, err), err.describe().c_str());

    const std::uint64_t oldBlock = res->whole.end() - res->sizeFieldOffset; // size field, data, pad byte
    const std::uint64_t newData = res->data.length - result.removedBytes() + std::uint64_t(padded ? padding : 0);
    const std::uint64_t newBlock = 4 + newData + newData % 2;
    QCOMPARE(std::uint64_t(sink.bytes().size()), source->size() - oldBlock + newBlock);
    QCOMPARE(readBe(sink.bytes(), res->sizeFieldOffset, 4), newData);
    psd::Document again;
    QVERIFY2(psd::Document::open(psd::MemorySource::make(sink.take()), again, err), err.describe().c_str());
    QVERIFY(again.signature() == doc.signature());
    QCOMPARE(again.resources().size(), doc.resources().size());
    std::vector<std::uint8_t> cleaned;
    QVERIFY(again.xmpPacket(cleaned, err));
    const std::string_view text(reinterpret_cast<const char*>(cleaned.data()), cleaned.size());
    psd::xmp::XmpCleanResult second;
    QVERIFY2(psd::xmp::cleanXmpPacket(text, second, xerr), xerr.message.c_str());
    QCOMPARE(second.outcome, psd::xmp::XmpOutcome::NothingToRemove);
    if (padded)
        QVERIFY(text.ends_with(std::string(std::size_t(padding), ' ') + "<?xpacket end=\"w\"?>"));
}

QTEST_APPLESS_MAIN(TestPsdHostile)
#include "TestPsdHostile.moc"
