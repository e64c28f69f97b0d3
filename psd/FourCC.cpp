#include "psd/FourCC.h"

#include <array>
#include <cstdio>

namespace psd {

std::string fourccText(std::uint32_t code)
{
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned c = (code >> shift) & 0xff;
        if (c >= 32 && c < 127) {
            out += char(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

namespace {
// Keys whose length field is 8 bytes in PSB. The Adobe file-format document lists LMsk, Lr16, Lr32, Layr, Mt16,
// Mt32, Mtrn, Alph, FMsk, lnk2, FEid, FXid, PxSD; psd-tools adds lnk3, lnkE, pths, extd, extn, cinf, artd; the
// PSB files of the shared corpus bear out FMsk, cinf, lnk2, lnkE, Lr16, Lr32, LMsk, Mt32 and pths.
constexpr std::array kWideKeys = {
    fourcc("LMsk"), fourcc("Lr16"), fourcc("Lr32"), fourcc("Layr"), fourcc("Mt16"), fourcc("Mt32"), fourcc("Mtrn"),
    fourcc("Alph"), fourcc("FMsk"), fourcc("lnk2"), fourcc("FEid"), fourcc("FXid"), fourcc("PxSD"), fourcc("lnk3"),
    fourcc("lnkE"), fourcc("pths"), fourcc("extd"), fourcc("extn"), fourcc("cinf"), fourcc("artd"),
};
} // namespace

unsigned taggedBlockLengthWidth(std::uint16_t fileVersion, std::uint32_t blockKey)
{
    if (fileVersion != 2)
        return 4;
    for (const std::uint32_t k : kWideKeys) {
        if (k == blockKey)
            return 8;
    }
    return 4;
}

} // namespace psd
