// The byte check that runs beside the writer: a written file must match its plan exactly.
#include "worker/PlanVerifier.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TestPlanVerifier : public QObject {
    Q_OBJECT

private slots:
    void verifies_data();
    void verifies();
};

void TestPlanVerifier::verifies_data()
{
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<bool>("ok");
    // The plan: bytes 0..3 of the original, the literal "XY", bytes 6..9 of the original.
    // clang-format off
    QTest::newRow("as planned")               << QByteArray("0123XY6789") << true;
    QTest::newRow("copied byte differs")      << QByteArray("0124XY6789") << false;
    QTest::newRow("literal byte differs")     << QByteArray("0123XZ6789") << false;
    QTest::newRow("last byte differs")        << QByteArray("0123XY678_") << false;
    QTest::newRow("file ends early")          << QByteArray("0123XY678")  << false;
    QTest::newRow("file runs past the plan")  << QByteArray("0123XY6789!") << false;
    QTest::newRow("empty file")               << QByteArray()             << false;
    // clang-format on
}

void TestPlanVerifier::verifies()
{
    QFETCH(QByteArray, written);
    QFETCH(bool, ok);
    QTemporaryDir dir;
    const QString originalPath = dir.filePath(QStringLiteral("original"));
    const QString writtenPath = dir.filePath(QStringLiteral("written"));
    QFile original(originalPath);
    QVERIFY(original.open(QIODevice::WriteOnly) && original.write("0123456789") == 10);
    original.close();
    QFile out(writtenPath);
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write(written) == written.size());
    out.close();

    psd::WritePlan plan;
    psd::PlanPiece head;
    head.outOffset = 0;
    head.length = 4;
    head.sourceOffset = 0;
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

    psd::SourcePtr source;
    psd::Error perr;
    QVERIFY(psd::FileSource::open(originalPath.toStdString(), source, perr));
    worker::PlanVerifier verifier(plan, *source);
    worker::WorkerError err;
    QVERIFY(verifier.start(writtenPath.toStdString(), err));
    // Progress arrives in steps, as from the writer.
    verifier.advance(std::min<std::uint64_t>(3, written.size()));
    verifier.advance(std::uint64_t(written.size()));
    QCOMPARE(verifier.finish(err), ok);
    if (!ok)
        QCOMPARE(err.type, std::string("ValidationError"));
}

QTEST_APPLESS_MAIN(TestPlanVerifier)
#include "TestPlanVerifier.moc"
