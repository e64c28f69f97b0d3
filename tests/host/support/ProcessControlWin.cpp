#include "support/ProcessControl.h"

#include <QFileInfo>

#include <windows.h>

namespace ProcessControl {

namespace {

// NtSuspendProcess and NtResumeProcess have no import library entry in mingw-w64; ntdll always exports them.
using ProcessCall = LONG(WINAPI*)(HANDLE);

bool callNtdll(const char* name, qint64 pid)
{
    const auto call = reinterpret_cast<ProcessCall>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
    HANDLE process = OpenProcess(PROCESS_SUSPEND_RESUME, FALSE, DWORD(pid));
    if (!call || !process)
        return false;
    const bool ok = call(process) >= 0;
    CloseHandle(process);
    return ok;
}

} // namespace

bool isGone(qint64 pid)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

bool kill(qint64 pid)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (!process)
        return false;
    const bool ok = TerminateProcess(process, 1) != 0;
    CloseHandle(process);
    return ok;
}

bool pause(qint64 pid)
{
    return callNtdll("NtSuspendProcess", pid);
}

bool resume(qint64 pid)
{
    return callNtdll("NtResumeProcess", pid);
}

QString executableOf(qint64 pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return QString();
    wchar_t path[32768];
    DWORD size = DWORD(std::size(path));
    const bool ok = QueryFullProcessImageNameW(process, 0, path, &size) != 0;
    CloseHandle(process);
    return ok ? QFileInfo(QString::fromWCharArray(path, int(size))).canonicalFilePath() : QString();
}

} // namespace ProcessControl
