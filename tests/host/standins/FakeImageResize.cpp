// A stand-in for the image resize tool: it records the working folder and its arguments, one per line, into the
// file named by LEANFOLD_FAKE_RECORD and exits. The record is renamed into place whole, so a test that waits
// for the file never reads half of it; a second launch adds a numbered record beside the first, even when both
// start at once.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

// The arguments as UTF-8. Windows hands main() its arguments in the ANSI code page, which has no room for most
// names; the wide command line has them whole.
std::vector<std::string> arguments(int argc, char** argv)
{
    std::vector<std::string> list;
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; wide && i < count; ++i) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(size > 1 ? std::size_t(size - 1) : 0, '\0');
        if (size > 1)
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, utf8.data(), size, nullptr, nullptr);
        list.push_back(utf8);
    }
    LocalFree(wide);
#else
    for (int i = 0; i < argc; ++i)
        list.emplace_back(argv[i]);
#endif
    return list;
}

} // namespace

int main(int argc, char** argv)
{
    const char* target = std::getenv("LEANFOLD_FAKE_RECORD");
    if (!target || !*target)
        return 2;
    // Two launches at the same moment must not take the same number: a name is claimed by making a folder beside
    // it, which only one process can do.
    std::string name = target;
    for (int n = 2; !std::filesystem::create_directory(name + ".claimed"); ++n)
        name = std::string(target) + "." + std::to_string(n);
    const std::string partial = name + ".partial";
    {
        std::ofstream out(partial, std::ios::binary);
        out << std::filesystem::current_path().generic_string() << '\n';
        const std::vector<std::string> given = arguments(argc, argv);
        for (std::size_t i = 1; i < given.size(); ++i)
            out << given[i] << '\n';
    }
    std::filesystem::rename(partial, name);
    return 0;
}
