// Writes a small 8-bit RGB PSD (no layers, 512 x 512 of raw noise) whose XMP packet is bloated the way a layer
// copied between many documents leaves it: <ancestors> photoshop:DocumentAncestors items and <events> xmpMM:History
// events, indented as Photoshop writes them. The packet is streamed to the file, never held. For benchmarks only.
// The second form writes <elements> photoshop:DocumentAncestors of <items> ancestors each instead, one after
// another, in a shape that gives the content skip the most start tags for their bytes: "spaced" ends each with
// </photoshop:DocumentAncestors > (no end tag looks like a start tag), "declined" also opens each content with a
// comment (the skip gives up at once and the parser reads it all).
//
//   MakePacketDocument <out> <ancestors> <history events>
//   MakePacketDocument <out> --elements <elements> <items> spaced|declined
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::FILE* out;
std::vector<char> pending;

void flush()
{
    if (!pending.empty() && std::fwrite(pending.data(), 1, pending.size(), out) != pending.size()) {
        std::perror("write");
        std::exit(1);
    }
    pending.clear();
}
void bytes(const void* p, std::size_t n)
{
    const auto* c = static_cast<const char*>(p);
    pending.insert(pending.end(), c, c + n);
    if (pending.size() >= (1u << 20))
        flush();
}
void text(const std::string& s) { bytes(s.data(), s.size()); }
void u8(std::uint8_t v) { bytes(&v, 1); }
void u16(std::uint16_t v) { u8(std::uint8_t(v >> 8)); u8(std::uint8_t(v)); }
void u32(std::uint32_t v) { u16(std::uint16_t(v >> 16)); u16(std::uint16_t(v)); }

// A UUID-like id made from n: the same n gives the same id, every n another.
std::string id(std::uint64_t n)
{
    static const char* const hex = "0123456789abcdef";
    std::uint64_t x = n * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
    std::string s;
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20)
            s += '-';
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s += hex[x & 15];
    }
    return s;
}

const std::string kHead = "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
                          "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\" x:xmptk=\"Adobe XMP Core 7.1-c000\">\n"
                          "   <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
                          "      <rdf:Description rdf:about=\"\"\n"
                          "            xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"\n"
                          "            xmlns:xmpMM=\"http://ns.adobe.com/xap/1.0/mm/\"\n"
                          "            xmlns:stEvt=\"http://ns.adobe.com/xap/1.0/sType/ResourceEvent#\"\n"
                          "            xmlns:photoshop=\"http://ns.adobe.com/photoshop/1.0/\">\n"
                          "         <xmp:CreatorTool>Adobe Photoshop 24.0 (Windows)</xmp:CreatorTool>\n"
                          "         <photoshop:ColorMode>3</photoshop:ColorMode>\n";
const std::string kAncestorsOpen = "         <photoshop:DocumentAncestors>\n            <rdf:Bag>\n";
const std::string kAncestorsClose = "            </rdf:Bag>\n         </photoshop:DocumentAncestors>\n";
const std::string kHistoryOpen = "         <xmpMM:History>\n            <rdf:Seq>\n";
const std::string kHistoryClose = "            </rdf:Seq>\n         </xmpMM:History>\n";
const std::string kTail = "      </rdf:Description>\n   </rdf:RDF>\n</x:xmpmeta>\n" + std::string(2047, ' ') +
                          "\n<?xpacket end=\"w\"?>";

std::string ancestor(std::uint64_t n)
{
    return "               <rdf:li>" + id(n) + "</rdf:li>\n";
}

// One removed element of the second form.
std::string element(std::uint64_t n, std::uint64_t items, bool declined)
{
    std::string s = "         <photoshop:DocumentAncestors>\n";
    if (declined)
        s += "            <!-- copied -->\n";
    s += "            <rdf:Bag>\n";
    for (std::uint64_t i = 0; i < items; ++i)
        s += ancestor(n * items + i);
    return s + "            </rdf:Bag>\n         </photoshop:DocumentAncestors >\n";
}

std::string event(std::uint64_t n)
{
    return "               <rdf:li rdf:parseType=\"Resource\">\n"
           "                  <stEvt:action>saved</stEvt:action>\n"
           "                  <stEvt:instanceID>xmp.iid:" + id(n + (1ull << 40)) + "</stEvt:instanceID>\n"
           "                  <stEvt:when>2023-05-01T10:00:00+02:00</stEvt:when>\n"
           "                  <stEvt:softwareAgent>Adobe Photoshop 24.0 (Windows)</stEvt:softwareAgent>\n"
           "                  <stEvt:changed>/</stEvt:changed>\n"
           "               </rdf:li>\n";
}

} // namespace

int main(int argc, char** argv)
{
    const bool elements = argc == 6 && std::string(argv[2]) == "--elements";
    const bool declined = elements && std::string(argv[5]) == "declined";
    if (!(argc == 4 || (elements && (declined || std::string(argv[5]) == "spaced")))) {
        std::fprintf(stderr,
                     "usage: %s <out> <ancestors> <history events>\n"
                     "       %s <out> --elements <elements> <items> spaced|declined\n",
                     argv[0], argv[0]);
        return 2;
    }
    const std::uint64_t ancestors = elements ? 0 : std::strtoull(argv[2], nullptr, 10);
    const std::uint64_t events = elements ? 0 : std::strtoull(argv[3], nullptr, 10);
    const std::uint64_t count = elements ? std::strtoull(argv[3], nullptr, 10) : 0;
    const std::uint64_t items = elements ? std::strtoull(argv[4], nullptr, 10) : 0;
    // Every item has the same length, so the packet's length is known before it is written.
    const std::uint64_t bulk = elements
                                   ? count * element(0, items, declined).size()
                                   : kAncestorsOpen.size() + ancestors * ancestor(0).size() + kAncestorsClose.size() +
                                         kHistoryOpen.size() + events * event(0).size() + kHistoryClose.size();
    const std::uint64_t packet = kHead.size() + bulk + kTail.size();
    const std::uint64_t block = 4 + 2 + 2 + 4 + packet + packet % 2;
    if (block > 0xffffffffu) {
        std::fprintf(stderr, "a packet of %llu bytes does not fit a PSD resource\n", (unsigned long long)packet);
        return 2;
    }
    out = std::fopen(argv[1], "wb");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    const std::uint32_t side = 512;
    bytes("8BPS", 4);
    u16(1);
    bytes("\0\0\0\0\0\0", 6);
    u16(3);
    u32(side);
    u32(side);
    u16(8);
    u16(3);
    u32(0); // colour mode data
    u32(std::uint32_t(block));
    bytes("8BIM", 4);
    u16(1060);
    u16(0); // empty name, padded
    u32(std::uint32_t(packet));
    text(kHead);
    if (elements) {
        for (std::uint64_t i = 0; i < count; ++i)
            text(element(i, items, declined));
    } else {
        text(kAncestorsOpen);
        for (std::uint64_t i = 0; i < ancestors; ++i)
            text(ancestor(i));
        text(kAncestorsClose);
        text(kHistoryOpen);
        for (std::uint64_t i = 0; i < events; ++i)
            text(event(i));
        text(kHistoryClose);
    }
    text(kTail);
    if (packet % 2)
        u8(0);
    u32(0); // no layers
    u16(0); // raw image data
    std::uint64_t state = 0x2545F4914F6CDD1Dull;
    for (std::uint64_t i = 0; i < std::uint64_t(side) * side * 3 / 8; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        bytes(&state, 8);
    }
    flush();
    if (std::fclose(out) != 0) {
        std::perror("close");
        return 1;
    }
    if (elements)
        std::printf("%s: packet of %llu bytes (%llu removed elements of %llu ancestors)\n", argv[1],
                    (unsigned long long)packet, (unsigned long long)count, (unsigned long long)items);
    else
        std::printf("%s: packet of %llu bytes (%llu ancestors, %llu history events)\n", argv[1],
                    (unsigned long long)packet, (unsigned long long)ancestors, (unsigned long long)events);
    return 0;
}
