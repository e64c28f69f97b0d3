#include "engine/StopRequest.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace worker::stop_platform {

namespace {

extern "C" void onStopSignal(int)
{
    requestStop(); // a lock-free atomic store: safe in a signal handler
}

} // namespace

void installSystemHandlers()
{
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted calls go on, so that no file operation fails for the signal; a second signal of the same kind
    // ends the process the ordinary way, for someone who does not want to wait.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    // Started in the background of an interactive shell, the reader of standard input (the terminal) would have the
    // whole process stopped; ignored, the read fails instead and the run goes on.
    ::signal(SIGTTIN, SIG_IGN);
}

bool readInput(char* buffer, std::size_t size, std::size_t& got)
{
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, size);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

} // namespace worker::stop_platform
