#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace cli {

// One entry of the run, in the order it is processed. A path that cannot be processed at all (missing, a
// symbolic link, an unreadable folder, one of our own temporary files) carries its reason and fails alone.
struct Target
{
    std::filesystem::path path;
    std::string error; // empty for a file to slim
};

// A name the queue takes from a folder: .psd or .psb in any case.
bool hasDocumentSuffix(const std::filesystem::path& path);
// A temporary or backup name that a run of ours makes beside a document.
bool isOwnWorkFile(const std::filesystem::path& path);

// Expands the command line's paths in order. A file named directly is taken whatever its suffix; a folder gives
// its documents (sorted by name, sub-folders walked in place, depth first). Symbolic links are never followed:
// one met in a folder is passed over, one named directly is an error for that path, as the engine refuses
// anything but a regular file. A file reached twice (named twice, or inside a folder also named) is listed once,
// where it is first reached.
std::vector<Target> expandPaths(const std::vector<std::filesystem::path>& paths);

} // namespace cli
