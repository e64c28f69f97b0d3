// Files made by independent tools at test time: ImageMagick writes layered PSD and PSB, exiftool adds XMP editing
// history. Our reader must agree with what the tools made, and our output must read back in both tools.
#include "psd/Document.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

namespace {

struct ToolRun
{
    int exitCode = -1;
    QByteArray output;
};

ToolRun run(const QString& program, const QStringList& args, const QString& dir)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    ToolRun r;
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = p.exitCode();
    r.output = p.readAll();
    return r;
}

std::string text(const std::vector<std::uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

class TestPsdToolFixtures : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void imageMagickAndExiftool_data();
    void imageMagickAndExiftool();

private:
    QString m_convert;
    QString m_exiftool;
    QString m_identify;
    QTemporaryDir m_tmp;
};

void TestPsdToolFixtures::initTestCase()
{
    m_convert = QStandardPaths::findExecutable(QStringLiteral("convert"));
    m_identify = QStandardPaths::findExecutable(QStringLiteral("identify"));
    m_exiftool = QStandardPaths::findExecutable(QStringLiteral("exiftool"));
    if (m_convert.isEmpty() || m_identify.isEmpty())
        QSKIP("ImageMagick (convert, identify) not installed; tool-made fixtures skipped");
    if (m_exiftool.isEmpty())
        QSKIP("exiftool not installed; tool-made fixtures skipped");
    QVERIFY(m_tmp.isValid());
}

void TestPsdToolFixtures::imageMagickAndExiftool_data()
{
    QTest::addColumn<QStringList>("colours"); // canvas first, then one colour per layer
    QTest::addColumn<QString>("colourspace");
    QTest::addColumn<int>("depth");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("mode");
    const QStringList three{QStringLiteral("red"), QStringLiteral("blue"), QStringLiteral("green")};
    const QStringList two{QStringLiteral("gray"), QStringLiteral("white")};
    const QString rgb = QStringLiteral("sRGB");
    const QString grey = QStringLiteral("Gray");
    const QString cmyk = QStringLiteral("CMYK");
    const QString psd = QStringLiteral("psd");
    const QString psb = QStringLiteral("psb");
    // clang-format off
    QTest::newRow("PSD RGB 8-bit")   << three << rgb  << 8  << psd << 1 << 3;
    QTest::newRow("PSD RGB 16-bit")  << three << rgb  << 16 << psd << 1 << 3;
    QTest::newRow("PSB RGB 8-bit")   << three << rgb  << 8  << psb << 2 << 3;
    QTest::newRow("PSB RGB 16-bit")  << three << rgb  << 16 << psb << 2 << 3;
    QTest::newRow("PSD grey 8-bit")  << two   << grey << 8  << psd << 1 << 1;
    QTest::newRow("PSB grey 16-bit") << two   << grey << 16 << psb << 2 << 1;
    QTest::newRow("PSD CMYK 8-bit")  << three << cmyk << 8  << psd << 1 << 4;
    QTest::newRow("PSB CMYK 16-bit") << three << cmyk << 16 << psb << 2 << 4;
    // clang-format on
}

void TestPsdToolFixtures::imageMagickAndExiftool()
{
    QFETCH(QStringList, colours);
    QFETCH(QString, colourspace);
    QFETCH(int, depth);
    QFETCH(QString, suffix);
    QFETCH(int, version);
    QFETCH(int, mode);

    const QString name = QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_'));
    const QString made = m_tmp.filePath(name + QLatin1Char('.') + suffix);
    QStringList args{QStringLiteral("-size"), QStringLiteral("64x48"), QStringLiteral("xc:") + colours[0]};
    for (int i = 1; i < colours.size(); ++i) {
        const QString size = QString::number(24 - 6 * i);
        args << QStringLiteral("(") << QStringLiteral("-size") << size + QLatin1Char('x') + size
             << QStringLiteral("xc:") + colours[i] << QStringLiteral(")");
    }
    args << QStringLiteral("-colorspace") << colourspace << QStringLiteral("-depth") << QString::number(depth) << made;
    const ToolRun made1 = run(m_convert, args, m_tmp.path());
    QVERIFY2(made1.exitCode == 0, made1.output.constData());

    psd::Document doc;
    psd::Error err;
    QVERIFY2(psd::Document::openFile(made.toStdString(), doc, err), err.describe().c_str());
    QCOMPARE(int(doc.header().version), version);
    QCOMPARE(int(doc.header().depth), depth);
    QCOMPARE(int(doc.header().colorMode), mode);
    QCOMPARE(doc.header().width, std::uint32_t(64));
    QCOMPARE(doc.header().height, std::uint32_t(48));
    QCOMPARE(int(doc.layers().size()), int(colours.size()) - 1); // ImageMagick's first image is the composite
    const psd::StructureSignature before = doc.signature();

    // exiftool adds editing history; only the resources change, so the structure is the same.
    const ToolRun tagged = run(m_exiftool,
                               {QStringLiteral("-overwrite_original"), QStringLiteral("-XMP-xmpMM:HistoryAction=saved"),
                                QStringLiteral("-XMP-xmpMM:HistorySoftwareAgent=Leanfold test"),
                                QStringLiteral("-XMP-xmpMM:HistoryWhen=2024:05:06 07:08:09"), made},
                               m_tmp.path());
    QVERIFY2(tagged.exitCode == 0, tagged.output.constData());
    QVERIFY2(psd::Document::openFile(made.toStdString(), doc, err), err.describe().c_str());
    QVERIFY(doc.signature() == before);
    std::vector<std::uint8_t> packet;
    QVERIFY(doc.xmpPacket(packet, err));
    const std::string xmp = text(packet);
    const std::size_t open = xmp.find("<xmpMM:History>");
    const std::size_t close = xmp.find("</xmpMM:History>");
    QVERIFY2(open != std::string::npos && close != std::string::npos, xmp.c_str());

    // Cut the history out, write through a file sink, and let both tools read the result.
    const std::string cut = xmp.substr(0, open) + xmp.substr(close + std::strlen("</xmpMM:History>"));
    QVERIFY(doc.setResourceData(psd::Document::kXmpResourceId, std::vector<std::uint8_t>(cut.begin(), cut.end()), err));
    const QString out = m_tmp.filePath(name + QStringLiteral(".slim.") + suffix);
    {
        std::unique_ptr<psd::FileSink> sink;
        QVERIFY(psd::FileSink::create(out.toStdString(), sink, err));
        QVERIFY2(doc.write(*sink, err), err.describe().c_str());
        QVERIFY(sink->close(err));
    }
    psd::Document slim;
    QVERIFY2(psd::Document::openFile(out.toStdString(), slim, err), err.describe().c_str());
    QVERIFY(slim.signature() == before);

    const ToolRun history = run(m_exiftool,
                                {QStringLiteral("-s"), QStringLiteral("-XMP-xmpMM:all"), QStringLiteral("-Warning"),
                                 QStringLiteral("-Error"), out},
                                m_tmp.path());
    QCOMPARE(history.exitCode, 0);
    QVERIFY2(!history.output.contains("HistoryAction"), history.output.constData());
    QVERIFY2(!history.output.contains("Error"), history.output.constData());
    QVERIFY2(!history.output.contains("Warning"), history.output.constData());

    const ToolRun frames = run(m_identify, {out}, m_tmp.path());
    QVERIFY2(frames.exitCode == 0, frames.output.constData());
    QCOMPARE(int(frames.output.trimmed().split('\n').size()), int(colours.size()));
}

QTEST_APPLESS_MAIN(TestPsdToolFixtures)
#include "TestPsdToolFixtures.moc"
