#pragma once

#include <cstdint>
#include <string>

namespace psd {

enum class ErrorCode {
    None = 0,
    Io,                 // the operating system refused a read, write or open
    Truncated,          // a field or section runs past the end of the data that holds it
    BadSignature,       // a magic value ('8BPS', '8BIM', ...) is not what the format requires
    UnsupportedVersion, // file version other than 1 (PSD) or 2 (PSB)
    BadHeader,          // a header field is outside the range the format allows
    LengthBeyondParent, // a declared length exceeds what is left in its enclosing section
    Malformed,          // a count or structure that cannot be right
    TooDeep,            // nesting beyond the reader's cap
    NotFound,           // the item asked for does not exist
    TooLarge,           // an edited length no longer fits its field
    WriteFailed,        // the sink refused bytes
    Unsupported,        // a valid construct this reader does not handle
};

const char* errorCodeName(ErrorCode code);

// Filled by every operation that can fail. offset is the byte position (in the source being read, or in the
// output being written) where the fault was found.
struct Error
{
    ErrorCode code = ErrorCode::None;
    std::uint64_t offset = 0;
    std::string message;

    // "<message> (at offset N)"
    std::string describe() const;
};

// Fills err and returns false, so a failing path reads `return fail(err, ...);`.
bool fail(Error& err, ErrorCode code, std::uint64_t offset, std::string message);

} // namespace psd
