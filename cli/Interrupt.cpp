#include "cli/Interrupt.h"

#include "engine/StopRequest.h"

#include <csignal>

namespace cli {

void installInterruptHandlers()
{
    // The engine's own handlers: the file in progress is abandoned at its next step, its temporary removed.
    worker::stop_platform::installSystemHandlers();
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool interrupted()
{
    return worker::stopRequested();
}

void requestStop()
{
    worker::requestStop();
}

} // namespace cli
