// A stand-in for the image resize tool: it records the working folder and its arguments, one per line, into the
// file named by LEANFOLD_FAKE_RECORD and exits. The record is renamed into place whole, so a test that waits
// for the file never reads half of it; a second launch adds a numbered record beside the first, even when both
// start at once.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

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
        for (int i = 1; i < argc; ++i)
            out << argv[i] << '\n';
    }
    std::filesystem::rename(partial, name);
    return 0;
}
