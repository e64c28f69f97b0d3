#include "psd/Descriptor.h"

#include "psd/FourCC.h"

#include <vector>

namespace psd::descriptor {

namespace {

// A descriptor item holds at most this many entries; far more than any real file and small enough that a hostile
// count cannot keep the walker busy for long (each entry also needs at least 4 bytes).
constexpr std::uint32_t kMaxItems = 1u << 20;
// Text longer than this is stepped over, never loaded.
constexpr std::uint32_t kMaxLoadedUnits = 1u << 19;

bool unicodeString(Reader& r, std::string* out)
{
    const std::uint32_t units = r.u32();
    if (!r.ok())
        return false;
    if (units > r.remaining() / 2)
        return r.fail(ErrorCode::LengthBeyondParent, r.offset(), "descriptor string longer than its block");
    if (!out || units > kMaxLoadedUnits)
        return r.skip(std::uint64_t(units) * 2);
    std::vector<std::uint8_t> raw(std::size_t(units) * 2);
    if (!r.bytes(raw.data(), raw.size()))
        return false;
    std::size_t n = units;
    while (n > 0 && raw[2 * n - 2] == 0 && raw[2 * n - 1] == 0)
        --n; // strings are often stored with a terminating NUL
    *out = utf16BeToUtf8(raw.data(), n);
    return true;
}

// Class ids and keys: u32 length, then that many bytes, or a four-character code when the length is 0.
bool classId(Reader& r, std::string* out)
{
    const std::uint32_t len = r.u32();
    if (!r.ok())
        return false;
    const std::uint64_t n = len == 0 ? 4 : len;
    if (n > r.remaining())
        return r.fail(ErrorCode::LengthBeyondParent, r.offset(), "descriptor key longer than its block");
    if (!out || n > 1024)
        return r.skip(n); // keys are four-character codes or short names
    *out = r.string(n, r.remaining());
    return r.ok();
}

bool skipValue(Reader& r, std::uint32_t type, int depth);

bool skipReference(Reader& r)
{
    const std::uint32_t count = r.u32();
    if (!r.ok() || count > kMaxItems || count > r.remaining() / 4)
        return r.fail(ErrorCode::Malformed, r.offset(), "descriptor reference count implausible");
    for (std::uint32_t i = 0; i < count && r.ok(); ++i) {
        const std::uint32_t type = r.u32();
        switch (type) {
        case fourcc("prop"):
            unicodeString(r, nullptr) && classId(r, nullptr) && classId(r, nullptr);
            break;
        case fourcc("Clss"):
            unicodeString(r, nullptr) && classId(r, nullptr);
            break;
        case fourcc("Enmr"):
            unicodeString(r, nullptr) && classId(r, nullptr) && classId(r, nullptr) && classId(r, nullptr);
            break;
        case fourcc("rele"):
            unicodeString(r, nullptr) && classId(r, nullptr) && r.skip(4);
            break;
        case fourcc("Idnt"):
        case fourcc("indx"):
            r.skip(4);
            break;
        case fourcc("name"):
            unicodeString(r, nullptr) && classId(r, nullptr) && unicodeString(r, nullptr);
            break;
        default:
            return r.fail(ErrorCode::Unsupported, r.offset(), "unknown descriptor reference type " + fourccText(type));
        }
    }
    return r.ok();
}

bool skipValue(Reader& r, std::uint32_t type, int depth)
{
    if (depth > kMaxDepth)
        return r.fail(ErrorCode::TooDeep, r.offset(), "descriptor nesting too deep");
    switch (type) {
    case fourcc("TEXT"):
        return unicodeString(r, nullptr);
    case fourcc("long"):
        return r.skip(4);
    case fourcc("comp"):
    case fourcc("doub"):
        return r.skip(8);
    case fourcc("UntF"):
        return r.skip(12);
    case fourcc("bool"):
        return r.skip(1);
    case fourcc("enum"):
        return classId(r, nullptr) && classId(r, nullptr);
    case fourcc("type"):
    case fourcc("GlbC"):
        return unicodeString(r, nullptr) && classId(r, nullptr);
    case fourcc("Objc"):
    case fourcc("GlbO"):
        return skip(r, depth + 1);
    case fourcc("VlLs"): {
        const std::uint32_t count = r.u32();
        if (!r.ok() || count > kMaxItems || count > r.remaining() / 4)
            return r.fail(ErrorCode::Malformed, r.offset(), "descriptor list count implausible");
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t itemType = r.u32();
            if (!r.ok() || !skipValue(r, itemType, depth + 1))
                return false;
        }
        return true;
    }
    case fourcc("tdta"):
    case fourcc("alis"):
    case fourcc("Pth "): {
        const std::uint32_t len = r.u32();
        return r.ok() && r.skip(len);
    }
    case fourcc("obj "):
        return skipReference(r);
    case fourcc("UnFl"): {
        r.skip(4);
        const std::uint32_t count = r.u32();
        if (!r.ok() || count > r.remaining() / 8)
            return r.fail(ErrorCode::Malformed, r.offset(), "descriptor float list longer than its block");
        return r.skip(std::uint64_t(count) * 8);
    }
    default:
        return r.fail(ErrorCode::Unsupported, r.offset(), "unknown descriptor item type " + fourccText(type));
    }
}

// Walks one descriptor; when key is given, stops at the first top-level TEXT item of that name.
bool walk(Reader& r, int depth, const std::string* key, std::string* found, bool& hit)
{
    if (depth > kMaxDepth)
        return r.fail(ErrorCode::TooDeep, r.offset(), "descriptor nesting too deep");
    if (!unicodeString(r, nullptr) || !classId(r, nullptr))
        return false;
    const std::uint32_t count = r.u32();
    if (!r.ok() || count > kMaxItems || count > r.remaining() / 8)
        return r.fail(ErrorCode::Malformed, r.offset(), "descriptor item count implausible");
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string itemKey;
        if (!classId(r, key ? &itemKey : nullptr))
            return false;
        const std::uint32_t type = r.u32();
        if (!r.ok())
            return false;
        if (key && type == fourcc("TEXT") && itemKey == *key) {
            hit = true;
            return unicodeString(r, found);
        }
        if (!skipValue(r, type, depth))
            return false;
    }
    return r.ok();
}

} // namespace

bool skip(Reader& r, int depth)
{
    bool hit = false;
    return walk(r, depth, nullptr, nullptr, hit);
}

bool findText(Reader& r, const std::string& key, std::string& out)
{
    bool hit = false;
    if (!walk(r, 0, &key, &out, hit))
        return false;
    if (!hit)
        return r.fail(ErrorCode::NotFound, r.offset(), "descriptor has no text item " + key);
    return true;
}

} // namespace psd::descriptor
