#pragma once

// Builds small PSD/PSB files in memory for tests: every field is written by hand from the container layout, so
// a test can make exactly the fault it is named for.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace psdtest {

using Bytes = std::vector<std::uint8_t>;

void be(Bytes& out, std::uint64_t value, unsigned width);
void append(Bytes& out, const Bytes& more);
void append(Bytes& out, const std::string& text);
Bytes utf16Be(const std::u16string& text);
// u32 count of UTF-16 units, then the units.
Bytes unicodeString(const std::u16string& text);
// A descriptor with one top-level TEXT item (enough for 'SoLd' and open descriptors).
Bytes textDescriptor(const std::string& key, const std::u16string& value);

struct Block
{
    std::string key;
    Bytes data;
    std::string signature = "8BIM";
    int forceLengthWidth = 0; // 4 or 8 to override the PSB table (hostile cases)
};

struct Layer
{
    Layer(std::string pascal, std::u16string unicode = {}, int section = -1, std::string blendKey = "norm")
        : name(std::move(pascal))
        , unicodeName(std::move(unicode))
        , sectionType(section)
        , blend(std::move(blendKey))
    {
    }

    std::string name;
    std::u16string unicodeName; // written as 'luni' when not empty
    int sectionType = -1;       // writes 'lsct' when >= 0
    std::string blend = "norm";
    std::uint8_t opacity = 255;
    std::uint8_t flags = 0;
    std::vector<Block> blocks; // after 'luni'/'lsct'
    std::uint16_t channelCount = 1;
};

struct LinkedItem
{
    std::string kind = "liFD";
    std::string uniqueId;
    std::u16string fileName = u"embedded.psd";
    std::string fileType = "8BPS";
    Bytes data;
    bool openDescriptor = false;
};

struct Builder
{
    std::uint16_t version = 1;
    std::uint16_t channels = 3;
    std::uint32_t width = 4;
    std::uint32_t height = 3;
    std::uint16_t depth = 8;
    std::uint16_t colorMode = 3;
    Bytes colorModeData;
    std::vector<std::pair<std::uint16_t, Bytes>> resources;
    std::vector<Layer> layers; // bottom-most first, as stored
    std::vector<Block> globalBlocks;
    bool layersInLr16 = false; // the layer info goes into a global 'Lr16' block
    bool globalMask = true;
    Bytes imageData = Bytes{0, 0, 1, 2, 3};

    unsigned wide() const { return version == 2 ? 8 : 4; }
    Bytes layerInfoBody() const;
    Bytes build() const;
};

// A 'lnk2' block body holding these items.
Bytes linkedBlock(const std::vector<LinkedItem>& items);
// A 'SoLd' block body referring to uniqueId.
Bytes smartObjectBlock(const std::string& uniqueId);

// An XMP packet with n history entries.
std::string xmpWithHistory(int entries);

} // namespace psdtest
