#pragma once

// The platform half of psd::File's block sharing, block size and cache hints: FilePosix.cpp on POSIX systems,
// FileCloneWindows.cpp on Windows. Internal to psd/; callers use File.
#include "psd/File.h"

namespace psd::platform {

File::KernelCopy cloneRange(File::Native in, std::uint64_t inOffset, File::Native out, std::uint64_t outOffset,
                            std::uint64_t length, Error& err);
bool blockSize(File::Native handle, std::uint64_t& out, Error& err);
// Waits for the range to reach the disk, then drops it from the cache; false with err on a write-back error.
bool settle(File::Native handle, std::uint64_t offset, std::uint64_t length, Error& err);
void dropCached(File::Native handle, std::uint64_t offset, std::uint64_t length);

} // namespace psd::platform
