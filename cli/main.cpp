#include "cli/Interrupt.h"
#include "cli/Options.h"
#include "cli/Run.h"

#include "engine/FileProcessor.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <filesystem>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

bool stderrIsTerminal()
{
#ifdef _WIN32
    // The bar is redrawn with terminal escape sequences, which a Windows console takes only in this mode.
    if (_isatty(_fileno(stderr)) == 0)
        return false;
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) != 0 &&
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    return isatty(STDERR_FILENO) == 1;
#endif
}

int runCommand(const std::vector<std::string_view>& args)
{
    cli::Options options;
    std::string error;
    if (!cli::parseOptions(args, options, error)) {
        std::fprintf(stderr, "leanfold-slim: %s\nTry 'leanfold-slim --help' for more information.\n", error.c_str());
        return cli::kExitUsage;
    }
    if (options.help) {
        std::fputs(cli::usageText().c_str(), stdout);
        return cli::kExitOk;
    }
    if (options.version) {
        std::fputs("leanfold-slim " LEANFOLD_VERSION "\n", stdout);
        return cli::kExitOk;
    }
    cli::installInterruptHandlers();
    return cli::run(options, stdout, stderr, stderrIsTerminal());
}

} // namespace

#ifdef _WIN32
// Windows hands the arguments over as UTF-16; the program works in UTF-8 throughout.
int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> storage;
    for (int i = 1; i < argc; ++i) {
        const std::u8string u8 = std::filesystem::path(argv[i]).u8string();
        storage.emplace_back(u8.begin(), u8.end());
    }
    const std::vector<std::string_view> args(storage.begin(), storage.end());
    return runCommand(args);
}
#else
int main(int argc, char** argv)
{
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    return runCommand(args);
}
#endif
