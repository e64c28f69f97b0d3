// Round trips over every file of the shared corpus: unedited writes are byte-identical, XMP edits and embedded
// payload replacements change nothing but the edited bytes and the lengths that enclose them.
#include "CorpusFiles.h"

#include "psd/Document.h"
#include "psd/FourCC.h"

#include <QTemporaryDir>
#include <QTest>

using namespace psdtest;

namespace {

std::vector<std::uint8_t> toVector(const QByteArray& a)
{
    return std::vector<std::uint8_t>(a.begin(), a.end());
}

std::uint64_t readBe(const std::vector<std::uint8_t>& b, std::uint64_t offset, unsigned width)
{
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i)
        v = (v << 8) | b[offset + i];
    return v;
}

bool sameRange(const std::vector<std::uint8_t>& a, std::uint64_t aOffset, const std::vector<std::uint8_t>& b,
               std::uint64_t bOffset, std::uint64_t length)
{
    if (aOffset + length > a.size() || bOffset + length > b.size())
        return false;
    return std::equal(a.begin() + std::ptrdiff_t(aOffset), a.begin() + std::ptrdiff_t(aOffset + length),
                      b.begin() + std::ptrdiff_t(bOffset));
}

QByteArray describe(const psd::Error& err)
{
    return QByteArray(psd::errorCodeName(err.code)) + ": " + QByteArray::fromStdString(err.describe());
}

} // namespace

class TestPsdCorpus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void roundTrip_data();
    void roundTrip();
    void xmpEdit_data();
    void xmpEdit();
    void embeddedPayloads_data();
    void embeddedPayloads();
    void cleanupTestCase();

private:
    QString m_dir;
    QTemporaryDir m_tmp;
    int m_opened = 0;
    int m_failed = 0;
    QStringList m_failures;
};

void TestPsdCorpus::initTestCase()
{
    m_dir = corpusDir();
    if (m_dir.isEmpty())
        QSKIP("shared corpus not found (LEANFOLD_CORPUS); corpus round-trip tests skipped");
    QVERIFY(m_tmp.isValid());
}

void TestPsdCorpus::roundTrip_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("damaged");
    for (const CorpusRow& row : corpusRows())
        QTest::newRow(qPrintable(row.file)) << row.file << row.damaged();
}

// Open; write unedited to a real file (the copy_file_range road); the output is the source, byte for byte,
// and re-parses to the same structure signature.
void TestPsdCorpus::roundTrip()
{
    QFETCH(QString, file);
    QFETCH(bool, damaged);
    const QString path = m_dir + QLatin1Char('/') + file;
    psd::Document doc;
    psd::Error err;
    if (!psd::Document::openFile(path.toStdString(), doc, err)) {
        ++m_failed;
        m_failures << file + QLatin1String(": ") + QString::fromUtf8(describe(err));
        QVERIFY2(damaged, describe(err).constData());
        QVERIFY(!err.message.empty());
        QVERIFY(err.code != psd::ErrorCode::None);
        return;
    }
    ++m_opened;
    const QString out = m_tmp.filePath(QStringLiteral("roundtrip.out"));
    {
        std::unique_ptr<psd::FileSink> sink;
        QVERIFY(psd::FileSink::create(out.toStdString(), sink, err));
        QVERIFY2(doc.write(*sink, err), describe(err).constData());
        QVERIFY(sink->close(err));
    }
    QCOMPARE(readWhole(out), readWhole(path));

    psd::Document again;
    QVERIFY2(psd::Document::openFile(out.toStdString(), again, err), describe(err).constData());
    const std::string diff = psd::firstDifference(doc.signature(), again.signature());
    QVERIFY2(diff.empty(), diff.c_str());
    QVERIFY(doc.signature() == again.signature());
}

void TestPsdCorpus::xmpEdit_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("change"); // bytes added to (or taken from) the packet
    for (const CorpusRow& row : corpusRows()) {
        if (row.damaged() || row.number("xmp") == 0)
            continue;
        QTest::addRow("%s shortened", qPrintable(row.file)) << row.file << -200;
        QTest::addRow("%s lengthened", qPrintable(row.file)) << row.file << 1000;
        QTest::addRow("%s odd length", qPrintable(row.file)) << row.file << 3;
    }
}

// Replace the XMP packet: every byte outside resource 1060's block and the resources length field is
// identical, and the structure signature survives.
void TestPsdCorpus::xmpEdit()
{
    QFETCH(QString, file);
    QFETCH(int, change);
    const QString path = m_dir + QLatin1Char('/') + file;
    const std::vector<std::uint8_t> original = toVector(readWhole(path));
    psd::Document doc;
    psd::Error err;
    QVERIFY2(psd::Document::open(psd::MemorySource::make(original), doc, err), describe(err).constData());
    const psd::ImageResource* res = doc.findResource(psd::Document::kXmpResourceId);
    QVERIFY(res);
    const psd::ImageResource block = *res;
    std::vector<std::uint8_t> packet;
    QVERIFY(doc.xmpPacket(packet, err));
    if (change < 0)
        packet.resize(packet.size() > std::size_t(-change) ? packet.size() - std::size_t(-change) : 1);
    else
        packet.insert(packet.end(), std::size_t(change), ' ');
    if (change == 3 && packet.size() % 2 == 0)
        packet.push_back(' ');
    QVERIFY(doc.setResourceData(psd::Document::kXmpResourceId, packet, err));
    psd::MemorySink sink;
    QVERIFY2(doc.write(sink, err), describe(err).constData());
    const std::vector<std::uint8_t>& out = sink.bytes();

    const std::uint64_t lengthField = doc.resourcesSection().offset - 4;
    const std::uint64_t pad = packet.size() % 2;
    const std::uint64_t newBlockEnd = block.sizeFieldOffset + 4 + packet.size() + pad;
    QVERIFY(sameRange(original, 0, out, 0, lengthField));
    QVERIFY(sameRange(original, lengthField + 4, out, lengthField + 4, block.sizeFieldOffset - lengthField - 4));
    QCOMPARE(readBe(out, block.sizeFieldOffset, 4), std::uint64_t(packet.size()));
    QVERIFY(sameRange(packet, 0, out, block.sizeFieldOffset + 4, packet.size()));
    QCOMPARE(out.size() - newBlockEnd, original.size() - block.whole.end());
    QVERIFY(sameRange(original, block.whole.end(), out, newBlockEnd, original.size() - block.whole.end()));
    const std::int64_t delta = std::int64_t(newBlockEnd) - std::int64_t(block.whole.end());
    QCOMPARE(std::int64_t(readBe(out, lengthField, 4)), std::int64_t(doc.resourcesSection().length) + delta);

    psd::Document again;
    QVERIFY2(psd::Document::open(psd::MemorySource::make(out), again, err), describe(err).constData());
    const std::string diff = psd::firstDifference(doc.signature(), again.signature());
    QVERIFY2(diff.empty(), diff.c_str());
    std::vector<std::uint8_t> readBack;
    QVERIFY(again.xmpPacket(readBack, err));
    QVERIFY(readBack == packet);
}

void TestPsdCorpus::embeddedPayloads_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("payloads");
    for (const CorpusRow& row : corpusRows()) {
        if (row.number("embedded_psd_payloads") > 0)
            QTest::newRow(qPrintable(row.file)) << row.file << row.number("embedded_psd_payloads");
    }
}

// Every embedded PSD/PSB payload is found and opens from a view; replacing it with itself changes nothing;
// replacing it with a slimmer version of itself changes only the payload and the lengths around it.
void TestPsdCorpus::embeddedPayloads()
{
    QFETCH(QString, file);
    QFETCH(int, payloads);
    const QString path = m_dir + QLatin1Char('/') + file;
    const std::vector<std::uint8_t> original = toVector(readWhole(path));
    const psd::SourcePtr source = psd::MemorySource::make(original);
    psd::Document doc;
    psd::Error err;
    QVERIFY2(psd::Document::open(source, doc, err), describe(err).constData());

    std::vector<const psd::LinkedFile*> items;
    for (const psd::LinkedFile& f : doc.linkedFiles()) {
        if (f.isEmbeddedDocument())
            items.push_back(&f);
    }
    QCOMPARE(int(items.size()), payloads);

    // Every smart-object layer that names an embedded document finds it.
    int smartLayersFound = 0;
    for (const psd::LayerRecord& layer : doc.layers()) {
        if (layer.kind == psd::LayerKind::SmartObject && doc.findEmbedded(layer.smartObjectId))
            ++smartLayersFound;
    }
    QVERIFY(smartLayersFound >= 1);

    for (const psd::LinkedFile* item : items) {
        psd::Document inner;
        QVERIFY2(doc.openEmbedded(item->uniqueId, inner, err), describe(err).constData());
        const psd::StructureSignature innerBefore = inner.signature();
        QVERIFY(innerBefore.width > 0 && innerBefore.height > 0);

        // Replaced by itself: byte-identical.
        {
            psd::Document same;
            QVERIFY(psd::Document::open(source, same, err));
            auto payload =
                std::make_shared<const std::vector<std::uint8_t>>(original.begin() + std::ptrdiff_t(item->data.offset),
                                                                  original.begin() + std::ptrdiff_t(item->data.end()));
            QVERIFY(same.replaceEmbeddedPayload(item->uniqueId, payload, err));
            psd::MemorySink sink;
            QVERIFY2(same.write(sink, err), describe(err).constData());
            QVERIFY(sink.bytes() == original);
        }

        // Replaced by a slimmer version (its XMP shortened, or dropped to one byte when there is none).
        std::vector<std::uint8_t> innerXmp;
        inner.xmpPacket(innerXmp, err);
        innerXmp.resize(innerXmp.size() / 2 + 1, ' ');
        QVERIFY(inner.setResourceData(psd::Document::kXmpResourceId, innerXmp, err));
        psd::MemorySink innerSink;
        QVERIFY2(inner.write(innerSink, err), describe(err).constData());
        auto payload = std::make_shared<const std::vector<std::uint8_t>>(innerSink.take());

        psd::Document edited;
        QVERIFY(psd::Document::open(source, edited, err));
        QVERIFY(edited.replaceEmbeddedPayload(item->uniqueId, payload, err));
        psd::WritePlan plan;
        QVERIFY2(edited.plan(plan, err), describe(err).constData());
        psd::MemorySink sink;
        QVERIFY2(edited.write(sink, err), describe(err).constData());
        const std::vector<std::uint8_t> out = sink.take();
        QCOMPARE(out.size(), std::size_t(plan.outputSize));
        // Copies are identical; the only literal bytes are the payload, length fields and padding.
        QVERIFY2(psd::verifyPlanCopies(plan, psd::MemorySource(original), psd::MemorySource(out), err),
                 describe(err).constData());
        for (const psd::PlanPiece& piece : plan.pieces) {
            if (!piece.copy)
                QVERIFY(piece.bytes == payload || piece.length <= 8);
        }
        // And independently of the plan: everything before the layer and mask length field is untouched.
        const unsigned width = doc.header().isPsb() ? 8 : 4;
        QVERIFY(sameRange(original, 0, out, 0, doc.layerMaskSection().offset - width));
        const std::int64_t delta = std::int64_t(out.size()) - std::int64_t(original.size());
        QCOMPARE(std::int64_t(readBe(out, doc.layerMaskSection().offset - width, width)),
                 std::int64_t(doc.layerMaskSection().length) + delta);
        QVERIFY(sameRange(original, doc.imageData().offset, out,
                          std::uint64_t(std::int64_t(doc.imageData().offset) + delta), doc.imageData().length));

        psd::Document reopened;
        QVERIFY2(psd::Document::open(psd::MemorySource::make(out), reopened, err), describe(err).constData());
        QVERIFY(reopened.signature() == doc.signature());
        const psd::LinkedFile* moved = reopened.findEmbedded(item->uniqueId);
        QVERIFY(moved);
        QCOMPARE(moved->data.length, std::uint64_t(payload->size()));
        psd::Document innerAfter;
        QVERIFY2(reopened.openEmbedded(item->uniqueId, innerAfter, err), describe(err).constData());
        const std::string diff = psd::firstDifference(innerBefore, innerAfter.signature());
        QVERIFY2(diff.empty(), diff.c_str());
        std::vector<std::uint8_t> readBack;
        QVERIFY(innerAfter.xmpPacket(readBack, err));
        QVERIFY(readBack == innerXmp);
    }
}

void TestPsdCorpus::cleanupTestCase()
{
    if (m_dir.isEmpty())
        return;
    qInfo("corpus: %d files opened, %d failed", m_opened, m_failed);
    for (const QString& f : m_failures)
        qInfo("  failed: %s", qPrintable(f));
}

QTEST_APPLESS_MAIN(TestPsdCorpus)
#include "TestPsdCorpus.moc"
