#include "engine/StopRequest.h"

#include <windows.h>

namespace worker::stop_platform {

namespace {

BOOL WINAPI onConsoleControl(DWORD event)
{
    requestStop();
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE; // handled: the run ends on its own
    // Closing the console, log-off and shut-down end the process as soon as this returns: it waits here until the
    // run has cleaned up and the process exits (the system ends it after its own time-out anyway).
    Sleep(INFINITE);
    return TRUE;
}

} // namespace

void installSystemHandlers()
{
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool readInput(char* buffer, std::size_t size, std::size_t& got)
{
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE)
        return false;
    DWORD n = 0;
    if (GetFileType(input) == FILE_TYPE_CHAR) { // a console: its reads are synchronous whatever is asked
        if (!ReadFile(input, buffer, static_cast<DWORD>(size), &n, nullptr) || n == 0)
            return false;
        got = n;
        return true;
    }
    // A parent may hand over a pipe opened for overlapped I/O (Qt's QProcess does): a read without an OVERLAPPED
    // then fails at once with ERROR_IO_PENDING, which would read as the end of the input and lose the STOP line.
    // With one, the read waits on either kind of handle.
    OVERLAPPED request{};
    request.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (request.hEvent == nullptr)
        return false;
    BOOL ok = ReadFile(input, buffer, static_cast<DWORD>(size), &n, &request);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(input, &request, &n, TRUE);
    CloseHandle(request.hEvent);
    if (!ok || n == 0)
        return false;
    got = n;
    return true;
}

} // namespace worker::stop_platform
