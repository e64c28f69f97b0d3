// The byte checks of the written file: copies read back (or cloned and their edges read back) as they are
// written, then the whole file against its plan.
#include "WorkerFixtures.h"

#include "engine/ClonePlan.h"
#include "engine/PlanVerifier.h"
#include "engine/VerifyingSink.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(std::vector<worker::VerifiedCopy>)

namespace {

// Bytes 0..3 of the original "0123456789", the literal "XY", bytes 6..9 of the original.
psd::WritePlan samplePlan()
{
    psd::WritePlan plan;
    psd::PlanPiece head;
    head.length = 4;
    psd::PlanPiece literal;
    literal.outOffset = 4;
    literal.length = 2;
    literal.copy = false;
    literal.bytes = std::make_shared<const std::vector<std::uint8_t>>(std::vector<std::uint8_t>{'X', 'Y'});
    psd::PlanPiece tail;
    tail.outOffset = 6;
    tail.length = 4;
    tail.sourceOffset = 6;
    plan.pieces = {head, literal, tail};
    plan.outputSize = 10;
    return plan;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

class TestPlanVerifier : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void againstPlan_data();
    void againstPlan();
    void sinkReadsCopiesBack_data();
    void sinkReadsCopiesBack();
    void clonePadding_data();
    void clonePadding();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<WorkerFixtures::LoopMount> m_reflinkXfs;
    std::unique_ptr<WorkerFixtures::LoopMount> m_plainXfs;
};

void TestPlanVerifier::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("reflink")) && QDir(m_dir.path()).mkpath(QStringLiteral("plain")));
    m_reflinkXfs = std::make_unique<WorkerFixtures::LoopMount>(m_dir.filePath(QStringLiteral("reflink")),
                                                               WorkerFixtures::LoopMount::Kind::XfsReflink);
    m_plainXfs = std::make_unique<WorkerFixtures::LoopMount>(m_dir.filePath(QStringLiteral("plain")),
                                                             WorkerFixtures::LoopMount::Kind::Xfs);
}

void TestPlanVerifier::againstPlan_data()
{
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<std::vector<worker::VerifiedCopy>>("verified");
    QTest::addColumn<bool>("ok");
    const std::vector<worker::VerifiedCopy> none;
    const std::vector<worker::VerifiedCopy> bothCopies = {{0, 0, 4}, {6, 6, 4}};
    const std::vector<worker::VerifiedCopy> shifted = {{0, 1, 4}, {6, 6, 4}}; // maps the head onto other bytes
    const std::vector<worker::VerifiedCopy> clonedTail = {{0, 0, 4, false}, {6, 6, 4, true}};
    const std::vector<worker::VerifiedCopy> clonedElsewhere = {{0, 0, 4, false}, {6, 5, 4, true}};
    // clang-format off
    QTest::newRow("as planned")                      << QByteArray("0123XY6789")  << none       << true;
    QTest::newRow("copied byte differs")             << QByteArray("0124XY6789")  << none       << false;
    QTest::newRow("literal byte differs")            << QByteArray("0123XZ6789")  << none       << false;
    QTest::newRow("last byte differs")               << QByteArray("0123XY678_")  << none       << false;
    QTest::newRow("file ends early")                 << QByteArray("0123XY678")   << none       << false;
    QTest::newRow("file runs past the plan")         << QByteArray("0123XY6789!") << none       << false;
    QTest::newRow("empty file")                      << QByteArray()              << none       << false;
    QTest::newRow("copies verified, literal differs") << QByteArray("0123XZ6789") << bothCopies << false;
    QTest::newRow("copies verified, as planned")     << QByteArray("0123XY6789")  << bothCopies << true;
    QTest::newRow("other mapping is checked again")  << QByteArray("0124XY6789")  << shifted    << false;
    QTest::newRow("other mapping, file as planned")  << QByteArray("0123XY6789")  << shifted    << true;
    QTest::newRow("tail cloned, as planned")         << QByteArray("0123XY6789")  << clonedTail << true;
    QTest::newRow("tail cloned, literal differs")    << QByteArray("0123YY6789")  << clonedTail << false;
    QTest::newRow("tail cloned, file ends early")    << QByteArray("0123XY678")   << clonedTail << false;
    QTest::newRow("clone of other bytes is checked") << QByteArray("0123XY5678")  << clonedElsewhere << false;
    // clang-format on
}

void TestPlanVerifier::againstPlan()
{
    QFETCH(QByteArray, written);
    QFETCH(std::vector<worker::VerifiedCopy>, verified);
    QFETCH(bool, ok);
    QTemporaryDir dir;
    const QString originalPath = dir.filePath(QStringLiteral("original"));
    const QString writtenPath = dir.filePath(QStringLiteral("written"));
    QVERIFY(writeFile(originalPath, "0123456789"));
    QVERIFY(writeFile(writtenPath, written));
    psd::SourcePtr source;
    psd::Error perr;
    QVERIFY(psd::FileSource::open(originalPath.toStdString(), source, perr));
    psd::SourcePtr writtenSource;
    QVERIFY(psd::FileSource::open(writtenPath.toStdString(), writtenSource, perr));
    worker::WorkerError err;
    QCOMPARE(worker::verifyAgainstPlan(samplePlan(), *source, *writtenSource, verified, err), ok);
    if (!ok)
        QCOMPARE(err.type, std::string("ValidationError"));
}

void TestPlanVerifier::sinkReadsCopiesBack_data()
{
    QTest::addColumn<QString>("fileSystem"); // where both files are: "here" (the test's folder), "xfs", "plain xfs"
    QTest::addColumn<bool>("allowCloning");
    QTest::addColumn<bool>("expectClones");
    // clang-format off
    QTest::newRow("copied")                       << u"here"_s      << false << false;
    QTest::newRow("no sharing here: copied")      << u"here"_s      << true  << false;
    QTest::newRow("xfs, cloning not allowed")     << u"xfs"_s       << false << false;
    QTest::newRow("xfs shares blocks: cloned")    << u"xfs"_s       << true  << true;
    QTest::newRow("xfs without reflink: copied")  << u"plain xfs"_s << true  << false;
    // clang-format on
}

void TestPlanVerifier::sinkReadsCopiesBack()
{
    QFETCH(QString, fileSystem);
    QFETCH(bool, allowCloning);
    QFETCH(bool, expectClones);
    QString folder = m_dir.path();
    for (const auto& [name, loop] : {std::pair{u"xfs"_s, m_reflinkXfs.get()}, std::pair{u"plain xfs"_s, m_plainXfs.get()}}) {
        if (fileSystem != name)
            continue;
        if (!loop->mounted())
            QSKIP(qPrintable(loop->why + u"; the XFS rows are skipped"_s));
        folder = loop->mountPoint();
    }
    const QString originalPath = folder + u"/original"_s;
    const QString writtenPath = folder + u"/written"_s;
    // Larger than one chunk of the sink, so a copy is read back in several steps; its end is not block-aligned.
    QByteArray original(3 * 1024 * 1024 + 17, '\0');
    for (qsizetype i = 0; i < original.size(); ++i)
        original[i] = char((i * 7919) >> 3);
    QVERIFY(writeFile(originalPath, original));
    psd::SourcePtr source;
    psd::Error perr;
    QVERIFY(psd::FileSource::open(originalPath.toStdString(), source, perr));
    psd::File out;
    QVERIFY(psd::File::create(writtenPath.toStdString(), out, perr));
    std::uint64_t block = 0;
    QVERIFY(out.blockSize(block, perr));
    QVERIFY(block >= 512 && block <= 64 * 1024);
    const std::uint64_t size = std::uint64_t(original.size());
    {
        worker::VerifyingSink sink(out);
        std::uint64_t base = 0;
        if (allowCloning)
            sink.allowCloning(*source->file(base), block);
        // Source offsets equal output offsets: everything from the first whole block on may be cloned.
        QVERIFY(sink.write("head", 4, perr));
        QVERIFY(sink.copyFrom(*source, 4, 2 * 1024 * 1024 - 4, perr));
        QVERIFY(sink.copyFrom(*source, 2 * 1024 * 1024, size - 2 * 1024 * 1024, perr)); // continues the previous copy
        QVERIFY(sink.write("!", 1, perr));
        QVERIFY(sink.copyFrom(*source, 5, 10, perr)); // out of place within a block: copied
        QVERIFY(!sink.copyFrom(*source, size - 4, 5, perr)); // past the end of the source
        std::vector<worker::VerifiedCopy> expected = {{4, 4, size - 4, false}, {size + 1, 5, 10, false}};
        if (expectClones)
            expected = {{4, 4, block - 4, false}, {block, block, size - block, true}, {size + 1, 5, 10, false}};
        const auto& copies = sink.verifiedCopies();
        QCOMPARE(copies.size(), expected.size());
        for (std::size_t i = 0; i < copies.size(); ++i) {
            QCOMPARE(copies[i].outOffset, expected[i].outOffset);
            QCOMPARE(copies[i].sourceOffset, expected[i].sourceOffset);
            QCOMPARE(copies[i].length, expected[i].length);
            QCOMPARE(copies[i].cloned, expected[i].cloned);
        }
        QCOMPARE(sink.clonedBytes(), expectClones ? size - block : 0u);
        QCOMPARE(sink.offset(), size + 1 + 10);
    }
    QVERIFY(out.close(perr));
    QCOMPARE(WorkerFixtures::sharesBlocks(writtenPath), expectClones);
    QFile f(writtenPath);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("head") + original.mid(4) + QByteArray("!") + original.mid(5, 10));
}

void TestPlanVerifier::clonePadding_data()
{
    QTest::addColumn<quint64>("original");
    QTest::addColumn<quint64>("planned");
    QTest::addColumn<quint64>("block");
    QTest::addColumn<bool>("sharing");  // the file system clones
    QTest::addColumn<bool>("anySize");  // rules that let small files clone (tests)
    QTest::addColumn<bool>("clone");
    QTest::addColumn<quint64>("padding");
    const quint64 mib = 1024 * 1024;
    const quint64 big = 200 * mib;
    // clang-format off
    QTest::newRow("shrinks by whole blocks")      << big      << big - 8192      << 4096ull  << true  << false << true  << 0ull;
    QTest::newRow("padded to whole blocks")       << big      << big - 10000     << 4096ull  << true  << false << true  << 1808ull;
    QTest::newRow("shrinks by under a block")     << big      << big - 2000      << 4096ull  << true  << false << true  << 2000ull;
    QTest::newRow("unchanged")                    << big      << big             << 4096ull  << true  << false << true  << 0ull;
    QTest::newRow("odd shrink cannot be whole")   << big      << big - 10001     << 4096ull  << true  << false << false << 0ull;
    QTest::newRow("no block sharing")             << big      << big - 10000     << 4096ull  << false << false << false << 0ull;
    QTest::newRow("small file")                   << 10 * mib << 10 * mib - 8192 << 4096ull  << true  << false << false << 0ull;
    QTest::newRow("padding at 0.01% of the file") << 100000000ull << 100000000ull - 10000 << 65536ull << true << false << false << 0ull;
    QTest::newRow("padding just under 0.01%")     << 100000000ull << 100000000ull - 9998  << 65536ull << true << false << true  << 9998ull;
    QTest::newRow("file grew")                    << big      << big + 10        << 4096ull  << true  << false << false << 0ull;
    QTest::newRow("block not a power of two")     << big      << big - 10000     << 3000ull  << true  << false << false << 0ull;
    QTest::newRow("no block size")                << big      << big - 10000     << 0ull     << true  << false << false << 0ull;
    QTest::newRow("small file, test rules")       << 90000ull << 80000ull        << 4096ull  << true  << true  << true  << 1808ull;
    QTest::newRow("under two blocks, test rules") << 9000ull  << 8000ull         << 4096ull  << true  << true  << false << 0ull;
    // clang-format on
}

void TestPlanVerifier::clonePadding()
{
    QFETCH(quint64, original);
    QFETCH(quint64, planned);
    QFETCH(quint64, block);
    QFETCH(bool, sharing);
    QFETCH(bool, anySize);
    QFETCH(bool, clone);
    QFETCH(quint64, padding);
    const worker::CloneRules rules = anySize ? worker::CloneRules{0, 1000000} : worker::CloneRules{};
    const worker::CloneChoice choice = worker::choosePadding({original, planned, block, sharing}, rules);
    QCOMPARE(choice.clone, clone);
    QCOMPARE(choice.padding, padding);
    if (clone)
        QCOMPARE((original - planned - padding) % block, 0u); // the tail keeps its place within a block
}

QTEST_APPLESS_MAIN(TestPlanVerifier)
#include "TestPlanVerifier.moc"
