#include "cli/Options.h"

namespace cli {

namespace {

bool takeLong(std::string_view name, Options& options)
{
    if (name == "deep")
        options.deep = true;
    else if (name == "dry-run")
        options.dryRun = true;
    else if (name == "json")
        options.json = true;
    else if (name == "quiet")
        options.quiet = true;
    else if (name == "verbose")
        options.verbose = true;
    else if (name == "help")
        options.help = true;
    else if (name == "version")
        options.version = true;
    else
        return false;
    return true;
}

bool takeShort(char letter, Options& options)
{
    switch (letter) {
    case 'n':
        options.dryRun = true;
        return true;
    case 'q':
        options.quiet = true;
        return true;
    case 'v':
        options.verbose = true;
        return true;
    case 'h':
        options.help = true;
        return true;
    default:
        return false;
    }
}

} // namespace

bool parseOptions(const std::vector<std::string_view>& args, Options& options, std::string& error)
{
    options = Options{};
    bool optionsEnded = false;
    for (const std::string_view arg : args) {
        if (optionsEnded || arg.size() < 2 || arg.front() != '-') {
            // A lone "-" is a path too: the program never reads files from standard input.
            options.paths.emplace_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg.starts_with("--")) {
            if (!takeLong(arg.substr(2), options)) {
                error = "unknown option '" + std::string(arg) + "'";
                return false;
            }
        } else {
            for (const char letter : arg.substr(1)) {
                if (!takeShort(letter, options)) {
                    error = "unknown option '-" + std::string(1, letter) + "'";
                    return false;
                }
            }
        }
    }
    if (options.help || options.version)
        return true;
    if (options.quiet && options.verbose) {
        error = "--quiet and --verbose exclude each other";
        return false;
    }
    if (options.paths.empty()) {
        error = "no file or folder given";
        return false;
    }
    return true;
}

std::string usageText()
{
    return "Usage: leanfold-slim [options] PATH...\n"
           "Removes the editing history (xmpMM:History, photoshop:DocumentAncestors) from the XMP metadata of\n"
           "PSD and PSB files. Folders are walked recursively for *.psd and *.psb; symbolic links are not\n"
           "followed. Each new file is checked before it replaces the original in one atomic step.\n"
           "\n"
           "Options:\n"
           "      --deep       clean embedded PSD/PSB smart objects too\n"
           "  -n, --dry-run    report what a run would remove and save; write nothing\n"
           "      --json       one JSON object per file and a summary object, one per line\n"
           "  -q, --quiet      print failures only, no progress bar\n"
           "  -v, --verbose    print each step of every file\n"
           "  -h, --help       print this help and exit\n"
           "      --version    print the version and exit\n"
           "      --           end of options: every later argument is a path\n"
           "\n"
           "Exit status: 0 every file done, 2 nothing to do, 4 at least one file failed, 64 bad usage,\n"
           "130 interrupted (the files done so far stay done; the summary is printed).\n";
}

} // namespace cli
