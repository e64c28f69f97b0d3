#pragma once

#include <cstdint>
#include <string>

namespace psd {

constexpr std::uint32_t fourcc(const char (&s)[5])
{
    return (std::uint32_t(std::uint8_t(s[0])) << 24) | (std::uint32_t(std::uint8_t(s[1])) << 16) |
           (std::uint32_t(std::uint8_t(s[2])) << 8) | std::uint32_t(std::uint8_t(s[3]));
}

// Printable form of a four-character code; bytes outside ASCII 32..126 appear as \xNN.
std::string fourccText(std::uint32_t code);

namespace key {
constexpr std::uint32_t k8BPS = fourcc("8BPS");
constexpr std::uint32_t k8BIM = fourcc("8BIM");
constexpr std::uint32_t k8B64 = fourcc("8B64");
constexpr std::uint32_t kLr16 = fourcc("Lr16");
constexpr std::uint32_t kLr32 = fourcc("Lr32");
constexpr std::uint32_t kLayr = fourcc("Layr");
constexpr std::uint32_t kLnk2 = fourcc("lnk2");
constexpr std::uint32_t kLnkD = fourcc("lnkD");
constexpr std::uint32_t kLnk3 = fourcc("lnk3");
constexpr std::uint32_t kLnkE = fourcc("lnkE");
constexpr std::uint32_t kLuni = fourcc("luni");
constexpr std::uint32_t kLsct = fourcc("lsct");
constexpr std::uint32_t kLsdk = fourcc("lsdk");
constexpr std::uint32_t kSoLd = fourcc("SoLd");
constexpr std::uint32_t kSoLE = fourcc("SoLE");
constexpr std::uint32_t kPlLd = fourcc("PlLd");
constexpr std::uint32_t kLiFD = fourcc("liFD");
constexpr std::uint32_t kLiFE = fourcc("liFE");
constexpr std::uint32_t kLiFA = fourcc("liFA");
} // namespace key

// Width in bytes (4 or 8) of a tagged block's length field. PSB widens the length of some keys only; see the
// table in FourCC.cpp.
unsigned taggedBlockLengthWidth(std::uint16_t fileVersion, std::uint32_t blockKey);

} // namespace psd
