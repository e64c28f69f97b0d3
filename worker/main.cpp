#include "worker/JobRunner.h"
#include "engine/StopRequest.h"
#ifdef LEANFOLD_WORKER_TEST_HOOKS
#include "worker/TestHooks.h"
#endif

#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Only LeanfoldWorkerTest.exe, built for the tests, has hooks; the shipped worker is built without them.
void installHooks()
{
#ifdef LEANFOLD_WORKER_TEST_HOOKS
    worker::files::installEnvironmentTestHooks();
#endif
    worker::listenForStopRequests();
}

} // namespace

#ifdef _WIN32
#include <filesystem>

// Windows hands the arguments over as UTF-16; the worker works in UTF-8 throughout.
int wmain(int argc, wchar_t** argv)
{
    installHooks();
    std::vector<std::string> storage;
    for (int i = 1; i < argc; ++i) {
        const std::u8string u8 = std::filesystem::path(argv[i]).u8string();
        storage.emplace_back(u8.begin(), u8.end());
    }
    const std::vector<std::string_view> args(storage.begin(), storage.end());
    return worker::runWorker(args, std::cout, std::cerr);
}
#else
int main(int argc, char** argv)
{
    installHooks();
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    return worker::runWorker(args, std::cout, std::cerr);
}
#endif
