#include "psd/xmp/XmpCleaner.h"

#include <QtTest>

#include <expat.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace psd::xmp;

namespace {

// The test reads packets with its own expat pass rather than through the cleaner, and names the two removed
// elements in full. The namespace separator is a character XML text cannot hold (a space could be in a URI).
const std::string kHistory = "http://ns.adobe.com/xap/1.0/mm/\x02" "History";
const std::string kAncestors = "http://ns.adobe.com/photoshop/1.0/\x02" "DocumentAncestors";

bool isRemovable(const std::string& name)
{
    return name == kHistory || name == kAncestors;
}

struct Element {
    std::string name; // "uri\x02local", or "local" without a namespace
    std::size_t depth = 0;
    std::size_t begin = 0; // byte index of the start tag
};

struct Listing {
    bool wellFormed = false;
    std::vector<Element> elements;

    // Elements of the removal set that have a parent, nested ones included.
    int removable() const
    {
        int n = 0;
        for (const Element& e : elements)
            n += e.depth > 1 && isRemovable(e.name);
        return n;
    }
};

Listing listElements(std::string_view data)
{
    // Same as the cleaner: NUL padding after a packet in UTF-8 (or another ASCII-compatible encoding) is no XML.
    const bool wide = data.size() >= 2 && (data[0] == '\0' || data[1] == '\0' || data.starts_with("\xFE\xFF") ||
                                           data.starts_with("\xFF\xFE"));
    const std::size_t last = data.find_last_not_of('\0');
    if (!wide)
        data = last == std::string_view::npos ? std::string_view{} : data.substr(0, last + 1);

    struct State {
        XML_Parser parser;
        Listing listing;
        std::size_t depth = 0;
    } state{XML_ParserCreateNS(nullptr, '\x02'), {}, 0};
    XML_SetUserData(state.parser, &state);
    XML_SetElementHandler(
        state.parser,
        [](void* user, const XML_Char* name, const XML_Char**) {
            auto* s = static_cast<State*>(user);
            s->listing.elements.push_back({name, ++s->depth, std::size_t(XML_GetCurrentByteIndex(s->parser))});
        },
        [](void* user, const XML_Char*) { --static_cast<State*>(user)->depth; });
    state.listing.wellFormed = XML_Parse(state.parser, data.data(), int(data.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(state.parser);
    return state.listing;
}

// A fixture marks what the cleaner must cut with "[-" and "-]": the input is the text without the marks, the
// expected output the text without the marked parts, and the marks give the expected ranges (marks that touch,
// "-][-", are one range).
struct Marked {
    QByteArray input;
    QByteArray expected;
    std::vector<ByteRange> ranges;
};

Marked splitMarks(const QByteArray& marked)
{
    Marked m;
    qsizetype pos = 0;
    while (pos < marked.size()) {
        const qsizetype open = marked.indexOf("[-", pos);
        if (open < 0)
            break;
        const qsizetype close = marked.indexOf("-]", open + 2);
        Q_ASSERT(close > open);
        m.input += marked.mid(pos, open - pos);
        m.expected += marked.mid(pos, open - pos);
        const auto begin = std::uint64_t(m.input.size());
        m.input += marked.mid(open + 2, close - open - 2);
        if (!m.ranges.empty() && m.ranges.back().end == begin)
            m.ranges.back().end = std::uint64_t(m.input.size());
        else
            m.ranges.push_back({begin, std::uint64_t(m.input.size())});
        pos = close + 2;
    }
    m.input += marked.mid(pos);
    m.expected += marked.mid(pos);
    return m;
}

std::string_view view(const QByteArray& bytes)
{
    return {bytes.constData(), std::size_t(bytes.size())};
}

const char* const kOpen = "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
                          "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\" x:xmptk=\"Adobe XMP Core 5.6-c140\">\n"
                          "   <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n";
const char* const kClose = "   </rdf:RDF>\n"
                           "</x:xmpmeta>\n"
                           "                                                                    \n"
                           "<?xpacket end=\"w\"?>";

// rdf:Description with the usual namespaces, its body, and the packet around it.
QByteArray packet(const QByteArray& body, const QByteArray& extraNamespaces = {})
{
    return QByteArray(kOpen) +
           "      <rdf:Description rdf:about=\"\"\n"
           "            xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"\n"
           "            xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\"\n"
           "            xmlns:stEvt=\"http://ns.adobe.com/xap/1.0/sType/ResourceEvent#\"\n"
           "            xmlns:photoshop=\"http://ns.adobe.com/photoshop/1.0/\"" +
           extraNamespaces + ">\n" + body + "      </rdf:Description>\n" + kClose;
}

const char* const kHistoryElement = "         <xmpMM:History>\n"
                                    "            <rdf:Seq>\n"
                                    "               <rdf:li rdf:parseType=\"Resource\">\n"
                                    "                  <stEvt:action>saved</stEvt:action>\n"
                                    "                  <stEvt:when>2020-01-01T10:00:00+01:00</stEvt:when>\n"
                                    "               </rdf:li>\n"
                                    "            </rdf:Seq>\n"
                                    "         </xmpMM:History>";

QByteArray utf16(const char* text, bool bigEndian)
{
    QByteArray bytes;
    for (const QChar c : QString::fromUtf8(text)) {
        const char low = char(c.unicode() & 0xFF), high = char(c.unicode() >> 8);
        bytes += bigEndian ? high : low;
        bytes += bigEndian ? low : high;
    }
    return bytes;
}

QByteArray ancestors(int items)
{
    QByteArray a = "         <photoshop:DocumentAncestors>\n            <rdf:Bag>\n";
    for (int i = 0; i < items; ++i)
        a += "               <rdf:li>xmp.did:" + QByteArray::number(i).rightJustified(8, '0') + "</rdf:li>\n";
    return a + "            </rdf:Bag>\n         </photoshop:DocumentAncestors>";
}

} // namespace

class TestXmpCleaner : public QObject
{
    Q_OBJECT

private slots:
    void clean_data();
    void clean();
    void chunks_data() { clean_data(); }
    void chunks();
    void skip_data();
    void skip();
    void allocationFailures_data() { clean_data(); }
    void allocationFailures();
    void truncatedPacketsNeverYieldBrokenOutput();
    void corpus();
};

void TestXmpCleaner::clean_data()
{
    QTest::addColumn<QByteArray>("marked");
    QTest::addColumn<XmpOutcome>("outcome");
    QTest::addColumn<int>("removed");

    const QByteArray creator = "         <xmp:CreatorTool>Adobe Photoshop 24.0 (Windows)</xmp:CreatorTool>\n";
    const QByteArray history = QByteArray("[-\n") + kHistoryElement + "-]";

    // clang-format off
    QTest::newRow("usual prefixes") << packet(creator.chopped(1) + history + "[-\n" + ancestors(3) + "-]\n")
        << XmpOutcome::Cleaned << 2;
    QTest::newRow("other prefixes bound to the removal URIs")
        << packet(creator.chopped(1) +
                  "[-\n         <mm:History><rdf:Seq/></mm:History>-]"
                  "[-\n         <ps:DocumentAncestors><rdf:Bag><rdf:li>a</rdf:li></rdf:Bag></ps:DocumentAncestors>-]\n",
                  " xmlns:mm=\"http://ns.adobe.com/xap/1.0/mm/\" xmlns:ps=\"http://ns.adobe.com/photoshop/1.0/\"")
        << XmpOutcome::Cleaned << 2;
    QTest::newRow("older xapMM prefix")
        << packet(creator.chopped(1) + "[-\n         <xapMM:History/>-]\n",
                  " xmlns:xapMM=\"http://ns.adobe.com/xap/1.0/mm/\"")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("namespace declared on the removed element")
        << packet(creator.chopped(1) + "[-\n         <h:History xmlns:h=\"http://ns.adobe.com/xap/1.0/mm/\"/>-]\n")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("usual prefixes bound to other URIs are kept")
        << packet(creator + "         <m:History><rdf:Seq/></m:History>\n"
                            "         <p:DocumentAncestors><rdf:Bag/></p:DocumentAncestors>\n",
                  " xmlns:m=\"http://ns.adobe.com/xap/1.0/mm\" xmlns:p=\"http://ns.adobe.com/Photoshop/1.0/\"")
        << XmpOutcome::NothingToRemove << 0;
    QTest::newRow("default namespace")
        << packet(creator.chopped(1) +
                  "[-\n         <History xmlns=\"http://ns.adobe.com/xap/1.0/mm/\">"
                  "<rdf:Seq><rdf:li>x</rdf:li></rdf:Seq></History>-]\n"
                  "         <Other xmlns=\"http://ns.adobe.com/xap/1.0/mm/\"><History xmlns=\"\"/></Other>\n")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("space inside another namespace URI")
        << packet(creator.chopped(1) + "[-\n         <xmpMM:History/>-]\n",
                  " xmlns:dc=\"http://purl.org/dc/ elements/\"")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("History in other namespaces is kept")
        << packet(creator + "         <photoshop:History/>\n         <xmp:History>a</xmp:History>\n"
                            "         <xmpMM:history/>\n         <photoshop:DocumentAncestor/>\n")
        << XmpOutcome::NothingToRemove << 0;
    QTest::newRow("nested rdf:Description")
        << packet(creator + "         <xmpMM:DerivedFrom>\n            <rdf:Description>"
                            "[-\n               <xmpMM:History><rdf:Seq/></xmpMM:History>-]\n"
                            "            </rdf:Description>\n         </xmpMM:DerivedFrom>\n")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("several Descriptions each with a History")
        << QByteArray(kOpen) +
           "      <rdf:Description rdf:about=\"\" xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\">[-\n"
           "         <xmpMM:History/>-]\n      </rdf:Description>\n"
           "      <rdf:Description rdf:about=\"\" xmlns:a=\"http://ns.adobe.com/xap/1.0/mm/\">[-\n"
           "         <a:History><rdf:Seq/></a:History>-]\n      </rdf:Description>\n"
           "      <rdf:Description rdf:about=\"\" xmlns:photoshop=\"http://ns.adobe.com/photoshop/1.0/\""
           " xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\">[-\n"
           "         <photoshop:DocumentAncestors/>-][-\n"
           "         <xmpMM:History>\n         </xmpMM:History>-]\n      </rdf:Description>\n" + kClose
        << XmpOutcome::Cleaned << 4;
    QTest::newRow("empty-element forms")
        << packet(creator.chopped(1) + "[-\n         <xmpMM:History/>-]"
                                       "[-\n         <photoshop:DocumentAncestors />-]\n")
        << XmpOutcome::Cleaned << 2;
    QTest::newRow("attribute form is kept")
        << QByteArray(kOpen) +
           "      <rdf:Description rdf:about=\"\" xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\""
           " xmlns:photoshop=\"http://ns.adobe.com/photoshop/1.0/\" xmpMM:History=\"\""
           " photoshop:DocumentAncestors=\"x\"/>\n" + kClose
        << XmpOutcome::NothingToRemove << 0;
    QTest::newRow("attribute kept beside a removed element")
        << packet(creator.chopped(1) + "[-\n         <xmpMM:History/>-]\n", " xmpMM:History=\"\"")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("History nested in History counts once")
        << packet(creator.chopped(1) +
                  "[-\n         <xmpMM:History><xmpMM:History/><xmpMM:History/></xmpMM:History>-]\n")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("root element in the removal set stays, its children go")
        << QByteArray("<xmpMM:History xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\">"
                      "[-\n  <xmpMM:History/>-]\n</xmpMM:History>")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("CRLF line ends")
        << QByteArray(kOpen).replace("\n", "\r\n") +
           "<rdf:Description rdf:about=\"\" xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\">\r\n"
           "  <xmpMM:DocumentID>a</xmpMM:DocumentID>"
           "[-\r\n  <xmpMM:History>\r\n    <rdf:Seq/>\r\n  </xmpMM:History>-]\r\n"
           "</rdf:Description>\r\n" + QByteArray(kClose).replace("\n", "\r\n")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("CR line ends")
        << QByteArray("<r xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\">\r  <a/>[-\r  <xmpMM:History/>-]\r</r>")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("tabs")
        << QByteArray("<r xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\">\n\t<a/>[-\n\t\t \t<xmpMM:History/>-]\n</r>")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("first child of its parent")
        << QByteArray("<r xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\">[-\n  <xmpMM:History/>-]\n  <a/>\n</r>")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("next to text only the element goes")
        << QByteArray("<r xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\">"
                      "text\n  [-<xmpMM:History/>-] more [-<xmpMM:History/>-]\n</r>")
        << XmpOutcome::Cleaned << 2;
    QTest::newRow("same line as the previous element")
        << QByteArray("<r xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\">\n  <a/> [-<xmpMM:History/>-]\n</r>")
        << XmpOutcome::Cleaned << 1;
    for (const bool bigEndian : {false, true}) {
        QTest::addRow("UTF-16%s: element cut alone, NUL bytes are text", bigEndian ? "BE" : "LE")
            << (bigEndian ? "\xFE\xFF" : "\xFF\xFE") +
                   utf16("<r xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\">\n  <a/>\n  ", bigEndian) +
               "[-" + utf16("<xmpMM:History>\u00e9</xmpMM:History>", bigEndian) + "-]" + utf16("\n</r>", bigEndian)
            << XmpOutcome::Cleaned << 1;
    }
    QTest::newRow("BOM before the packet")
        << "\xEF\xBB\xBF" + packet(creator.chopped(1) + history + "\n")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("trailing NULs")
        << packet(creator.chopped(1) + history + "\n") + QByteArray(37, '\0')
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("XML declaration is kept")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + packet(creator.chopped(1) + history + "\n")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("markup in comments and CDATA is kept")
        << packet(creator + "         <!-- <xmpMM:History/> -->\n"
                            "         <xmp:Label><![CDATA[<xmpMM:History/>]]></xmp:Label>\n")
        << XmpOutcome::NothingToRemove << 0;
    QTest::newRow("DOCTYPE with internal entities")
        << "<!DOCTYPE x:xmpmeta [<!ENTITY who \"Someone\"><!ENTITY n \"<xmpMM:Note>n</xmpMM:Note>\">]>\n" +
           packet(creator + "         <xmp:Author>&who;</xmp:Author>\n         &n;\n"
                            "         <xmp:Rating>1</xmp:Rating>" +
                  history + "\n")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("external entity is neither read nor dropped")
        << "<!DOCTYPE x:xmpmeta [<!ENTITY ext SYSTEM \"file:///etc/hostname\">]>\n" +
           packet(creator + "         <xmp:Author>&ext;</xmp:Author>" + history + "\n")
        << XmpOutcome::Cleaned << 1;
    QTest::newRow("History produced by an entity")
        << "<!DOCTYPE x:xmpmeta [<!ENTITY h \"<xmpMM:History/>\">]>\n" + packet(creator + "         &h;\n")
        << XmpOutcome::Unsupported << 0;
    QTest::newRow("entity expansion bomb")
        << QByteArray("<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">"
                      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
                      "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
                      "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
                      "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
                      "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">]>"
                      "<r xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\"><xmpMM:History/>&f;</r>")
        << XmpOutcome::NotWellFormed << 0;
    QTest::newRow("mismatched tag") << packet(QByteArray(kHistoryElement).replace("</rdf:Seq>", "</rdf:Bag>") + "\n")
                                    << XmpOutcome::NotWellFormed << 0;
    QTest::newRow("unbound prefix") << QByteArray("<r><xmpMM:History/></r>") << XmpOutcome::NotWellFormed << 0;
    QTest::newRow("cut short") << packet(QByteArray(kHistoryElement) + "\n").chopped(130)
                               << XmpOutcome::NotWellFormed << 0;
    QTest::newRow("NUL inside") << packet(QByteArray(kHistoryElement).replace("saved", QByteArray("sa\0ed", 5)) + "\n")
                                << XmpOutcome::NotWellFormed << 0;
    QTest::newRow("junk before the packet") << "\x01\x02junk" + packet(QByteArray(kHistoryElement) + "\n")
                                            << XmpOutcome::NotWellFormed << 0;
    QTest::newRow("only NULs") << QByteArray(16, '\0') << XmpOutcome::NotWellFormed << 0;
    QTest::newRow("empty") << QByteArray() << XmpOutcome::NothingToRemove << 0;
    QTest::newRow("5000 DocumentAncestors items")
        << packet(creator.chopped(1) + "[-\n" + ancestors(5000) + "-]" + history + "\n")
        << XmpOutcome::Cleaned << 2;
    // clang-format on

    QByteArray many = QByteArray(kOpen);
    for (int i = 0; i < 3000; ++i)
        many += "      <rdf:Description rdf:about=\"\" xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\"\n"
                "            xmlns:stEvt=\"http://ns.adobe.com/xap/1.0/sType/ResourceEvent#\">\n"
                "         <xmpMM:InstanceID>" + QByteArray::number(i) + "</xmpMM:InstanceID>[-\n" +
                kHistoryElement + "-]\n      </rdf:Description>\n";
    QTest::newRow("3000 Descriptions each with a History") << many + kClose << XmpOutcome::Cleaned << 3000;

    const int depth = 100000;
    QByteArray deep = "<r xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\">";
    for (int i = 0; i < depth; ++i)
        deep += "<a>";
    deep += "[-<xmpMM:History/>-]";
    for (int i = 0; i < depth; ++i)
        deep += "</a>";
    QTest::newRow("History 100000 levels deep") << deep + "</r>" << XmpOutcome::Cleaned << 1;
}

void TestXmpCleaner::clean()
{
    QFETCH(QByteArray, marked);
    QFETCH(XmpOutcome, outcome);
    QFETCH(int, removed);
    const Marked m = splitMarks(marked);

    XmpCleanResult result;
    XmpError error;
    const bool examined = cleanXmpPacket(view(m.input), result, error);

    QVERIFY2(result.outcome == outcome,
             (std::string(xmpOutcomeName(result.outcome)) + " instead of " + xmpOutcomeName(outcome) + ": " +
              error.message).c_str());
    QCOMPARE(examined, outcome == XmpOutcome::Cleaned || outcome == XmpOutcome::NothingToRemove);
    QCOMPARE(result.removedElements, std::size_t(removed));
    QCOMPARE(error.message.empty(), examined);
    if (outcome != XmpOutcome::Cleaned) {
        QVERIFY(result.packet.empty());
        QVERIFY(result.removedRanges.empty());
        return;
    }
    QCOMPARE(QByteArray::fromStdString(result.packet), m.expected);
    QVERIFY(result.removedRanges == m.ranges);
    QCOMPARE(result.removedBytes(), std::uint64_t(m.input.size() - m.expected.size()));

    const Listing before = listElements(view(m.input));
    const Listing after = listElements(result.packet);
    QVERIFY(before.wellFormed);
    QVERIFY(after.wellFormed);
    QCOMPARE(after.removable(), 0);

    // One more cut than the bound allows is a failure to clean, not a packet kept as malformed.
    XmpCleanOptions bounded;
    bounded.maxRanges = result.removedRanges.size() - 1;
    XmpCleanResult refused;
    QVERIFY(!cleanXmpPacket(view(m.input), refused, error, bounded));
    QCOMPARE(refused.outcome, XmpOutcome::OutOfMemory);
}

// Any chunk size finds the same cuts, with the content of removed elements skipped where it can be or all of it
// parsed; a token, a name or a line break split between chunks changes nothing, nor does the message of an error.
void TestXmpCleaner::chunks()
{
    QFETCH(QByteArray, marked);
    QFETCH(XmpOutcome, outcome);
    const Marked m = splitMarks(marked);
    for (const std::size_t chunk : {1, 2, 3, 7, 64, 4093}) {
        if (chunk < 7 && m.input.size() > 200000)
            continue; // a million calls into the parser say no more than a thousand
        std::string messages[2];
        for (const bool skip : {true, false}) {
            const QString label = QStringLiteral("chunk %1, skip %2").arg(chunk).arg(skip);
            XmpCleanOptions options;
            options.chunkSize = chunk;
            options.skipSimpleContent = skip;
            XmpCleanResult result;
            XmpError error;
            cleanXmpPacket(view(m.input), result, error, options);
            QVERIFY2(result.outcome == outcome, qPrintable(label));
            QVERIFY2(result.removedRanges == m.ranges, qPrintable(label));
            messages[skip] = std::to_string(error.offset) + ' ' + error.message;
        }
        QCOMPARE(messages[true], messages[false]);
    }
}

// Content skipped without the parser: where it has the simple form the skip accepts, the parser is spared it;
// anything else inside (or around) a removed element makes the skip decline, so that the parser judges it. In
// every row the result, and the error, are the same with and without the skip.
void TestXmpCleaner::skip_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("extraNamespaces");
    QTest::addColumn<XmpOutcome>("outcome");
    QTest::addColumn<bool>("skipped");

    const QByteArray open = "<photoshop:DocumentAncestors>\n<rdf:Bag>\n<rdf:li>a1</rdf:li>\n";
    const QByteArray close = "\n</rdf:Bag>\n</photoshop:DocumentAncestors>\n";
    const auto with = [&](const QByteArray& item) { return open + item + close; };
    const QByteArray none;
    // clang-format off
    QTest::newRow("plain items") << with("<rdf:li>b2</rdf:li>") << none << XmpOutcome::Cleaned << true;
    QTest::newRow("empty items, space in tags") << with("<rdf:li/><rdf:li />\t<rdf:li></rdf:li  >") << none << XmpOutcome::Cleaned << true;
    QTest::newRow("nested bags") << with("<rdf:li><rdf:Bag><rdf:li>c</rdf:li></rdf:Bag></rdf:li>") << none << XmpOutcome::Cleaned << true;
    QTest::newRow("unprefixed items") << with("<li>x</li>") << none << XmpOutcome::Cleaned << true;
    QTest::newRow("prefix bound on the removed element")
        << QByteArray("<photoshop:DocumentAncestors xmlns:q=\"urn:q\">\n<q:li>x</q:li>\n</photoshop:DocumentAncestors>\n") << none << XmpOutcome::Cleaned << false;
    QTest::newRow("prefix bound on the Description") << with("<q:li>x</q:li>") << QByteArray(" xmlns:q=\"urn:q\"") << XmpOutcome::Cleaned << true;
    QTest::newRow("CR LF in items") << with("<rdf:li>\r\nx\r</rdf:li>\r\n") << none << XmpOutcome::Cleaned << true;
    QTest::newRow("History events") << QByteArray(kHistoryElement) + "\n" << none << XmpOutcome::Cleaned << true;
    QTest::newRow("events as attributes") << with("<rdf:li\n stEvt:action=\"saved\"\n stEvt:when='2020-01-01'/>") << none << XmpOutcome::Cleaned << true;
    QTest::newRow("> in a value, quotes, space around =") << with("<rdf:li a = 'x>\"y' b=\"'\"/>") << none << XmpOutcome::Cleaned << true;

    QTest::newRow("unbound prefix") << with("<zz:li>x</zz:li>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("prefix xml") << with("<xml:li>x</xml:li>") << none << XmpOutcome::Cleaned << false;
    QTest::newRow("mismatched end tag") << with("<rdf:li>x</rdf:lj>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("end tag of the outer element") << with("<rdf:li>x</rdf:Bag>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("two colons") << with("<rdf:l:i>x</rdf:l:i>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("name starting with a digit") << with("<rdf:1i>x</rdf:1i>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("control character") << with("<rdf:li>x\x01</rdf:li>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("invalid UTF-8") << with("<rdf:li>x\xFF</rdf:li>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("UTF-8 text") << with("<rdf:li>\xC3\xA9t\xC3\xA9</rdf:li>") << none << XmpOutcome::Cleaned << false;
    QTest::newRow("]]> in text") << with("<rdf:li>x]]>y</rdf:li>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("> in text") << with("<rdf:li>x>y</rdf:li>") << none << XmpOutcome::Cleaned << false;
    QTest::newRow("predefined entity") << with("<rdf:li>x&amp;y</rdf:li>") << none << XmpOutcome::Cleaned << false;
    QTest::newRow("undefined entity") << with("<rdf:li>x&bogus;y</rdf:li>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("attribute") << with("<rdf:li a=\"1\">x</rdf:li>") << none << XmpOutcome::Cleaned << true;
    QTest::newRow("duplicate attribute") << with("<rdf:li a=\"1\" a=\"2\"/>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("one attribute through two prefixes")
        << with("<rdf:li p:a=\"1\" q:a=\"2\"/>") << QByteArray(" xmlns:p=\"urn:s\" xmlns:q=\"urn:s\"") << XmpOutcome::NotWellFormed << false;
    QTest::newRow("same local name in two namespaces") << with("<rdf:li rdf:a=\"1\" stEvt:a=\"2\"/>") << none << XmpOutcome::Cleaned << false;
    QTest::newRow("attribute with an unbound prefix") << with("<rdf:li zz:a=\"1\"/>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("namespace declared on an item") << with("<rdf:li xmlns:z=\"urn:z\"><z:b/></rdf:li>") << none << XmpOutcome::Cleaned << false;
    QTest::newRow("default namespace undeclared on an item") << with("<rdf:li xmlns=\"\"/>") << none << XmpOutcome::Cleaned << false;
    QTest::newRow("no space between attributes") << with("<rdf:li a=\"1\"b=\"2\"/>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("< in a value") << with("<rdf:li a=\"x<y\"/>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("unquoted value") << with("<rdf:li a=1/>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("value not closed") << with("<rdf:li a=\"1/>") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("reference in a value") << with("<rdf:li a=\"&amp;\"/>") << none << XmpOutcome::Cleaned << false;
    QTest::newRow("xml:lang") << with("<rdf:li xml:lang=\"x-default\">t</rdf:li>") << none << XmpOutcome::Cleaned << false;
    QTest::newRow("end tag in a comment")
        << with("<!-- </photoshop:DocumentAncestors> -->") << none << XmpOutcome::Cleaned << false;
    QTest::newRow("end tag in CDATA")
        << with("<rdf:li><![CDATA[</photoshop:DocumentAncestors>]]></rdf:li>") << none << XmpOutcome::Cleaned << false;
    QTest::newRow("processing instruction") << with("<?pi </photoshop:DocumentAncestors>?>") << none << XmpOutcome::Cleaned << false;
    QTest::newRow("start tag in a comment before it")
        << QByteArray("<!-- <photoshop:DocumentAncestors> -->\n") + with({}) << none << XmpOutcome::Cleaned << true;
    QTest::newRow("start tag in an attribute value")
        << QByteArray("<xmp:Label x=\"<photoshop:DocumentAncestors>\"/>\n") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("unclosed item") << with("<rdf:li>x") << none << XmpOutcome::NotWellFormed << false;
    QTest::newRow("33 levels deep")
        << with(QByteArray("<a>").repeated(33) + QByteArray("</a>").repeated(33)) << none << XmpOutcome::Cleaned << false;
    // Each chunk is searched once: a hundred thousand look-alikes cost no more than their bytes.
    QTest::newRow("100000 look-alike start tags")
        << QByteArray("<o:History>x</o:History>\n").repeated(100000) + with({}) << QByteArray(" xmlns:o=\"urn:o\"")
        << XmpOutcome::Cleaned << true;
    // Many removed elements one after another are one cut: what is read for each must be paid by its own bytes,
    // not a window of the rest of the packet (the skip) or a block before it (the look for its indentation).
    const QByteArray items = QByteArray("<rdf:li>0123456789abcdef0123456789abcdef</rdf:li>\n").repeated(40);
    QTest::newRow("300 removed elements, end tags with a space")
        << QByteArray("<photoshop:DocumentAncestors><rdf:Bag>\n" + items +
                      "</rdf:Bag></photoshop:DocumentAncestors >\n").repeated(300)
        << none << XmpOutcome::Cleaned << true;
    QTest::newRow("1100 removed elements over three windows of the skip")
        << QByteArray("<xmpMM:History>\n<rdf:Seq>\n" + items + "</rdf:Seq>\n</xmpMM:History>\n").repeated(1100)
        << none << XmpOutcome::Cleaned << true;
    QTest::newRow("3000 empty removed elements")
        << QByteArray("<xmpMM:History></xmpMM:History >\n").repeated(3000) << none << XmpOutcome::Cleaned << false;
    QTest::newRow("3000 removed elements declined at once")
        << QByteArray("<xmpMM:History><!----></xmpMM:History>\n").repeated(3000) << none
        << XmpOutcome::Cleaned << false;
    QTest::newRow("3000 removed empty-element tags")
        << QByteArray("<xmpMM:History/>\n").repeated(3000) << none << XmpOutcome::Cleaned << false;
    QTest::newRow("error after the skip")
        << with({}) + "<xmp:Rating>1</xmp:Ratin>\n" << none << XmpOutcome::NotWellFormed << true;
    // clang-format on
}

namespace {

// A packet in memory that counts what is read of it.
class CountingSource final : public psd::Source
{
public:
    explicit CountingSource(std::string_view bytes) : m_bytes(bytes) {}
    std::uint64_t size() const override { return m_bytes.size(); }
    bool read(std::uint64_t offset, void* out, std::size_t length, psd::Error& err) const override
    {
        if (offset > m_bytes.size() || length > m_bytes.size() - offset)
            return psd::fail(err, psd::ErrorCode::Truncated, offset, "read past the end");
        std::memcpy(out, m_bytes.data() + offset, length);
        bytesRead += length;
        return true;
    }
    mutable std::uint64_t bytesRead = 0;

private:
    std::string_view m_bytes;
};

} // namespace

void TestXmpCleaner::skip()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, extraNamespaces);
    QFETCH(XmpOutcome, outcome);
    QFETCH(bool, skipped);
    const QByteArray input = packet(body, extraNamespaces);
    XmpCleanResult results[2];
    XmpError errors[2];
    for (const bool skip : {false, true}) {
        XmpCleanOptions options;
        options.skipSimpleContent = skip;
        cleanXmpPacket(view(input), results[skip], errors[skip], options);
        QVERIFY2(results[skip].outcome == outcome,
                 (std::string(xmpOutcomeName(results[skip].outcome)) + ": " + errors[skip].message).c_str());
    }
    QCOMPARE(results[false].unparsedBytes, std::uint64_t(0));
    QCOMPARE(results[true].unparsedBytes != 0, skipped);
    QVERIFY(results[true].removedRanges == results[false].removedRanges);
    QCOMPARE(results[true].packet, results[false].packet);
    QCOMPARE(results[true].trailerOffset, results[false].trailerOffset);
    QCOMPARE(errors[true].message, errors[false].message);
    QCOMPARE(errors[true].offset, errors[false].offset);

    // Every byte is read a few times at most (the look for NUL padding, the clean, the skip, the check of the cut
    // packet, a second clean for an error's line), plus a block read backwards per cut, however many start tags
    // look like removed elements: nothing is read again per tag.
    const CountingSource source(view(input));
    XmpCleanResult streamed;
    XmpError error;
    cleanXmpStream(source, streamed, error);
    QVERIFY2(source.bytesRead <= 5 * std::uint64_t(input.size()) + 4096 * streamed.removedRanges.size() + 4096,
             qPrintable(QStringLiteral("%1 bytes read of %2").arg(source.bytesRead).arg(input.size())));
}

// Whenever an allocation of the parser fails, the outcome is OutOfMemory (the document then fails), never
// NotWellFormed or NothingToRemove (which would keep the history and count the file as done). Past the last
// allocation the parse needs, the result is the normal one.
void TestXmpCleaner::allocationFailures()
{
    QFETCH(QByteArray, marked);
    QFETCH(XmpOutcome, outcome);
    const Marked m = splitMarks(marked);
    int failures = 0;
    for (std::uint64_t allowed = 0;; allowed = allowed < 64 ? allowed + 1 : allowed * 2) {
        XmpCleanOptions options;
        options.failAllocationsAfter = allowed;
        options.chunkSize = 61;
        XmpCleanResult result;
        XmpError error;
        const bool examined = cleanXmpPacket(view(m.input), result, error, options);
        if (result.outcome == XmpOutcome::OutOfMemory) {
            QVERIFY(!examined && result.removedRanges.empty() && !error.message.empty());
            ++failures;
            continue;
        }
        QVERIFY2(result.outcome == outcome, (std::string(xmpOutcomeName(result.outcome)) + " after " +
                                             std::to_string(allowed) + " allocations: " + error.message).c_str());
        QVERIFY(result.removedRanges == m.ranges);
        break;
    }
    QVERIFY(failures > 0 || m.input.isEmpty());

    // Within a tiny memory limit, the same.
    XmpCleanOptions tiny;
    tiny.parserMemoryLimit = 2048;
    XmpCleanResult result;
    XmpError error;
    cleanXmpPacket(view(m.input), result, error, tiny);
    QVERIFY(result.outcome == XmpOutcome::OutOfMemory || m.input.size() < 100);
}

void TestXmpCleaner::truncatedPacketsNeverYieldBrokenOutput()
{
    const QByteArray whole = packet(QByteArray(kHistoryElement) + "\n" + ancestors(2) + "\n");
    int notWellFormed = 0;
    for (qsizetype n = 0; n <= whole.size(); ++n) {
        XmpCleanResult result;
        XmpError error;
        cleanXmpPacket(view(whole.left(n)), result, error);
        QVERIFY2(result.outcome != XmpOutcome::Unsupported, error.message.c_str());
        if (result.outcome == XmpOutcome::Cleaned)
            QVERIFY2(listElements(result.packet).wellFormed, qPrintable(QString::number(n)));
        notWellFormed += result.outcome == XmpOutcome::NotWellFormed;
    }
    // Every prefix that stops before the root's end tag is cut short.
    QVERIFY(notWellFormed >= whole.indexOf("</x:xmpmeta>"));
}

namespace {

quint32 u32(const QByteArray& b, qsizetype at)
{
    const auto* p = reinterpret_cast<const uchar*>(b.constData() + at);
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
}

// Resource 1060 of a PSD/PSB file, read on its own: the 26-byte header, the colour mode data (u32 length), the
// image resources (u32 length) and their blocks (signature, u16 id, Pascal name padded to even, u32 size, data
// padded to even). Returns false when the file has none or the section does not hold together.
bool xmpResource(QFile& file, QByteArray& xmp)
{
    QByteArray head = file.read(30);
    if (head.size() != 30 || !head.startsWith("8BPS"))
        return false;
    if (!file.seek(26 + 4 + qint64(u32(head, 26))))
        return false;
    const QByteArray lengthField = file.read(4);
    if (lengthField.size() != 4)
        return false;
    const QByteArray section = file.read(u32(lengthField, 0));
    qsizetype pos = 0;
    while (section.size() - pos >= 12) {
        const int id = (uchar(section[pos + 4]) << 8) | uchar(section[pos + 5]);
        const qsizetype name = (1 + uchar(section[pos + 6]) + 1) & ~qsizetype(1);
        pos += 6 + name;
        if (section.size() - pos < 4)
            return false;
        const qsizetype size = u32(section, pos);
        pos += 4;
        if (size > section.size() - pos)
            return false;
        if (id == 1060) {
            xmp = section.mid(pos, size);
            return true;
        }
        pos += size + (size & 1);
    }
    return false;
}

} // namespace

void TestXmpCleaner::corpus()
{
    const QString root = qEnvironmentVariable("LEANFOLD_CORPUS");
    QFile manifest(root + QStringLiteral("/MANIFEST.tsv"));
    if (root.isEmpty() || !manifest.open(QIODevice::ReadOnly))
        QSKIP("LEANFOLD_CORPUS not set or the corpus is missing; corpus cleaning skipped");

    const QList<QByteArray> header = manifest.readLine().trimmed().split('\t');
    const qsizetype historyColumn = header.indexOf("xmpMM_History");
    const qsizetype ancestorsColumn = header.indexOf("photoshop_DocumentAncestors");
    QVERIFY(historyColumn > 0 && ancestorsColumn > 0);

    int files = 0, packets = 0, cleaned = 0, notWellFormed = 0;
    std::size_t elementsRemoved = 0, bytesSaved = 0, nulPadded = 0;
    QStringList manifestMismatch;
    while (!manifest.atEnd()) {
        const QList<QByteArray> row = manifest.readLine().chopped(1).split('\t');
        if (row.size() <= ancestorsColumn)
            continue;
        ++files;
        const QString name = QString::fromUtf8(row[0]);
        QFile file(root + u'/' + name);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(name));
        QByteArray xmp;
        if (!xmpResource(file, xmp) || xmp.isEmpty())
            continue;
        ++packets;
        nulPadded += xmp.endsWith('\0');

        XmpCleanResult result;
        XmpError error;
        cleanXmpPacket(view(xmp), result, error);
        const Listing before = listElements(view(xmp));
        QCOMPARE(before.wellFormed, result.outcome != XmpOutcome::NotWellFormed);
        QVERIFY2(result.outcome != XmpOutcome::Unsupported,
                 qPrintable(name + u' ' + QString::fromStdString(error.message)));
        if (result.outcome == XmpOutcome::NotWellFormed) {
            ++notWellFormed;
            qInfo("not well-formed, kept: %s (%s)", qPrintable(name), error.message.c_str());
            continue;
        }
        const int expected = row[historyColumn].toInt() + row[ancestorsColumn].toInt();
        if (before.removable() != expected)
            manifestMismatch << name + QStringLiteral(": listed %1, found %2").arg(expected).arg(before.removable());
        if (result.outcome == XmpOutcome::NothingToRemove) {
            QCOMPARE(before.removable(), 0);
            continue;
        }
        ++cleaned;
        elementsRemoved += result.removedElements;
        bytesSaved += result.removedBytes();

        // Outside the cut ranges the bytes are the original's; each range is one element, maybe with its
        // indentation in front.
        QByteArray outside;
        std::size_t from = 0;
        for (const ByteRange& r : result.removedRanges) {
            QVERIFY(r.begin >= from && r.end > r.begin && r.end <= std::size_t(xmp.size()));
            outside += xmp.mid(qsizetype(from), qsizetype(r.begin - from));
            const QByteArray cut = xmp.mid(qsizetype(r.begin), qsizetype(r.size())).trimmed();
            QVERIFY2(cut.startsWith('<') && cut.endsWith('>'), qPrintable(name));
            from = r.end;
        }
        outside += xmp.mid(qsizetype(from));
        QCOMPARE(QByteArray::fromStdString(result.packet), outside);

        // Every element outside the ranges survives, in order; everything inside is gone, and no element of the
        // removal set is left.
        const Listing after = listElements(result.packet);
        QVERIFY2(after.wellFormed, qPrintable(name));
        QCOMPARE(after.removable(), 0);
        std::vector<std::string> kept;
        for (const Element& e : before.elements) {
            const bool inside = std::any_of(result.removedRanges.begin(), result.removedRanges.end(),
                                            [&](const ByteRange& r) { return e.begin >= r.begin && e.begin < r.end; });
            if (!inside)
                kept.push_back(e.name);
            else
                QVERIFY(e.depth > 1);
        }
        std::vector<std::string> survived;
        for (const Element& e : after.elements)
            survived.push_back(e.name);
        QVERIFY2(kept == survived, qPrintable(name));
    }
    qInfo("corpus: %d files, %d XMP packets (%zu NUL-padded), %d cleaned, %zu elements removed, %zu bytes saved, "
          "%d not well-formed",
          files, packets, nulPadded, cleaned, elementsRemoved, bytesSaved, notWellFormed);
    QVERIFY2(manifestMismatch.isEmpty(), qPrintable(manifestMismatch.join(u'\n')));
    QVERIFY(packets > 0);
}

QTEST_APPLESS_MAIN(TestXmpCleaner)
#include "TestXmpCleaner.moc"
