#include "psd/Signature.h"

#include "psd/Document.h"
#include "psd/FourCC.h"

namespace psd {

const char* layerKindName(LayerKind kind)
{
    switch (kind) {
    case LayerKind::Pixel:
        return "pixel";
    case LayerKind::Group:
        return "group";
    case LayerKind::Type:
        return "type";
    case LayerKind::Shape:
        return "shape";
    case LayerKind::SmartObject:
        return "smart object";
    case LayerKind::Adjustment:
        return "adjustment";
    case LayerKind::Fill:
        return "fill";
    }
    return "unknown";
}

namespace {

LayerSignature layerSignature(const std::vector<LayerRecord>& records, const LayerNode& node)
{
    const LayerRecord& rec = records[node.record];
    LayerSignature sig;
    sig.kind = rec.kind;
    sig.name = rec.name;
    sig.visible = rec.visible();
    sig.opacity = rec.opacity;
    sig.blendMode = rec.blendKey;
    // The tree depth is capped when it is built, so this recursion is bounded.
    sig.children.reserve(node.children.size());
    for (const LayerNode& child : node.children)
        sig.children.push_back(layerSignature(records, child));
    return sig;
}

void describeLayers(const std::vector<LayerSignature>& layers, int depth, std::string& out)
{
    for (const LayerSignature& l : layers) {
        out += std::string(std::size_t(depth) * 2, ' ') + layerKindName(l.kind) + " \"" + l.name + "\" " +
               (l.visible ? "visible" : "hidden") + " opacity " + std::to_string(l.opacity) + " " +
               fourccText(l.blendMode) + "\n";
        describeLayers(l.children, depth + 1, out);
    }
}

std::string layerDifference(const std::vector<LayerSignature>& a, const std::vector<LayerSignature>& b,
                            const std::string& path)
{
    const std::string where = path.empty() ? "top level" : "children of layer " + path;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const std::string here = (path.empty() ? "" : path + "/") + std::to_string(i);
        const std::string label = "layer " + here + " (\"" + a[i].name + "\"): ";
        if (a[i].kind != b[i].kind)
            return label + "kind " + layerKindName(a[i].kind) + " != " + layerKindName(b[i].kind);
        if (a[i].name != b[i].name)
            return label + "name \"" + a[i].name + "\" != \"" + b[i].name + "\"";
        if (a[i].visible != b[i].visible)
            return label + "visible " + (a[i].visible ? "yes" : "no") + " != " + (b[i].visible ? "yes" : "no");
        if (a[i].opacity != b[i].opacity)
            return label + "opacity " + std::to_string(a[i].opacity) + " != " + std::to_string(b[i].opacity);
        if (a[i].blendMode != b[i].blendMode)
            return label + "blend mode " + fourccText(a[i].blendMode) + " != " + fourccText(b[i].blendMode);
        std::string inner = layerDifference(a[i].children, b[i].children, here);
        if (!inner.empty())
            return inner;
    }
    if (a.size() != b.size())
        return where + ": " + std::to_string(a.size()) + " layers != " + std::to_string(b.size());
    return {};
}

} // namespace

std::string StructureSignature::describe() const
{
    std::string out = std::to_string(width) + "x" + std::to_string(height) + " version " + std::to_string(version) +
                      " depth " + std::to_string(depth) + " mode " + std::to_string(colorMode) + "\n";
    describeLayers(layers, 1, out);
    return out;
}

std::string firstDifference(const StructureSignature& a, const StructureSignature& b)
{
    auto field = [](const char* name, std::uint64_t x, std::uint64_t y) {
        return std::string(name) + " " + std::to_string(x) + " != " + std::to_string(y);
    };
    if (a.width != b.width)
        return field("width", a.width, b.width);
    if (a.height != b.height)
        return field("height", a.height, b.height);
    if (a.version != b.version)
        return field("file version", a.version, b.version);
    if (a.depth != b.depth)
        return field("bit depth", a.depth, b.depth);
    if (a.colorMode != b.colorMode)
        return field("colour mode", a.colorMode, b.colorMode);
    return layerDifference(a.layers, b.layers, "");
}

StructureSignature Document::signature() const
{
    StructureSignature sig;
    sig.width = m_header.width;
    sig.height = m_header.height;
    sig.version = m_header.version;
    sig.depth = m_header.depth;
    sig.colorMode = m_header.colorMode;
    sig.layers.reserve(m_tree.size());
    for (const LayerNode& node : m_tree)
        sig.layers.push_back(layerSignature(m_layerInfo.records, node));
    return sig;
}

} // namespace psd
