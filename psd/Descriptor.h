#pragma once

#include "psd/Reader.h"

#include <string>

namespace psd {

// Walks an action descriptor (the structure behind 'SoLd', 'lnk2' open descriptors, ...) far enough to find one
// top-level text item or to step over the whole descriptor. Unknown item types stop the walk: the caller's lookup
// fails, the file does not.
namespace descriptor {

constexpr int kMaxDepth = 32;

// Skips one descriptor (Unicode name, class id, items) starting at r's position.
bool skip(Reader& r, int depth = 0);

// Reads a descriptor and returns the value of its top-level 'TEXT' item named key (e.g. "Idnt").
bool findText(Reader& r, const std::string& key, std::string& out);

} // namespace descriptor
} // namespace psd
