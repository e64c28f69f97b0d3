#include "engine/StopRequest.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace worker {

namespace {

// Set from signal handlers too: it must be lock-free.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Never destroyed: the reader may still use it while the process exits.
struct InputState
{
    std::mutex mutex;
    std::condition_variable changed;
    bool ended = false;
};

InputState& input()
{
    static InputState* const state = new InputState;
    return *state;
}

// Longer lines are no command; they are skipped without being kept.
constexpr std::size_t kMaxLine = 64;

bool isStopLine(std::string_view line)
{
    if (line.ends_with('\r'))
        line.remove_suffix(1);
    return line == "STOP";
}

void readStopLines()
{
    std::string line;
    bool overlong = false;
    char buffer[256];
    std::size_t got = 0;
    while (stop_platform::readInput(buffer, sizeof buffer, got)) {
        for (std::size_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n') {
                if (!overlong && isStopLine(line))
                    requestStop();
                line.clear();
                overlong = false;
            } else if (line.size() < kMaxLine) {
                line += buffer[i];
            } else {
                overlong = true;
            }
        }
    }
    // A last line without its line feed counts as well.
    if (!overlong && isStopLine(line))
        requestStop();
    InputState& state = input();
    {
        const std::lock_guard<std::mutex> lock(state.mutex);
        state.ended = true;
    }
    state.changed.notify_all();
}

} // namespace

void listenForStopRequests()
{
    input();
    stop_platform::installSystemHandlers();
    // Detached: it may sit in a read until the process ends.
    std::thread(readStopLines).detach();
}

bool stopRequested()
{
    return g_stop.load(std::memory_order_relaxed);
}

void requestStop()
{
    g_stop.store(true, std::memory_order_relaxed);
}

void waitForInputEndOrStop()
{
    InputState& state = input();
    std::unique_lock<std::mutex> lock(state.mutex);
    // A signal handler cannot wake the wait, so the flag is looked at every few milliseconds.
    while (!state.ended && !stopRequested())
        state.changed.wait_for(lock, std::chrono::milliseconds(10));
}

} // namespace worker
