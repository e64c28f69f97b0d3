#include "worker/TestHooks.h"

#include "engine/FileOps.h"
#include "engine/StopRequest.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace worker::files {

namespace {

void pauseFromEnvironment(std::string_view step)
{
    const char* wanted = std::getenv("LEANFOLD_WORKER_TEST_PAUSE");
    if (wanted == nullptr)
        return;
    std::string_view name = wanted;
    long occurrence = 1;
    if (const auto hash = name.find('#'); hash != std::string_view::npos) {
        occurrence = std::strtol(wanted + hash + 1, nullptr, 10);
        name = name.substr(0, hash);
    }
    if (step != name)
        return;
    static long reached = 0;
    if (++reached != occurrence)
        return;
    std::fprintf(stderr, "LEANFOLD_WORKER_PAUSED %s\n", wanted);
    std::fflush(stderr);
    // The test kills the worker here, or lets it go on by closing its standard input or asking it to stop.
    // Standard input belongs to the worker's own reader, which says when it ends.
    waitForInputEndOrStop();
}

int failureFromEnvironment(std::string_view step)
{
    const char* wanted = std::getenv("LEANFOLD_WORKER_TEST_FAIL");
    return wanted != nullptr && step == wanted ? EIO : 0;
}

} // namespace

void installEnvironmentTestHooks()
{
    installTestHooks(TestHooks{pauseFromEnvironment, failureFromEnvironment,
                               std::getenv("LEANFOLD_WORKER_TEST_CLONE_ANY_SIZE") != nullptr,
                               std::getenv("LEANFOLD_WORKER_TEST_XMP_PARSE_ALL") != nullptr,
                               std::getenv("LEANFOLD_WORKER_TEST_UNTIMED_GROUPS") != nullptr});
}

} // namespace worker::files
