#include "psd/LayerTree.h"

#include "psd/FourCC.h"

#include <algorithm>
#include <array>

namespace psd {

namespace {

constexpr std::array kAdjustmentKeys = {
    fourcc("brit"), fourcc("levl"), fourcc("curv"), fourcc("expA"), fourcc("vibA"), fourcc("hue "),
    fourcc("hue2"), fourcc("blnc"), fourcc("blwh"), fourcc("phfl"), fourcc("mixr"), fourcc("clrL"),
    fourcc("nvrt"), fourcc("post"), fourcc("thrs"), fourcc("grdm"), fourcc("selc"),
};
constexpr std::array kFillKeys = {fourcc("SoCo"), fourcc("GdFl"), fourcc("PtFl")};
constexpr std::array kVectorMaskKeys = {fourcc("vmsk"), fourcc("vsms")};
constexpr std::array kVectorShapeKeys = {fourcc("vscg"), fourcc("vstk"), fourcc("vogk")};

template <std::size_t N> bool hasAny(const LayerRecord& rec, const std::array<std::uint32_t, N>& keys)
{
    return std::any_of(rec.blocks.begin(), rec.blocks.end(),
                       [&](const TaggedBlock& b) { return std::find(keys.begin(), keys.end(), b.key) != keys.end(); });
}

} // namespace

const TaggedBlock* LayerRecord::findBlock(std::uint32_t wanted) const
{
    for (const TaggedBlock& b : blocks) {
        if (b.key == wanted)
            return &b;
    }
    return nullptr;
}

LayerKind classifyLayer(const LayerRecord& rec)
{
    if (rec.sectionType == 1 || rec.sectionType == 2)
        return LayerKind::Group;
    if (rec.findBlock(fourcc("TySh")) || rec.findBlock(fourcc("tySh")))
        return LayerKind::Type;
    if (rec.findBlock(key::kSoLd) || rec.findBlock(key::kSoLE) || rec.findBlock(key::kPlLd))
        return LayerKind::SmartObject;
    const bool vectorMask = hasAny(rec, kVectorMaskKeys);
    if (vectorMask && (hasAny(rec, kVectorShapeKeys) || hasAny(rec, kFillKeys)))
        return LayerKind::Shape;
    if (hasAny(rec, kFillKeys))
        return LayerKind::Fill;
    if (hasAny(rec, kAdjustmentKeys))
        return LayerKind::Adjustment;
    return LayerKind::Pixel;
}

bool buildLayerTree(const std::vector<LayerRecord>& records, std::vector<LayerNode>& tree, Error& err)
{
    // levels[0] is the top level; each open divider adds one.
    std::vector<std::vector<LayerNode>> levels(1);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const int type = records[i].sectionType;
        if (type == 3) {
            if (levels.size() > std::size_t(Document::kMaxGroupDepth))
                return fail(err, ErrorCode::TooDeep, records[i].record.offset,
                            "groups nested deeper than " + std::to_string(Document::kMaxGroupDepth) + " levels");
            levels.emplace_back();
        } else if (type == 1 || type == 2) {
            LayerNode group{i, {}};
            if (levels.size() > 1) {
                group.children = std::move(levels.back());
                levels.pop_back();
            }
            levels.back().push_back(std::move(group));
        } else {
            levels.back().push_back(LayerNode{i, {}});
        }
    }
    while (levels.size() > 1) {
        std::vector<LayerNode> orphans = std::move(levels.back());
        levels.pop_back();
        for (LayerNode& node : orphans)
            levels.back().push_back(std::move(node));
    }
    tree = std::move(levels.front());
    return true;
}

} // namespace psd
