// The pure parts of the worker: command line, job text, output fields and the names it gives files.
#include "engine/FileOps.h"
#include "worker/Job.h"
#include "worker/Protocol.h"
#include "engine/TextUtil.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

#include <filesystem>
#include <unistd.h>

class TestJobAndProtocol : public QObject {
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void jobParsing_data();
    void jobParsing();
    void jobPathsAreAbsoluteAndCanonical();
    void protocolField_data();
    void protocolField();
    void emitLines();
    void doneJson();
    void temporaryNames_data();
    void temporaryNames();
    void longStemsFitAName();
    void temporaryNameRecognition_data();
    void temporaryNameRecognition();
};

void TestJobAndProtocol::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("jobPath");
    // clang-format off
    QTest::newRow("job and path")        << QStringList{u"--job"_s, u"a.json"_s}          << true  << u"a.json"_s;
    QTest::newRow("job=path")            << QStringList{u"--job=b.json"_s}             << true  << u"b.json"_s;
    QTest::newRow("no arguments")        << QStringList{}                           << false << u""_s;
    QTest::newRow("job without path")    << QStringList{u"--job"_s}                    << false << u""_s;
    QTest::newRow("empty path")          << QStringList{u"--job="_s}                   << false << u""_s;
    QTest::newRow("help is no option")   << QStringList{u"--help"_s}                   << false << u""_s;
    QTest::newRow("stray argument")      << QStringList{u"--job"_s, u"a.json"_s, u"x.psd"_s} << false << u""_s;
    QTest::newRow("positional only")     << QStringList{u"a.json"_s}                   << false << u""_s;
    // clang-format on
}

void TestJobAndProtocol::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(bool, ok);
    QFETCH(QString, jobPath);
    std::vector<std::string> storage;
    for (const QString& a : args)
        storage.push_back(a.toStdString());
    std::vector<std::string_view> views(storage.begin(), storage.end());
    std::filesystem::path path;
    QCOMPARE(worker::parseCommandLine(views, path), ok);
    if (ok)
        QCOMPARE(QString::fromStdString(path.string()), jobPath);
}

void TestJobAndProtocol::jobParsing_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("fileCount");
    QTest::addColumn<bool>("deep");
    // clang-format off
    QTest::newRow("files and deep")       << QByteArray(R"({"files":["/a.psd","/b.psb"],"deep":true})") << true  << 2 << true;
    QTest::newRow("files missing")        << QByteArray(R"({"deep":false})")                          << true  << 0 << false;
    QTest::newRow("deep missing")         << QByteArray(R"({"files":["/a.psd"]})")                    << true  << 1 << false;
    QTest::newRow("empty object")         << QByteArray("{}")                                         << true  << 0 << false;
    QTest::newRow("other keys ignored")   << QByteArray(R"({"files":[],"x":[1,2],"y":{}})")           << true  << 0 << false;
    QTest::newRow("byte order mark")      << QByteArray("\xEF\xBB\xBF{\"files\":[\"/a.psd\"]}")      << true  << 1 << false;
    QTest::newRow("non-ASCII path")       << QByteArray(R"({"files":["/图层/海报.psd"]})")            << true  << 1 << false;
    QTest::newRow("not JSON")             << QByteArray("files: a.psd")                               << false << 0 << false;
    QTest::newRow("truncated")            << QByteArray(R"({"files":["/a.psd")")                      << false << 0 << false;
    QTest::newRow("empty text")           << QByteArray("")                                           << false << 0 << false;
    QTest::newRow("array at top")         << QByteArray(R"(["/a.psd"])")                              << false << 0 << false;
    QTest::newRow("files is a string")    << QByteArray(R"({"files":"/a.psd"})")                      << false << 0 << false;
    QTest::newRow("number entry")         << QByteArray(R"({"files":["/a.psd",7]})")                  << false << 0 << false;
    QTest::newRow("null entry")           << QByteArray(R"({"files":[null]})")                        << false << 0 << false;
    QTest::newRow("empty string entry")   << QByteArray(R"({"files":[""]})")                          << false << 0 << false;
    QTest::newRow("NUL inside a path")    << QByteArray(R"({"files":["/a\u0000.psd"]})")              << false << 0 << false;
    QTest::newRow("deep is a string")     << QByteArray(R"({"files":[],"deep":"yes"})")               << false << 0 << false;
    QTest::newRow("invalid UTF-8")        << QByteArray("{\"files\":[\"/a\xFF.psd\"]}")               << false << 0 << false;
    // clang-format on
}

void TestJobAndProtocol::jobParsing()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(int, fileCount);
    QFETCH(bool, deep);
    worker::Job job;
    job.deep = !deep; // must be overwritten on success and untouched on failure
    worker::WorkerError err;
    QCOMPARE(worker::parseJob(std::string_view(text.constData(), std::size_t(text.size())), job, err), ok);
    if (!ok) {
        QCOMPARE(err.type, std::string("JobError"));
        QVERIFY(!err.message.empty());
        return;
    }
    QCOMPARE(int(job.files.size()), fileCount);
    QCOMPARE(job.deep, deep);
    for (const auto& path : job.files)
        QVERIFY(path.is_absolute());
}

void TestJobAndProtocol::jobPathsAreAbsoluteAndCanonical()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString real = QDir(dir.path()).canonicalPath();
    QVERIFY(QDir(real).mkpath(QStringLiteral("sub")));
    QVERIFY(QFile::link(real + QStringLiteral("/sub"), real + QStringLiteral("/link")));
    const QString cwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(real + QStringLiteral("/sub")));
    const QByteArray text = R"({"files":["a.psd","../link/./b.psd","../sub/../sub/c.psd"]})";
    worker::Job job;
    worker::WorkerError err;
    const bool ok = worker::parseJob(std::string_view(text.constData(), std::size_t(text.size())), job, err);
    QDir::setCurrent(cwd);
    QVERIFY(ok);
    QCOMPARE(int(job.files.size()), 3);
    const std::string sub = (real + QStringLiteral("/sub/")).toStdString();
    QCOMPARE(job.files[0].string(), sub + "a.psd");
    QCOMPARE(job.files[1].string(), sub + "b.psd"); // the link is resolved
    QCOMPARE(job.files[2].string(), sub + "c.psd");
}

void TestJobAndProtocol::protocolField_data()
{
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");
    // clang-format off
    QTest::newRow("plain")                << QByteArray("a.psd")            << QByteArray("a.psd");
    QTest::newRow("line feed")            << QByteArray("a\nb.psd")         << QByteArray("a b.psd");
    QTest::newRow("carriage return")      << QByteArray("a\r\nb")           << QByteArray("a  b");
    QTest::newRow("tab kept")             << QByteArray("a\tb.psd")         << QByteArray("a\tb.psd");
    QTest::newRow("Chinese kept")         << QByteArray("海报.psd")          << QByteArray("海报.psd");
    QTest::newRow("stray byte")           << QByteArray("a\xFF.psd")        << QByteArray("a\xEF\xBF\xBD.psd");
    QTest::newRow("Latin-1 name")         << QByteArray("caf\xE9.psd")      << QByteArray("caf\xEF\xBF\xBD.psd");
    QTest::newRow("cut sequence at end")  << QByteArray("a\xE6\xB5")        << QByteArray("a\xEF\xBF\xBD\xEF\xBF\xBD");
    QTest::newRow("overlong slash")       << QByteArray("\xC0\xAF")         << QByteArray("\xEF\xBF\xBD\xEF\xBF\xBD");
    QTest::newRow("surrogate")            << QByteArray("\xED\xA0\x80")     << QByteArray("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    QTest::newRow("four-byte emoji")      << QByteArray("\xF0\x9F\x98\x80") << QByteArray("\xF0\x9F\x98\x80");
    QTest::newRow("above U+10FFFF")       << QByteArray("\xF4\x90\x80\x80") << QByteArray("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    // clang-format on
}

void TestJobAndProtocol::protocolField()
{
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, out);
    const std::string field = worker::protocolField(std::string_view(in.constData(), std::size_t(in.size())));
    QCOMPARE(QByteArray::fromStdString(field), out);
}

void TestJobAndProtocol::emitLines()
{
    std::ostringstream out;
    worker::ProtocolWriter writer(out);
    writer.progress(250, 500, "读取：a\nb.psd");
    writer.log("x\ty");
    writer.emitLine("PROGRESS", {"1", "2", "three", "four"});
    QCOMPARE(QByteArray::fromStdString(out.str()),
             QByteArray("PROGRESS\t250\t500\t读取：a b.psd\nLOG\tx\ty\nPROGRESS\t1\t2\tthree\tfour\n"));
}

void TestJobAndProtocol::doneJson()
{
    worker::RunTotals totals;
    totals.exported = 2;
    totals.failed = 1;
    totals.bytesSaved = -12345678901;
    totals.modifications = 7;
    QCOMPARE(QByteArray::fromStdString(worker::doneJson(totals)),
             QByteArray(R"({"exported":2,"skipped":0,"failed":1,"bytesSaved":-12345678901,"modifications":7})"));
}

void TestJobAndProtocol::temporaryNames_data()
{
    QTest::addColumn<QString>("original");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("backup");
    // clang-format off
    QTest::newRow("upper-case extension") << u"/w/Poster.PSD"_s    << u"/w/.Poster.psdslim_"_s     << u".psd"_s << u"/w/Poster.PSD.psdslim_backup"_s;
    QTest::newRow("PSB")                  << u"/w/big.Psb"_s       << u"/w/.big.psdslim_"_s        << u".psb"_s << u"/w/big.Psb.psdslim_backup"_s;
    QTest::newRow("two dots")             << u"/w/a.b.psd"_s       << u"/w/.a.b.psdslim_"_s        << u".psd"_s << u"/w/a.b.psd.psdslim_backup"_s;
    QTest::newRow("no extension")         << u"/w/noext"_s         << u"/w/.noext.psdslim_"_s      << u""_s     << u"/w/noext.psdslim_backup"_s;
    QTest::newRow("Chinese name")         << u"/w/海报.PSD"_s       << u"/w/.海报.psdslim_"_s        << u".psd"_s << u"/w/海报.PSD.psdslim_backup"_s;
    // clang-format on
    // A name is at most 255 bytes (NTFS counts UTF-16 units, never more than the UTF-8 bytes). A backup name that
    // would pass it keeps its suffix and cuts the original's name, adding a hash of the full name so that two long
    // names alike in their first 223 bytes never share a backup.
    const QString a236 = QString(236, u'a');
    const QString a237 = QString(237, u'a');
    const QString tu80 = QString(80, u'图');
    QTest::newRow("name of 240 bytes") << u"/w/"_s + a236 + u".psd"_s << u"/w/."_s + a236.left(229) + u".psdslim_"_s
                                       << u".psd"_s << u"/w/"_s + a236 + u".psd.psdslim_backup"_s;
    QTest::newRow("name of 241 bytes") << u"/w/"_s + a237 + u".psd"_s << u"/w/."_s + a237.left(229) + u".psdslim_"_s
                                       << u".psd"_s
                                       << u"/w/"_s + a237.left(223) + u"~fd6832c03b7efff9.psdslim_backup"_s;
    QTest::newRow("Chinese name of 244 bytes")
        << u"/w/"_s + tu80 + u".psd"_s << u"/w/."_s + tu80.left(76) + u".psdslim_"_s << u".psd"_s
        << u"/w/"_s + tu80.left(74) + u"~4118755cb962e76c.psdslim_backup"_s;
}

void TestJobAndProtocol::temporaryNames()
{
    QFETCH(QString, original);
    QFETCH(QString, prefix);
    QFETCH(QString, suffix);
    QFETCH(QString, backup);
    const std::filesystem::path path(original.toStdString());
    const std::string random = worker::files::randomPart();
    QCOMPARE(int(random.size()), int(worker::files::kRandomLength));
    const QString temp = QString::fromStdString((path.parent_path() / worker::files::temporaryName(path, random)).string());
    QCOMPARE(temp, prefix + QString::fromStdString(random) + suffix);
    QCOMPARE(QString::fromStdString(worker::files::backupPath(path).string()), backup);
    QVERIFY(worker::files::backupPath(path).filename().string().size() <= 255);
    QVERIFY(worker::files::isTemporaryNameOf(worker::files::temporaryName(path, random), path));
    QVERIFY(worker::files::randomPart() != random);
}

void TestJobAndProtocol::longStemsFitAName()
{
    // 84 three-byte characters: the original's own name is 252 + 4 bytes long, the temporary would be far longer.
    std::string stem;
    for (int i = 0; i < 84; ++i)
        stem += "\xE5\x9B\xBE";
    const std::filesystem::path path = std::filesystem::path("/w") / (stem + ".psd");
    const std::string name = worker::files::temporaryName(path, worker::files::randomPart());
    QVERIFY(name.size() <= 255);
    QCOMPARE(worker::toValidUtf8(name), name); // cut between characters, never inside one
    QVERIFY(name.ends_with(".psd"));
    QVERIFY(worker::files::isTemporaryNameOf(name, path));
}

void TestJobAndProtocol::temporaryNameRecognition_data()
{
    QTest::addColumn<QString>("original");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("belongs");
    // clang-format off
    QTest::newRow("its temporary")          << u"Poster.PSD"_s << u".Poster.psdslim_a1b2c3d4e5f6.psd"_s << true;
    QTest::newRow("other extension")        << u"Poster.PSD"_s << u".Poster.psdslim_a1b2c3d4e5f6.psb"_s << false;
    QTest::newRow("other stem")             << u"Poster.PSD"_s << u".Poster2.psdslim_a1b2c3d4e5f6.psd"_s << false;
    QTest::newRow("stem is a prefix")       << u"Post.psd"_s   << u".Poster.psdslim_a1b2c3d4e5f6.psd"_s << false;
    QTest::newRow("random part too short")  << u"Poster.PSD"_s << u".Poster.psdslim_a1b2.psd"_s          << false;
    QTest::newRow("random part upper case") << u"Poster.PSD"_s << u".Poster.psdslim_A1B2C3D4E5F6.psd"_s << false;
    QTest::newRow("the backup")             << u"Poster.PSD"_s << u"Poster.PSD.psdslim_backup"_s         << false;
    QTest::newRow("the original")           << u"Poster.PSD"_s << u"Poster.PSD"_s                        << false;
    // clang-format on
}

void TestJobAndProtocol::temporaryNameRecognition()
{
    QFETCH(QString, original);
    QFETCH(QString, name);
    QFETCH(bool, belongs);
    const std::filesystem::path path = std::filesystem::path("/w") / original.toStdString();
    QCOMPARE(worker::files::isTemporaryNameOf(name.toStdString(), path), belongs);
}

QTEST_APPLESS_MAIN(TestJobAndProtocol)
#include "TestJobAndProtocol.moc"
