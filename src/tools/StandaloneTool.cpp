#include "tools/IntegratedTools.h"

// The only translation unit that depends on the tool chosen at build time (LEANFOLD_TOOL in CMake), so the
// library and its tests are the same for every choice.
#ifndef LEANFOLD_STANDALONE_TOOL
#error "LEANFOLD_STANDALONE_TOOL must be defined by the build (-1 for none, else the enumerator value)"
#endif

namespace IntegratedTools {

bool standaloneTool(Tool* out)
{
#if LEANFOLD_STANDALONE_TOOL < 0
    Q_UNUSED(out);
    return false;
#else
    if (out)
        *out = static_cast<Tool>(LEANFOLD_STANDALONE_TOOL);
    return true;
#endif
}

} // namespace IntegratedTools
