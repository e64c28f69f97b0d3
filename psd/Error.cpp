#include "psd/Error.h"

namespace psd {

const char* errorCodeName(ErrorCode code)
{
    switch (code) {
    case ErrorCode::None:
        return "None";
    case ErrorCode::Io:
        return "Io";
    case ErrorCode::Truncated:
        return "Truncated";
    case ErrorCode::BadSignature:
        return "BadSignature";
    case ErrorCode::UnsupportedVersion:
        return "UnsupportedVersion";
    case ErrorCode::BadHeader:
        return "BadHeader";
    case ErrorCode::LengthBeyondParent:
        return "LengthBeyondParent";
    case ErrorCode::Malformed:
        return "Malformed";
    case ErrorCode::TooDeep:
        return "TooDeep";
    case ErrorCode::NotFound:
        return "NotFound";
    case ErrorCode::TooLarge:
        return "TooLarge";
    case ErrorCode::WriteFailed:
        return "WriteFailed";
    case ErrorCode::Unsupported:
        return "Unsupported";
    }
    return "Unknown";
}

std::string Error::describe() const
{
    return message + " (at offset " + std::to_string(offset) + ")";
}

bool fail(Error& err, ErrorCode code, std::uint64_t offset, std::string message)
{
    err.code = code;
    err.offset = offset;
    err.message = std::move(message);
    return false;
}

} // namespace psd
