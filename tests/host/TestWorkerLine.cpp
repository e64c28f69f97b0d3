#include "page/WorkerLine.h"

#include <QTest>

using WorkerProtocol::DoneCounts;
using WorkerProtocol::kMaxLineBytes;
using WorkerProtocol::WorkerLine;

Q_DECLARE_METATYPE(WorkerLine::Kind)

class TestWorkerLine : public QObject
{
    Q_OBJECT

private slots:
    void takeCompleteLines_data();
    void takeCompleteLines();
    void overlongLineIsDroppedWhole();
    void textLines_data();
    void textLines();
    void progressLines_data();
    void progressLines();
    void itemLines_data();
    void itemLines();
    void ignoredLines_data();
    void ignoredLines();
    void doneCounts_data();
    void doneCounts();
};

namespace {

// Feeds the reads one after another, as readyReadStandardOutput would deliver them, and collects every line.
QList<QByteArray> feed(const QList<QByteArray>& reads, QByteArray& buffer)
{
    QList<QByteArray> lines;
    for (const QByteArray& read : reads) {
        buffer.append(read);
        lines += WorkerProtocol::takeCompleteLines(buffer);
    }
    return lines;
}

} // namespace

void TestWorkerLine::takeCompleteLines_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<QByteArray>("rest");

    using L = QList<QByteArray>;
    const QByteArray none;
    // clang-format off
    QTest::newRow("one line") << L{"LOG\ta\n"} << L{"LOG\ta"} << none;
    QTest::newRow("two lines, one read") << L{"LOG\ta\nLOG\tb\n"} << L{"LOG\ta", "LOG\tb"} << none;
    QTest::newRow("split inside a number") << L{"PROGRESS\t1", "25\t5\tx\n"} << L{"PROGRESS\t125\t5\tx"} << none;
    QTest::newRow("split at the line feed") << L{"LOG\ta", "\n"} << L{"LOG\ta"} << none;
    QTest::newRow("carriage return kept") << L{"LOG\ta\r\n"} << L{"LOG\ta\r"} << none;
    QTest::newRow("no final line feed") << L{"LOG\ta\nDONE\t{}"} << L{"LOG\ta"} << QByteArray("DONE\t{}");
    QTest::newRow("empty lines") << L{"\n\nLOG\ta\n"} << L{"", "", "LOG\ta"} << none;
    QTest::newRow("byte by byte") << L{"L", "O", "G", "\t", "z", "\n"} << L{"LOG\tz"} << none;
    QTest::newRow("nothing yet") << L{"PROG"} << L{} << QByteArray("PROG");
    // clang-format on

    const QByteArray longest = "LOG\t" + QByteArray(kMaxLineBytes - 4, 'x');
    QTest::newRow("line exactly at the limit") << L{longest + "\nLOG\tb\n"} << L{longest, "LOG\tb"} << none;
    const QByteArray tooLong = longest + 'y';
    QTest::newRow("complete line over the limit") << L{tooLong + "\nLOG\tb\n"} << L{"LOG\tb"} << none;
    QTest::newRow("partial line over the limit, tail later")
        << L{tooLong, "DONE\t{\"exported\":1}\nLOG\tafter\n"} << L{"LOG\tafter"} << none;
    QTest::newRow("tail itself outgrows the limit")
        << L{tooLong, tooLong, "ITEM\tok\t/a.psd\nLOG\tafter\n"} << L{"LOG\tafter"} << none;
}

void TestWorkerLine::takeCompleteLines()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QByteArray, rest);

    QByteArray buffer;
    QCOMPARE(feed(reads, buffer), lines);
    QCOMPARE(buffer, rest);
}

void TestWorkerLine::overlongLineIsDroppedWhole()
{
    // However much a worker writes without a line feed, the buffer stays bounded, and the text that finally ends
    // the runaway line is not read as a line of its own.
    QByteArray buffer;
    const QByteArray chunk(64 * 1024, 'a');
    QList<QByteArray> lines;
    for (int i = 0; i < 64; ++i) {
        buffer.append(chunk);
        lines += WorkerProtocol::takeCompleteLines(buffer);
        QVERIFY2(buffer.size() <= kMaxLineBytes, qPrintable(QString::number(buffer.size())));
    }
    buffer.append("\tDONE\t{}\nLOG\tnext\n");
    lines += WorkerProtocol::takeCompleteLines(buffer);
    QCOMPARE(lines, QList<QByteArray>{"LOG\tnext"});
    QVERIFY(buffer.isEmpty());
}

void TestWorkerLine::textLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<WorkerLine::Kind>("kind");
    QTest::addColumn<QString>("text");

    using K = WorkerLine::Kind;
    // clang-format off
    QTest::newRow("log")                    << QByteArray("LOG\thello")        << K::Log   << u"hello"_qs;
    QTest::newRow("log, fields joined")     << QByteArray("LOG\ta\tb\tc")      << K::Log   << u"a  b  c"_qs;
    QTest::newRow("log without text")       << QByteArray("LOG")               << K::Log   << u""_qs;
    QTest::newRow("log, trailing tab lost") << QByteArray("LOG\ta\t")          << K::Log   << u"a"_qs;
    QTest::newRow("log with CR LF")         << QByteArray("LOG\ta\r\n")        << K::Log   << u"a"_qs;
    QTest::newRow("log, empty middle")      << QByteArray("LOG\ta\t\tb")       << K::Log   << u"a    b"_qs;
    QTest::newRow("log, invalid UTF-8")     << QByteArray("LOG\tx\xff\xfey")   << K::Log   << u"x\uFFFD\uFFFDy"_qs;
    QTest::newRow("log, Chinese")           << QByteArray("LOG\t\xe5\xae\x8c\xe6\x88\x90") << K::Log << u"完成"_qs;
    QTest::newRow("leading white space")    << QByteArray(" \t\vLOG\ta")       << K::Log   << u"a"_qs;
    QTest::newRow("error")                  << QByteArray("ERROR\tbad\tjob")   << K::Error << u"bad  job"_qs;
    // clang-format on
}

void TestWorkerLine::textLines()
{
    QFETCH(QByteArray, line);
    QFETCH(WorkerLine::Kind, kind);
    QFETCH(QString, text);
    const std::optional<WorkerLine> parsed = WorkerProtocol::parseWorkerLine(line);
    QVERIFY(parsed);
    QCOMPARE(parsed->kind, kind);
    QCOMPARE(parsed->text, text);
}

void TestWorkerLine::progressLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("total");
    QTest::addColumn<QString>("text");

    // clang-format off
    QTest::newRow("progress")               << QByteArray("PROGRESS\t250\t500\tstep")     << 250 << 500 << u"step"_qs;
    QTest::newRow("text with tabs")         << QByteArray("PROGRESS\t1\t2\ta\tb")         << 1   << 2   << u"a  b"_qs;
    QTest::newRow("bad numbers")            << QByteArray("PROGRESS\tx\ty\tz")            << 0   << 1   << u"z"_qs;
    QTest::newRow("total 0")                << QByteArray("PROGRESS\t10\t0\tz")           << 10  << 1   << u"z"_qs;
    QTest::newRow("total below 0")          << QByteArray("PROGRESS\t10\t-5\tz")          << 10  << 1   << u"z"_qs;
    QTest::newRow("negative current")       << QByteArray("PROGRESS\t-3\t9\tz")           << -3  << 9   << u"z"_qs;
    QTest::newRow("current beyond int")     << QByteArray("PROGRESS\t99999999999\t9\tz")  << 0   << 9   << u"z"_qs;
    // clang-format on
}

void TestWorkerLine::progressLines()
{
    QFETCH(QByteArray, line);
    QFETCH(int, current);
    QFETCH(int, total);
    QFETCH(QString, text);
    const std::optional<WorkerLine> parsed = WorkerProtocol::parseWorkerLine(line);
    QVERIFY(parsed);
    QCOMPARE(parsed->kind, WorkerLine::Kind::Progress);
    QCOMPARE(parsed->current, current);
    QCOMPARE(parsed->total, total);
    QCOMPARE(parsed->text, text);
}

void TestWorkerLine::itemLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("path");

    // clang-format off
    QTest::newRow("item")              << QByteArray("ITEM\tok\t/a/b.psd")    << u"ok"_qs << u"/a/b.psd"_qs;
    QTest::newRow("tab in path")       << QByteArray("ITEM\tok\t/a/x\ty.psd") << u"ok"_qs << u"/a/x\ty.psd"_qs;
    QTest::newRow("upper-case OK")     << QByteArray("ITEM\tOK\t/a.psd")      << u"OK"_qs << u"/a.psd"_qs;
    QTest::newRow("two tabs in path")  << QByteArray("ITEM\tfail\t/a\t\tb")   << u"fail"_qs << u"/a\t\tb"_qs;
    // clang-format on
}

void TestWorkerLine::itemLines()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, result);
    QFETCH(QString, path);
    const std::optional<WorkerLine> parsed = WorkerProtocol::parseWorkerLine(line);
    QVERIFY(parsed);
    QCOMPARE(parsed->kind, WorkerLine::Kind::Item);
    QCOMPARE(parsed->result, result);
    QCOMPARE(parsed->path, path);
}

void TestWorkerLine::ignoredLines_data()
{
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("progress, empty text") << QByteArray("PROGRESS\t1\t2\t\t");
    QTest::newRow("progress, three fields") << QByteArray("PROGRESS\t1\t2");
    QTest::newRow("item, two fields") << QByteArray("ITEM\tok");
    QTest::newRow("done without JSON") << QByteArray("DONE");
    QTest::newRow("kind is case-sensitive") << QByteArray("log\ta");
    QTest::newRow("unknown kind") << QByteArray("WARN\ta");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("white space only") << QByteArray(" \t\r\n\f\v");
    QTest::newRow("NUL-led line") << QByteArray("\0LOG\ta", 6);
}

void TestWorkerLine::ignoredLines()
{
    QFETCH(QByteArray, line);
    QVERIFY(!WorkerProtocol::parseWorkerLine(line));
}

void TestWorkerLine::doneCounts_data()
{
    QTest::addColumn<QByteArray>("json"); // the fields after "DONE\t"
    QTest::addColumn<int>("exported");
    QTest::addColumn<int>("skipped");
    QTest::addColumn<int>("failed");
    QTest::addColumn<qint64>("bytesSaved");
    QTest::addColumn<bool>("wellFormed"); // counts a batch can be closed with

    // clang-format off
    QTest::newRow("worker's own form")
        << QByteArray(R"({"exported":19,"skipped":0,"failed":1,"bytesSaved":123456789012,"modifications":40})")
        << 19 << 0 << 1 << qint64(123456789012) << true;
    QTest::newRow("negative saving")
        << QByteArray(R"({"exported":1,"bytesSaved":-512})") << 1 << 0 << 0 << qint64(-512) << false;
    QTest::newRow("bad JSON") << QByteArray(R"({"exported":3,)") << 0 << 0 << 0 << qint64(0) << false;
    QTest::newRow("not an object") << QByteArray("[1,2,3]") << 0 << 0 << 0 << qint64(0) << false;
    QTest::newRow("strings are not numbers")
        << QByteArray(R"({"exported":"4","bytesSaved":"99"})") << 0 << 0 << 0 << qint64(0) << false;
    QTest::newRow("huge double")
        << QByteArray(R"({"failed":1e300,"bytesSaved":1e300})") << 0 << 0 << 0 << qint64(0) << false;
    QTest::newRow("missing keys") << QByteArray("{}") << 0 << 0 << 0 << qint64(0) << false;
    // The JSON is joined back with a tab, so tabs between its tokens survive the split.
    QTest::newRow("tabs inside JSON")
        << QByteArray("{\"failed\":2,\t\"exported\":\t5}") << 5 << 0 << 2 << qint64(0) << true;
    QTest::newRow("negative count")
        << QByteArray(R"({"exported":4,"failed":-1})") << 4 << 0 << -1 << qint64(0) << false;
    QTest::newRow("fractional counts")
        << QByteArray(R"({"exported":2.5,"failed":0.5})") << 0 << 0 << 0 << qint64(0) << false;
    QTest::newRow("count past int")
        << QByteArray(R"({"exported":4294967299,"failed":0})") << 0 << 0 << 0 << qint64(0) << false;
    QTest::newRow("negative skipped")
        << QByteArray(R"({"exported":1,"failed":0,"skipped":-1})") << 1 << -1 << 0 << qint64(0) << false;
    QTest::newRow("fractional saving")
        << QByteArray(R"({"exported":1,"failed":0,"bytesSaved":0.5})") << 1 << 0 << 0 << qint64(0) << false;
    QTest::newRow("no failed key")
        << QByteArray(R"({"exported":3})") << 3 << 0 << 0 << qint64(0) << false;
    QTest::newRow("zero files, no optional keys")
        << QByteArray(R"({"exported":0,"failed":0})") << 0 << 0 << 0 << qint64(0) << true;
    // clang-format on
}

void TestWorkerLine::doneCounts()
{
    QFETCH(QByteArray, json);
    QFETCH(int, exported);
    QFETCH(int, skipped);
    QFETCH(int, failed);
    QFETCH(qint64, bytesSaved);
    QFETCH(bool, wellFormed);

    const std::optional<WorkerLine> parsed = WorkerProtocol::parseWorkerLine("DONE\t" + json);
    QVERIFY(parsed);
    QCOMPARE(parsed->kind, WorkerLine::Kind::Done);
    QCOMPARE(parsed->counts.exported, exported);
    QCOMPARE(parsed->counts.skipped, skipped);
    QCOMPARE(parsed->counts.failed, failed);
    QCOMPARE(parsed->counts.bytesSaved, bytesSaved);
    QCOMPARE(parsed->counts.wellFormed, wellFormed);
}

QTEST_APPLESS_MAIN(TestWorkerLine)
#include "TestWorkerLine.moc"
