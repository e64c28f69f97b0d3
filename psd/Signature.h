#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace psd {

enum class LayerKind {
    Pixel,
    Group,
    Type,
    Shape,
    SmartObject,
    Adjustment,
    Fill,
};

const char* layerKindName(LayerKind kind);

struct LayerSignature
{
    LayerKind kind = LayerKind::Pixel;
    std::string name; // UTF-8
    bool visible = true;
    std::uint8_t opacity = 255;
    std::uint32_t blendMode = 0;          // the record's four-character blend key
    std::vector<LayerSignature> children; // groups only, in record order

    bool operator==(const LayerSignature&) const = default;
};

// What must not change when a document is slimmed: canvas, format and the layer tree.
struct StructureSignature
{
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint16_t version = 0;
    std::uint16_t depth = 0;
    std::uint16_t colorMode = 0;
    std::vector<LayerSignature> layers; // top level, in record order (bottom-most first)

    bool operator==(const StructureSignature&) const = default;

    // One line per layer, indented by depth; for logs and test failures.
    std::string describe() const;
};

// Empty when a == b, otherwise a sentence naming the first difference, e.g.
// "layer 2/1 ("Shadow"): opacity 255 != 128".
std::string firstDifference(const StructureSignature& a, const StructureSignature& b);

} // namespace psd
