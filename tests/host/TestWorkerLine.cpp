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
    void parseWorkerLine_data();
    void parseWorkerLine();
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
    // clang-format off
    QTest::newRow("one line")              << L{"LOG\ta\n"}                   << L{"LOG\ta"}               << QByteArray();
    QTest::newRow("two lines, one read")   << L{"LOG\ta\nLOG\tb\n"}           << L{"LOG\ta", "LOG\tb"}     << QByteArray();
    QTest::newRow("split inside a number") << L{"PROGRESS\t1", "25\t500\tx\n"} << L{"PROGRESS\t125\t500\tx"} << QByteArray();
    QTest::newRow("split at the line feed") << L{"LOG\ta", "\n"}               << L{"LOG\ta"}               << QByteArray();
    QTest::newRow("carriage return kept")  << L{"LOG\ta\r\n"}                 << L{"LOG\ta\r"}             << QByteArray();
    QTest::newRow("no final line feed")    << L{"LOG\ta\nDONE\t{}"}           << L{"LOG\ta"}               << QByteArray("DONE\t{}");
    QTest::newRow("empty lines")           << L{"\n\nLOG\ta\n"}               << L{"", "", "LOG\ta"}       << QByteArray();
    QTest::newRow("byte by byte")          << L{"L", "O", "G", "\t", "z", "\n"} << L{"LOG\tz"}             << QByteArray();
    QTest::newRow("nothing yet")           << L{"PROG"}                       << L{}                       << QByteArray("PROG");
    // clang-format on

    const QByteArray longest = "LOG\t" + QByteArray(kMaxLineBytes - 4, 'x');
    QTest::newRow("line exactly at the limit") << L{longest + "\nLOG\tb\n"} << L{longest, "LOG\tb"} << QByteArray();
    const QByteArray tooLong = longest + 'y';
    QTest::newRow("complete line over the limit") << L{tooLong + "\nLOG\tb\n"} << L{"LOG\tb"} << QByteArray();
    QTest::newRow("partial line over the limit, tail later")
        << L{tooLong, "DONE\t{\"exported\":1}\nLOG\tafter\n"} << L{"LOG\tafter"} << QByteArray();
    QTest::newRow("tail itself outgrows the limit")
        << L{tooLong, tooLong, "ITEM\tok\t/a.psd\nLOG\tafter\n"} << L{"LOG\tafter"} << QByteArray();
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

void TestWorkerLine::parseWorkerLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<WorkerLine::Kind>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("total");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("path");

    using K = WorkerLine::Kind;
    const QString none;
    // clang-format off
    QTest::newRow("log")                    << QByteArray("LOG\thello")            << true  << K::Log   << u"hello"_qs << 0 << 1 << none << none;
    QTest::newRow("log, fields joined")     << QByteArray("LOG\ta\tb\tc")           << true  << K::Log   << u"a  b  c"_qs << 0 << 1 << none << none;
    QTest::newRow("log without text")       << QByteArray("LOG")                    << true  << K::Log   << u""_qs << 0 << 1 << none << none;
    QTest::newRow("log, trailing tab lost") << QByteArray("LOG\ta\t")               << true  << K::Log   << u"a"_qs << 0 << 1 << none << none;
    QTest::newRow("log with CR LF")         << QByteArray("LOG\ta\r\n")             << true  << K::Log   << u"a"_qs << 0 << 1 << none << none;
    QTest::newRow("log, empty middle")      << QByteArray("LOG\ta\t\tb")            << true  << K::Log   << u"a    b"_qs << 0 << 1 << none << none;
    QTest::newRow("log, invalid UTF-8")     << QByteArray("LOG\tx\xff\xfey")        << true  << K::Log   << u"x\uFFFD\uFFFDy"_qs << 0 << 1 << none << none;
    QTest::newRow("log, Chinese")           << QByteArray("LOG\t\xe5\xae\x8c\xe6\x88\x90") << true << K::Log << u"完成"_qs << 0 << 1 << none << none;
    QTest::newRow("leading white space")    << QByteArray(" \t\vLOG\ta")            << true  << K::Log   << u"a"_qs << 0 << 1 << none << none;
    QTest::newRow("error")                  << QByteArray("ERROR\tbad\tjob")        << true  << K::Error << u"bad  job"_qs << 0 << 1 << none << none;
    QTest::newRow("progress")               << QByteArray("PROGRESS\t250\t500\tstep") << true << K::Progress << u"step"_qs << 250 << 500 << none << none;
    QTest::newRow("progress, text w/ tabs") << QByteArray("PROGRESS\t1\t2\ta\tb")   << true  << K::Progress << u"a  b"_qs << 1 << 2 << none << none;
    QTest::newRow("progress, empty text")   << QByteArray("PROGRESS\t1\t2\t\t")     << false << K::Log   << none << 0 << 1 << none << none;
    QTest::newRow("progress, three fields") << QByteArray("PROGRESS\t1\t2")         << false << K::Log   << none << 0 << 1 << none << none;
    QTest::newRow("progress, bad numbers")  << QByteArray("PROGRESS\tx\ty\tz")      << true  << K::Progress << u"z"_qs << 0 << 1 << none << none;
    QTest::newRow("progress, total 0")      << QByteArray("PROGRESS\t10\t0\tz")     << true  << K::Progress << u"z"_qs << 10 << 1 << none << none;
    QTest::newRow("progress, total < 0")    << QByteArray("PROGRESS\t10\t-5\tz")    << true  << K::Progress << u"z"_qs << 10 << 1 << none << none;
    QTest::newRow("progress, negative")     << QByteArray("PROGRESS\t-3\t9\tz")     << true  << K::Progress << u"z"_qs << -3 << 9 << none << none;
    QTest::newRow("progress, overflow")     << QByteArray("PROGRESS\t99999999999\t9\tz") << true << K::Progress << u"z"_qs << 0 << 9 << none << none;
    QTest::newRow("item")                   << QByteArray("ITEM\tok\t/a/b.psd")     << true  << K::Item  << none << 0 << 1 << u"ok"_qs << u"/a/b.psd"_qs;
    QTest::newRow("item, tab in path")      << QByteArray("ITEM\tok\t/a/x\ty.psd")  << true  << K::Item  << none << 0 << 1 << u"ok"_qs << u"/a/x\ty.psd"_qs;
    QTest::newRow("item, upper-case OK")    << QByteArray("ITEM\tOK\t/a.psd")       << true  << K::Item  << none << 0 << 1 << u"OK"_qs << u"/a.psd"_qs;
    QTest::newRow("item, two fields")       << QByteArray("ITEM\tok")               << false << K::Log   << none << 0 << 1 << none << none;
    QTest::newRow("done without JSON")      << QByteArray("DONE")                   << false << K::Log   << none << 0 << 1 << none << none;
    QTest::newRow("kind is case-sensitive") << QByteArray("log\ta")                 << false << K::Log   << none << 0 << 1 << none << none;
    QTest::newRow("unknown kind")           << QByteArray("WARN\ta")                << false << K::Log   << none << 0 << 1 << none << none;
    QTest::newRow("empty")                  << QByteArray("")                       << false << K::Log   << none << 0 << 1 << none << none;
    QTest::newRow("white space only")       << QByteArray(" \t\r\n\f\v")            << false << K::Log   << none << 0 << 1 << none << none;
    QTest::newRow("NUL-led line")           << QByteArray("\0LOG\ta", 6)            << false << K::Log   << none << 0 << 1 << none << none;
    // clang-format on
}

void TestWorkerLine::parseWorkerLine()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, accepted);

    const std::optional<WorkerLine> parsed = WorkerProtocol::parseWorkerLine(line);
    QCOMPARE(parsed.has_value(), accepted);
    if (!accepted)
        return;
    QFETCH(WorkerLine::Kind, kind);
    QFETCH(QString, text);
    QFETCH(int, current);
    QFETCH(int, total);
    QFETCH(QString, result);
    QFETCH(QString, path);
    QCOMPARE(parsed->kind, kind);
    QCOMPARE(parsed->text, text);
    QCOMPARE(parsed->current, current);
    QCOMPARE(parsed->total, total);
    QCOMPARE(parsed->result, result);
    QCOMPARE(parsed->path, path);
}

void TestWorkerLine::doneCounts_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("exported");
    QTest::addColumn<int>("skipped");
    QTest::addColumn<int>("failed");
    QTest::addColumn<qint64>("bytesSaved");

    // clang-format off
    QTest::newRow("worker's own form")
        << QByteArray(R"(DONE	{"exported":19,"skipped":0,"failed":1,"bytesSaved":123456789012,"modifications":40})")
        << 19 << 0 << 1 << qint64(123456789012);
    QTest::newRow("negative saving")   << QByteArray(R"(DONE	{"exported":1,"bytesSaved":-512})")     << 1 << 0 << 0 << qint64(-512);
    QTest::newRow("bad JSON")          << QByteArray(R"(DONE	{"exported":3,)")                        << 0 << 0 << 0 << qint64(0);
    QTest::newRow("not an object")     << QByteArray("DONE\t[1,2,3]")                                   << 0 << 0 << 0 << qint64(0);
    QTest::newRow("strings are not numbers") << QByteArray(R"(DONE	{"exported":"4","bytesSaved":"99"})") << 0 << 0 << 0 << qint64(0);
    QTest::newRow("huge double")       << QByteArray(R"(DONE	{"failed":1e300,"bytesSaved":1e300})")    << 0 << 0 << 0 << qint64(0);
    QTest::newRow("missing keys")      << QByteArray("DONE\t{}")                                        << 0 << 0 << 0 << qint64(0);
    // The JSON is joined back with a tab, so tabs between its tokens survive the split.
    QTest::newRow("tabs inside JSON")  << QByteArray("DONE\t{\"failed\":2,\t\"exported\":\t5}")        << 5 << 0 << 2 << qint64(0);
    // clang-format on
}

void TestWorkerLine::doneCounts()
{
    QFETCH(QByteArray, line);
    QFETCH(int, exported);
    QFETCH(int, skipped);
    QFETCH(int, failed);
    QFETCH(qint64, bytesSaved);

    const std::optional<WorkerLine> parsed = WorkerProtocol::parseWorkerLine(line);
    QVERIFY(parsed);
    QCOMPARE(parsed->kind, WorkerLine::Kind::Done);
    QCOMPARE(parsed->counts.exported, exported);
    QCOMPARE(parsed->counts.skipped, skipped);
    QCOMPARE(parsed->counts.failed, failed);
    QCOMPARE(parsed->counts.bytesSaved, bytesSaved);
}

QTEST_APPLESS_MAIN(TestWorkerLine)
#include "TestWorkerLine.moc"
