#include "PsdBuilder.h"

#include "psd/FourCC.h"

namespace psdtest {

void be(Bytes& out, std::uint64_t value, unsigned width)
{
    for (int shift = int(width) * 8 - 8; shift >= 0; shift -= 8)
        out.push_back(std::uint8_t(value >> shift));
}

void append(Bytes& out, const Bytes& more)
{
    out.insert(out.end(), more.begin(), more.end());
}

void append(Bytes& out, const std::string& text)
{
    out.insert(out.end(), text.begin(), text.end());
}

Bytes utf16Be(const std::u16string& text)
{
    Bytes out;
    for (const char16_t c : text)
        be(out, c, 2);
    return out;
}

Bytes unicodeString(const std::u16string& text)
{
    Bytes out;
    be(out, text.size(), 4);
    append(out, utf16Be(text));
    return out;
}

Bytes textDescriptor(const std::string& key, const std::u16string& value)
{
    Bytes d = unicodeString(u"");
    be(d, 0, 4);
    append(d, std::string("null"));
    be(d, 2, 4); // two items: one to step over, then the text
    be(d, 0, 4);
    append(d, std::string("Wdth"));
    append(d, std::string("doub"));
    be(d, 0x4059000000000000ull, 8);
    be(d, key.size(), 4);
    append(d, key);
    append(d, std::string("TEXT"));
    append(d, unicodeString(value));
    return d;
}

namespace {

void writeBlock(Bytes& out, const Block& b, std::uint16_t version, bool global)
{
    append(out, b.signature);
    append(out, b.key);
    const unsigned width =
        b.forceLengthWidth
            ? unsigned(b.forceLengthWidth)
            : psd::taggedBlockLengthWidth(version, psd::fourcc({b.key[0], b.key[1], b.key[2], b.key[3], 0}));
    Bytes data = b.data;
    if (!global && data.size() % 2)
        data.push_back(0); // layer blocks store even lengths
    be(out, data.size(), width);
    append(out, data);
    if (global)
        out.insert(out.end(), (4 - data.size() % 4) % 4, 0);
}

} // namespace

Bytes Builder::layerInfoBody() const
{
    Bytes out;
    be(out, std::uint16_t(layers.size()), 2);
    for (const Layer& l : layers) {
        be(out, 0, 4); // top, left, bottom, right: a 1x1 layer
        be(out, 0, 4);
        be(out, 1, 4);
        be(out, 1, 4);
        be(out, l.channelCount, 2);
        for (std::uint16_t c = 0; c < l.channelCount; ++c) {
            be(out, c, 2);
            be(out, 3, wide()); // compression 0 and one byte
        }
        append(out, std::string("8BIM"));
        append(out, l.blend);
        out.push_back(l.opacity);
        out.push_back(0);
        out.push_back(l.flags);
        out.push_back(0);
        Bytes extra;
        be(extra, 0, 4); // no mask
        be(extra, 0, 4); // no blending ranges
        extra.push_back(std::uint8_t(l.name.size()));
        append(extra, l.name);
        extra.insert(extra.end(), (4 - (1 + l.name.size()) % 4) % 4, 0);
        if (!l.unicodeName.empty())
            writeBlock(extra, Block{"luni", unicodeString(l.unicodeName)}, version, false);
        if (l.sectionType >= 0) {
            Bytes s;
            be(s, std::uint32_t(l.sectionType), 4);
            writeBlock(extra, Block{"lsct", s}, version, false);
        }
        for (const Block& b : l.blocks)
            writeBlock(extra, b, version, false);
        be(out, extra.size(), 4);
        append(out, extra);
    }
    for (const Layer& l : layers) {
        for (std::uint16_t c = 0; c < l.channelCount; ++c)
            append(out, Bytes{0, 0, std::uint8_t(0x40 + c)});
    }
    if (out.size() % 2)
        out.push_back(0);
    return out;
}

Bytes Builder::build() const
{
    Bytes out;
    append(out, std::string("8BPS"));
    be(out, version, 2);
    out.insert(out.end(), 6, 0);
    be(out, channels, 2);
    be(out, height, 4);
    be(out, width, 4);
    be(out, depth, 2);
    be(out, colorMode, 2);
    be(out, colorModeData.size(), 4);
    append(out, colorModeData);

    Bytes res;
    for (const auto& [id, data] : resources) {
        append(res, std::string("8BIM"));
        be(res, id, 2);
        be(res, 0, 2); // empty name, padded to 2
        be(res, data.size(), 4);
        append(res, data);
        if (data.size() % 2)
            res.push_back(0);
    }
    be(out, res.size(), 4);
    append(out, res);

    Bytes section;
    const Bytes info = layers.empty() ? Bytes{} : layerInfoBody();
    if (layersInLr16) {
        be(section, 0, wide());
    } else {
        be(section, info.size(), wide());
        append(section, info);
    }
    if (globalMask) {
        be(section, 14, 4);
        section.insert(section.end(), 14, 0);
    }
    std::vector<Block> blocks = globalBlocks;
    if (layersInLr16)
        blocks.insert(blocks.begin(), Block{"Lr16", info});
    for (const Block& b : blocks)
        writeBlock(section, b, version, true);
    be(out, section.size(), wide());
    append(out, section);
    append(out, imageData);
    return out;
}

Bytes linkedBlock(const std::vector<LinkedItem>& items)
{
    Bytes out;
    for (const LinkedItem& item : items) {
        Bytes body;
        append(body, item.kind);
        be(body, 2, 4); // version 2: nothing after the data
        body.push_back(std::uint8_t(item.uniqueId.size()));
        append(body, item.uniqueId);
        append(body, unicodeString(item.fileName));
        append(body, item.fileType);
        append(body, std::string("8BIM"));
        be(body, item.data.size(), 8);
        body.push_back(item.openDescriptor ? 1 : 0);
        if (item.openDescriptor) {
            be(body, 16, 4);
            append(body, textDescriptor("Nm  ", u"open"));
        }
        append(body, item.data);
        be(out, body.size(), 8);
        append(out, body);
        out.insert(out.end(), (4 - body.size() % 4) % 4, 0);
    }
    return out;
}

Bytes smartObjectBlock(const std::string& uniqueId)
{
    Bytes out;
    append(out, std::string("soLD"));
    be(out, 4, 4);
    be(out, 16, 4);
    append(out, textDescriptor("Idnt", std::u16string(uniqueId.begin(), uniqueId.end())));
    return out;
}

std::string xmpWithHistory(int entries)
{
    std::string x = "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?><x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
                    "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
                    "xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\"><xmpMM:History><rdf:Seq>";
    for (int i = 0; i < entries; ++i)
        x += "<rdf:li>saved " + std::to_string(i) + "</rdf:li>";
    x += "</rdf:Seq></xmpMM:History></rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
    return x;
}

} // namespace psdtest
