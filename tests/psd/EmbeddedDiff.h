#pragma once

// Piecewise comparison of a document before and after a deep clean, walking both with the psd library's spans.
// Plain C++ (no Qt): the embedded-payload fuzzer uses it too.

#include "psd/Document.h"

#include <string>

namespace psdtest {

struct DeepDifference
{
    std::string difference; // empty when after differs from before only where a clean may change it
    int editedPayloads = 0; // embedded payloads whose bytes differ, at every level
};

// Compares after with before piece by piece. Allowed to differ: the data and size field of the first resource
// 1060, the image resources length, and for an embedded 'liFD' payload that is a PSD/PSB on both sides: its data
// (compared the same way, recursively), its data length, item length and padding, the enclosing block's length
// and padding and the layer and mask section length. Every other byte must be identical.
DeepDifference compareOutsideEdits(const psd::Document& before, const psd::Document& after, int depth = 0);

// Empty when no XMP packet of doc or of its embedded PSD/PSB documents (at every level) still holds an element of
// the removal set, matched by namespace; otherwise where one was found.
std::string historyLeft(const psd::Document& doc, int depth = 0);

} // namespace psdtest
