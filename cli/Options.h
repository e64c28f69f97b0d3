#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cli {

// What the command line asks for. Paths are kept as given (UTF-8 on Windows, the raw bytes elsewhere).
struct Options
{
    bool deep = false;
    bool dryRun = false;
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> paths;
};

// Reads args (without the program name). Short options may be grouped ("-nq"); "--" ends the options, and so
// does nothing else: an option may follow a path. False with a one-line reason for bad usage (an unknown
// option, no path where one is needed, --quiet with --verbose).
bool parseOptions(const std::vector<std::string_view>& args, Options& options, std::string& error);

// The text --help prints.
std::string usageText();

} // namespace cli
