#include "PsdFixture.h"

#include <QFile>
#include <QtEndian>

namespace PsdFixture {

namespace {

void u16(QByteArray& out, quint16 value)
{
    char bytes[2];
    qToBigEndian(value, bytes);
    out.append(bytes, 2);
}

void u32(QByteArray& out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

QByteArray xmpPacket(int historyEntries)
{
    QByteArray items;
    for (int i = 0; i < historyEntries; ++i) {
        items += "<rdf:li stEvt:action=\"saved\" stEvt:instanceID=\"xmp.iid:" + QByteArray::number(100000 + i) +
                 "\" stEvt:when=\"2024-05-01T10:00:00+08:00\" stEvt:softwareAgent=\"Adobe Photoshop 25.0\""
                 " stEvt:changed=\"/\"/>";
    }
    return "<?xpacket begin=\"\xef\xbb\xbf\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
           "<rdf:Description rdf:about=\"\" xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\""
           " xmlns:stEvt=\"http://ns.adobe.com/xap/1.0/sType/ResourceEvent#\">"
           "<xmpMM:History><rdf:Seq>" +
           items +
           "</rdf:Seq></xmpMM:History></rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
}

} // namespace

QByteArray document(int historyEntries, int width, int height, char fill)
{
    QByteArray out("8BPS");
    u16(out, 1);                 // version: PSD
    out.append(6, '\0');         // reserved
    u16(out, 3);                 // channels
    u32(out, quint32(height));
    u32(out, quint32(width));
    u16(out, 8);                 // depth
    u16(out, 3);                 // colour mode: RGB
    u32(out, 0);                 // colour mode data

    const QByteArray xmp = xmpPacket(historyEntries);
    QByteArray block("8BIM");
    u16(block, 1060);
    u16(block, 0);               // empty Pascal name, padded to two bytes
    u32(block, quint32(xmp.size()));
    block += xmp;
    if (xmp.size() % 2)
        block.append('\0');
    u32(out, quint32(block.size()));
    out += block;

    u32(out, 0);                 // no layer and mask information
    u16(out, 0);                 // raw image data, to the end of the file
    out.append(qsizetype(width) * height * 3, fill);
    return out;
}

QByteArray truncated()
{
    return document(3).left(40);
}

bool write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace PsdFixture
