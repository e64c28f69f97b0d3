// Writes a large layered 16-bit RGB PSD or PSB of random noise (raw channel data, so nothing compresses it)
// with an XMP packet that carries a long editing history. For benchmarks only.
//
//   MakeBenchDocument <out> <psd|psb> <width> <height> <layers> <history events> [<embedded>]
//
// With <embedded> > 0 the global 'lnk2' block carries that many embedded PSB documents (1500 x 1000, two layers of
// noise, the same history) and the first <embedded> layers are smart objects placing them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::FILE* out;
std::vector<std::uint8_t>* memory = nullptr; // when set, bytes go here instead of to out
std::uint64_t state = 0x9E3779B97F4A7C15ull;

void bytes(const void* p, std::size_t n)
{
    if (memory) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        memory->insert(memory->end(), b, b + n);
        return;
    }
    if (std::fwrite(p, 1, n, out) != n) {
        std::perror("write");
        std::exit(1);
    }
}
void u8(std::uint8_t v) { bytes(&v, 1); }
void u16(std::uint16_t v) { u8(std::uint8_t(v >> 8)); u8(std::uint8_t(v)); }
void u32(std::uint32_t v) { u16(std::uint16_t(v >> 16)); u16(std::uint16_t(v)); }
void u64(std::uint64_t v) { u32(std::uint32_t(v >> 32)); u32(std::uint32_t(v)); }
void length(bool psb, std::uint64_t v) { psb ? u64(v) : u32(std::uint32_t(v)); }

void noise(std::uint64_t n)
{
    static std::vector<std::uint64_t> buffer(1 << 17);
    while (n > 0) {
        for (auto& w : buffer) { // xorshift64: fast and incompressible enough for RLE and ZIP
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            w = state;
        }
        const std::size_t chunk = std::size_t(std::min<std::uint64_t>(n, buffer.size() * 8));
        bytes(buffer.data(), chunk);
        n -= chunk;
    }
}

std::string xmpPacket(int events)
{
    std::string x = "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
                    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
                    "  <rdf:Description rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\""
                    " xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\""
                    " xmlns:stEvt=\"http://ns.adobe.com/xap/1.0/sType/ResourceEvent#\""
                    " xmlns:photoshop=\"http://ns.adobe.com/photoshop/1.0/\""
                    " xmp:CreatorTool=\"bench\">\n   <photoshop:DocumentAncestors>\n    <rdf:Bag>\n";
    for (int i = 0; i < events / 4; ++i)
        x += "     <rdf:li>xmp.did:" + std::to_string(1000000 + i) + "abcdef0123456789</rdf:li>\n";
    x += "    </rdf:Bag>\n   </photoshop:DocumentAncestors>\n   <xmpMM:History>\n    <rdf:Seq>\n";
    for (int i = 0; i < events; ++i)
        x += "     <rdf:li stEvt:action=\"saved\" stEvt:instanceID=\"xmp.iid:" + std::to_string(5000000 + i)
            + "-0123-4567-89ab-cdef\" stEvt:when=\"2020-01-01T10:00:00+08:00\""
              " stEvt:softwareAgent=\"Adobe Photoshop 25.0 (Windows)\" stEvt:changed=\"/\"/>\n";
    x += "    </rdf:Seq>\n   </xmpMM:History>\n  </rdf:Description>\n </rdf:RDF>\n</x:xmpmeta>\n"
         "<?xpacket end=\"w\"?>";
    return x;
}

std::string smartObjectId(std::size_t i)
{
    return "bench-embedded-" + std::to_string(1000 + i);
}

// 'SoLd' data: 'soLD', version 4, descriptor version 16, a descriptor with one TEXT item 'Idnt'.
std::uint64_t soLdDataSize(const std::string& id)
{
    return 4 + 4 + 4 + (4 + 4 + 4) + 4 + (4 + 4) + 4 + 4 + 2 * id.size();
}

void soLdBlock(const std::string& id)
{
    bytes("8BIMSoLd", 8);
    u32(std::uint32_t(soLdDataSize(id)));
    bytes("soLD", 4);
    u32(4);
    u32(16);
    u32(0); // empty name
    u32(0);
    bytes("null", 4);
    u32(1);
    u32(0);
    bytes("Idnt", 4);
    bytes("TEXT", 4);
    u32(std::uint32_t(id.size()));
    for (const char c : id)
        u16(std::uint16_t(c));
}

// One 'lnk2' item: u64 length, then 'liFD', version 2, id, name, type, creator, data length, no descriptor, data.
std::uint64_t itemBodySize(const std::string& id, std::uint64_t data)
{
    return 4 + 4 + 1 + id.size() + 4 + 2 * 12 + 4 + 4 + 8 + 1 + data;
}

void writeDocument(bool psb, std::uint32_t width, std::uint32_t height, int layers, int events,
                   const std::vector<std::vector<std::uint8_t>>& embedded)
{
    const std::uint64_t plane = std::uint64_t(width) * height * 2; // 16-bit samples

    bytes("8BPS", 4);
    u16(psb ? 2 : 1);
    bytes("\0\0\0\0\0\0", 6);
    u16(3);
    u32(height);
    u32(width);
    u16(16);
    u16(3); // RGB
    u32(0); // colour mode data

    const std::string xmp = xmpPacket(events);
    const std::uint32_t xmpPad = xmp.size() % 2;
    u32(std::uint32_t(4 + 2 + 2 + 4 + xmp.size() + xmpPad));
    bytes("8BIM", 4);
    u16(1060);
    u16(0); // empty name, padded
    u32(std::uint32_t(xmp.size()));
    bytes(xmp.data(), xmp.size());
    if (xmpPad)
        u8(0);

    // Records: bounds, 4 channels, blend, flags, extra data (empty mask, empty ranges, name padded to 4, and a
    // 'SoLd' block for the smart objects).
    const std::uint64_t lw = psb ? 8 : 4;
    const std::uint64_t recordBytes = 16 + 2 + 4 * (2 + lw) + 12 + 4 + 4 + 4 + 4;
    const std::uint64_t channelBytes = 4 * (2 + plane);
    std::uint64_t layerInfo = 2 + std::uint64_t(layers) * (recordBytes + channelBytes);
    for (std::size_t i = 0; i < embedded.size() && i < std::size_t(layers); ++i)
        layerInfo += 12 + soLdDataSize(smartObjectId(i));
    const std::uint64_t layerPad = layerInfo % 2;
    layerInfo += layerPad;
    std::uint64_t links = 0;
    for (std::size_t i = 0; i < embedded.size(); ++i) {
        const std::uint64_t body = itemBodySize(smartObjectId(i), embedded[i].size());
        links += 8 + body + (4 - body % 4) % 4;
    }
    const std::uint64_t linkBlock = embedded.empty() ? 0 : 8 + lw + links + (4 - links % 4) % 4;
    length(psb, lw + layerInfo + 4 + linkBlock);
    length(psb, layerInfo);
    u16(std::uint16_t(layers));
    for (int l = 0; l < layers; ++l) {
        u32(0);
        u32(0);
        u32(height);
        u32(width);
        u16(4);
        for (const std::int16_t id : {std::int16_t(-1), std::int16_t(0), std::int16_t(1), std::int16_t(2)}) {
            u16(std::uint16_t(id));
            length(psb, 2 + plane);
        }
        bytes("8BIMnorm", 8);
        u8(255);
        u8(0);
        u8(0);
        u8(0);
        const bool smart = std::size_t(l) < embedded.size();
        u32(std::uint32_t(12 + (smart ? 12 + soLdDataSize(smartObjectId(std::size_t(l))) : 0)));
        u32(0);
        u32(0);
        const char name[4] = {3, 'L', char('0' + l % 10), ' '};
        bytes(name, 4);
        if (smart)
            soLdBlock(smartObjectId(std::size_t(l)));
    }
    for (int l = 0; l < layers; ++l)
        for (int c = 0; c < 4; ++c) {
            u16(0); // raw
            noise(plane);
        }
    if (layerPad)
        u8(0);
    u32(0); // global layer mask info
    if (!embedded.empty()) {
        bytes("8BIMlnk2", 8);
        length(psb, links);
        for (std::size_t i = 0; i < embedded.size(); ++i) {
            const std::string id = smartObjectId(i);
            const std::uint64_t body = itemBodySize(id, embedded[i].size());
            u64(body);
            bytes("liFD", 4);
            u32(2);
            u8(std::uint8_t(id.size()));
            bytes(id.data(), id.size());
            u32(12);
            for (const char c : std::string("embedded.psb"))
                u16(std::uint16_t(c));
            bytes("8BPS8BIM", 8);
            u64(embedded[i].size());
            u8(0);
            bytes(embedded[i].data(), embedded[i].size());
            for (std::uint64_t p = 0; p < (4 - body % 4) % 4; ++p)
                u8(0);
        }
        for (std::uint64_t p = 0; p < (4 - links % 4) % 4; ++p)
            u8(0);
    }

    u16(0); // raw merged image
    noise(plane * 3);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 7 && argc != 8) {
        std::fprintf(stderr, "usage: %s <out> <psd|psb> <width> <height> <layers> <history events> [<embedded>]\n",
                     argv[0]);
        return 64;
    }
    const bool psb = std::strcmp(argv[2], "psb") == 0;
    const std::uint32_t width = std::uint32_t(std::atol(argv[3]));
    const std::uint32_t height = std::uint32_t(std::atol(argv[4]));
    const int layers = std::atoi(argv[5]);
    const int events = std::atoi(argv[6]);
    const int embeddedCount = argc == 8 ? std::atoi(argv[7]) : 0;
    std::vector<std::vector<std::uint8_t>> embedded(std::size_t(std::max(0, embeddedCount)));
    for (auto& payload : embedded) {
        memory = &payload;
        writeDocument(true, 1500, 1000, 2, events, {});
        memory = nullptr;
    }
    out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    static char buffer[1 << 20];
    std::setvbuf(out, buffer, _IOFBF, sizeof(buffer));
    writeDocument(psb, width, height, layers, events, embedded);
    if (std::fclose(out) != 0) {
        std::perror("close");
        return 1;
    }
    return 0;
}
