#include "cli/Interrupt.h"

#include <csignal>
#include <initializer_list>

#ifdef _WIN32
#include <windows.h>
#endif

namespace cli {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

#ifdef _WIN32
BOOL WINAPI onConsoleEvent(DWORD)
{
    g_interrupted = 1;
    return TRUE;
}
#else
extern "C" void onSignal(int)
{
    g_interrupted = 1;
}
#endif

} // namespace

void installInterruptHandlers()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // Restarted calls: a signal must not turn a read or write of the engine into an error.
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
#endif
}

bool interrupted()
{
    return g_interrupted != 0;
}

void requestStop()
{
    g_interrupted = 1;
}

} // namespace cli
