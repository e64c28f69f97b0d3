// Any bytes as an XMP packet: the cleaner must not crash, and what it cuts must be exactly its reported ranges,
// leaving a packet that parses and holds no element of the removal set below the root.
#include "psd/xmp/XmpCleaner.h"

#include <expat.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

struct Listing {
    XML_Parser parser = nullptr;
    std::size_t depth = 0;
    std::size_t removable = 0;
};

// Parses on its own, with another separator that cannot occur in XML text either (a space can, inside a
// namespace URI, and expat rejects such a URI when the separator is a space); false when not well-formed.
bool countRemovable(std::string_view data, std::size_t& removable)
{
    // NUL padding is skipped only where the cleaner skips it: not in UTF-16/32, where NULs are text.
    const bool wide = data.size() >= 2 && (data[0] == '\0' || data[1] == '\0' || data.starts_with("\xFE\xFF") ||
                                           data.starts_with("\xFF\xFE"));
    const std::size_t last = data.find_last_not_of('\0');
    if (!wide)
        data = last == std::string_view::npos ? std::string_view{} : data.substr(0, last + 1);
    Listing l;
    l.parser = XML_ParserCreateNS(nullptr, '\x02');
    XML_SetUserData(l.parser, &l);
    XML_SetElementHandler(
        l.parser,
        [](void* user, const XML_Char* name, const XML_Char**) {
            auto* s = static_cast<Listing*>(user);
            const std::string_view n(name);
            const std::size_t sep = n.rfind('\x02');
            if (++s->depth > 1 && sep != std::string_view::npos &&
                psd::xmp::isRemovedElement(n.substr(0, sep), n.substr(sep + 1)))
                ++s->removable;
        },
        [](void* user, const XML_Char*) { --static_cast<Listing*>(user)->depth; });
    const bool ok = XML_Parse(l.parser, data.data(), int(data.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(l.parser);
    removable = l.removable;
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    using namespace psd::xmp;
    const std::string_view input(reinterpret_cast<const char*>(bytes), size);
    XmpCleanResult result;
    XmpError error;
    const bool examined = cleanXmpPacket(input, result, error);
    if (examined != (result.outcome == XmpOutcome::Cleaned || result.outcome == XmpOutcome::NothingToRemove))
        std::abort();
    if (result.outcome != XmpOutcome::Cleaned) {
        if (!result.packet.empty() || !result.removedRanges.empty() || result.removedElements != 0)
            std::abort();
        return 0;
    }

    // Sorted, inside the packet, and never touching: cuts that meet are one range.
    std::string expected;
    std::size_t from = 0;
    for (const ByteRange& r : result.removedRanges) {
        if ((from == 0 ? r.begin < from : r.begin <= from) || r.end <= r.begin || r.end > input.size())
            std::abort();
        expected.append(input.substr(from, std::size_t(r.begin) - from));
        from = std::size_t(r.end);
    }
    expected.append(input.substr(from));
    std::size_t removable = 0;
    if (expected != result.packet || result.removedElements < result.removedRanges.size() ||
        !countRemovable(result.packet, removable) || removable != 0)
        std::abort();
    return 0;
}
