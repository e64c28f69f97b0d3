// The byte checks of the written file: copies read back as they are written, then the whole file against its plan.
#include "worker/PlanVerifier.h"
#include "worker/VerifyingSink.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

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
    void againstPlan_data();
    void againstPlan();
    void sinkReadsCopiesBack();
};

void TestPlanVerifier::againstPlan_data()
{
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<std::vector<worker::VerifiedCopy>>("verified");
    QTest::addColumn<bool>("ok");
    const std::vector<worker::VerifiedCopy> none;
    const std::vector<worker::VerifiedCopy> bothCopies = {{0, 0, 4}, {6, 6, 4}};
    const std::vector<worker::VerifiedCopy> shifted = {{0, 1, 4}, {6, 6, 4}}; // maps the head onto other bytes
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

void TestPlanVerifier::sinkReadsCopiesBack()
{
    QTemporaryDir dir;
    const QString originalPath = dir.filePath(QStringLiteral("original"));
    const QString writtenPath = dir.filePath(QStringLiteral("written"));
    // Larger than one chunk of the sink, so a copy is read back in several steps.
    QByteArray original(3 * 1024 * 1024 + 17, '\0');
    for (qsizetype i = 0; i < original.size(); ++i)
        original[i] = char((i * 7919) >> 3);
    QVERIFY(writeFile(originalPath, original));
    psd::SourcePtr source;
    psd::Error perr;
    QVERIFY(psd::FileSource::open(originalPath.toStdString(), source, perr));
    psd::File out;
    QVERIFY(psd::File::create(writtenPath.toStdString(), out, perr));
    {
        worker::VerifyingSink sink(out);
        QVERIFY(sink.write("head", 4, perr));
        QVERIFY(sink.copyFrom(*source, 0, 2 * 1024 * 1024, perr));
        QVERIFY(sink.copyFrom(*source, 2 * 1024 * 1024, 1024 * 1024 + 17, perr)); // continues the previous copy
        QVERIFY(sink.write("!", 1, perr));
        QVERIFY(sink.copyFrom(*source, 5, 10, perr));
        QVERIFY(!sink.copyFrom(*source, original.size() - 4, 5, perr)); // past the end of the source
        const auto& copies = sink.verifiedCopies();
        QCOMPARE(int(copies.size()), 2);
        QCOMPARE(copies[0].outOffset, 4u);
        QCOMPARE(copies[0].sourceOffset, 0u);
        QCOMPARE(copies[0].length, std::uint64_t(original.size()));
        QCOMPARE(copies[1].outOffset, std::uint64_t(4 + original.size() + 1));
        QCOMPARE(copies[1].sourceOffset, 5u);
        QCOMPARE(sink.offset(), std::uint64_t(4 + original.size() + 1 + 10));
    }
    QVERIFY(out.close(perr));
    QFile f(writtenPath);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("head") + original + QByteArray("!") + original.mid(5, 10));
}

QTEST_APPLESS_MAIN(TestPlanVerifier)
#include "TestPlanVerifier.moc"
