#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace worker {

// Returns text with every byte that does not belong to a well-formed UTF-8 sequence replaced by U+FFFD, so
// that whatever the worker prints stays valid UTF-8 (Linux file names are bytes, not text).
std::string toValidUtf8(std::string_view text);

// The bytes of a path as the file calls take them: UTF-8 on Windows, the name's own bytes elsewhere.
std::string pathBytes(const std::filesystem::path& path);
// A path as shown to people: its UTF-8 form, undecodable bytes replaced.
std::string pathText(const std::filesystem::path& path);
// The last component of path, shown the same way.
std::string fileNameText(const std::filesystem::path& path);

// A path from the UTF-8 text of a job file (on Windows the text must be converted; elsewhere it is the bytes).
std::filesystem::path pathFromUtf8(const std::string& text);

std::string asciiLower(std::string_view text);

} // namespace worker
