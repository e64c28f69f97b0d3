// CheckSlimmed <original> <slimmed>: says whether the slimmed file is the original with only the XMP packet
// (image resource 1060) changed, and whether any editing history is left in its packet. A bench helper, written
// on its own (no project code), so that it does not share a fault with the worker it checks.
// Exit 0 when every byte outside resource 1060 is kept and no history is left; 1 otherwise; 2 on a read error.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Block
{
    std::uint16_t id = 0;
    std::uint64_t offset = 0; // of the block's signature, in the file
    std::uint64_t length = 0; // the whole block: signature to padded data
    std::uint64_t dataOffset = 0, dataLength = 0;
};

struct Layout
{
    std::uint64_t resourcesBegin = 0, resourcesEnd = 0; // the blocks, after the section's length field
    std::vector<Block> blocks;
};

std::uint32_t be32(const unsigned char* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

bool readAt(std::ifstream& in, std::uint64_t at, void* out, std::size_t n)
{
    in.seekg(std::streamoff(at));
    in.read(static_cast<char*>(out), std::streamsize(n));
    return std::size_t(in.gcount()) == n;
}

bool layout(std::ifstream& in, Layout& out)
{
    unsigned char head[30];
    if (!readAt(in, 0, head, sizeof head) || std::memcmp(head, "8BPS", 4) != 0)
        return false;
    const std::uint64_t resourcesLength = 26 + 4 + std::uint64_t(be32(head + 26));
    unsigned char field[4];
    if (!readAt(in, resourcesLength, field, 4))
        return false;
    out.resourcesBegin = resourcesLength + 4;
    out.resourcesEnd = out.resourcesBegin + be32(field);
    for (std::uint64_t at = out.resourcesBegin; at + 12 <= out.resourcesEnd;) {
        unsigned char b[7];
        if (!readAt(in, at, b, sizeof b))
            return false;
        Block block;
        block.id = std::uint16_t(b[4] << 8 | b[5]);
        block.offset = at;
        const std::uint64_t name = (1 + std::uint64_t(b[6]) + 1) & ~std::uint64_t(1);
        if (!readAt(in, at + 6 + name, field, 4))
            return false;
        block.dataOffset = at + 6 + name + 4;
        block.dataLength = be32(field);
        block.length = 6 + name + 4 + block.dataLength + (block.dataLength & 1);
        if (block.offset + block.length > out.resourcesEnd)
            return false;
        out.blocks.push_back(block);
        at += block.length;
    }
    return true;
}

bool sameBytes(std::ifstream& a, std::uint64_t atA, std::ifstream& b, std::uint64_t atB, std::uint64_t n)
{
    std::vector<char> x(1 << 20), y(1 << 20);
    while (n > 0) {
        const auto step = std::size_t(std::min<std::uint64_t>(n, x.size()));
        if (!readAt(a, atA, x.data(), step) || !readAt(b, atB, y.data(), step) ||
            std::memcmp(x.data(), y.data(), step) != 0)
            return false;
        atA += step;
        atB += step;
        n -= step;
    }
    return true;
}

std::uint64_t fileSize(std::ifstream& in)
{
    in.clear();
    in.seekg(0, std::ios::end);
    return std::uint64_t(in.tellg());
}

std::size_t count(const std::string& text, const char* what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: CheckSlimmed <original> <slimmed>\n");
        return 2;
    }
    std::ifstream a(argv[1], std::ios::binary), b(argv[2], std::ios::binary);
    Layout la, lb;
    if (!a || !b || !layout(a, la) || !layout(b, lb)) {
        std::printf("check: cannot read the image resources of both files\n");
        return 2;
    }
    std::string why;
    if (!sameBytes(a, 0, b, 0, la.resourcesBegin - 4))
        why = "the header or the colour mode data changed";
    else if (la.blocks.size() != lb.blocks.size())
        why = "the number of image resources changed";
    std::string packet;
    for (std::size_t i = 0; why.empty() && i < la.blocks.size(); ++i) {
        const Block& x = la.blocks[i];
        const Block& y = lb.blocks[i];
        if (x.id != y.id) {
            why = "the image resources are in another order";
        } else if (x.id == 1060) {
            packet.resize(std::size_t(y.dataLength));
            if (!readAt(b, y.dataOffset, packet.data(), packet.size()))
                why = "the new packet cannot be read";
        } else if (x.length != y.length || !sameBytes(a, x.offset, b, y.offset, x.length)) {
            why = "image resource " + std::to_string(x.id) + " changed";
        }
    }
    const std::uint64_t restA = fileSize(a) - la.resourcesEnd, restB = fileSize(b) - lb.resourcesEnd;
    if (why.empty() && (restA != restB || !sameBytes(a, la.resourcesEnd, b, lb.resourcesEnd, restA)))
        why = "the layers or the image data changed";
    const std::size_t left =
        count(packet, "DocumentAncestors") + count(packet, "xmpMM:History") + count(packet, "stEvt:action");
    if (why.empty() && left != 0)
        why = std::to_string(left) + " traces of history left in the packet";
    if (!why.empty()) {
        std::printf("check: FAILED: %s\n", why.c_str());
        return 1;
    }
    std::printf("check: every byte outside resource 1060 kept (%llu bytes after the resources compared), no "
                "history left in the new packet of %zu bytes\n",
                static_cast<unsigned long long>(restA), packet.size());
    return 0;
}
