#pragma once

#include "psd/Document.h"

namespace psd {

// The kind of a layer, from its section divider and tagged blocks.
LayerKind classifyLayer(const LayerRecord& record);

// Builds the group tree from the records (bottom-most first). Walking from the first record, a bounding divider
// (section type 3) opens a group and the next open or closed group record (type 1 or 2) closes it and is the
// group itself. Unbalanced input is resolved without failing:
//  - a group record with no divider open is a group without children;
//  - dividers still open at the end are dropped and their layers move up to the enclosing level.
// Nesting beyond Document::kMaxGroupDepth fails with TooDeep.
bool buildLayerTree(const std::vector<LayerRecord>& records, std::vector<LayerNode>& tree, Error& err);

} // namespace psd
