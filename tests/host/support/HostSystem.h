#pragma once

#include <QtGlobal>

// Which system the tests run on, for rows whose expectation differs by platform.
namespace HostSystem {
#ifdef Q_OS_WIN
inline constexpr bool isWindows = true;
#else
inline constexpr bool isWindows = false;
#endif

// The Windows build runs under Wine, which has none of Windows' fonts: widths measured there are Wine's.
bool underWine();
} // namespace HostSystem
