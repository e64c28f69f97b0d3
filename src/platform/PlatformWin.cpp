#include "platform/Platform.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>

#include <windows.h>
#include <lmcons.h>

namespace Platform {

namespace {
HANDLE heldMutex = nullptr;
}

QString userName()
{
    const QString name = qEnvironmentVariable("USERNAME");
    if (!name.isEmpty())
        return name;
    // A program started without the variable (a service, a scheduled task) still belongs to an account.
    wchar_t account[UNLEN + 1];
    DWORD size = UNLEN + 1;
    return ::GetUserNameW(account, &size) ? QString::fromWCharArray(account) : QString();
}

bool isSystemProgramFolder(const QString&)
{
    return false;
}

QString privateUserDirectory(QString* error)
{
    // The temporary folder of a Windows user lies in the user's own profile, which other users cannot enter.
    const QString path =
        QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation)).filePath(QStringLiteral("Lumora"));
    if (QDir().mkpath(path))
        return path;
    if (error)
        *error = QStringLiteral("unable to create %1").arg(path);
    return QString();
}

InstanceLock acquireInstanceLock(const QString& toolId, QString* error)
{
    if (heldMutex)
        return InstanceLock::Acquired;
    const QString name = QStringLiteral("Local\\Lumora.Tool.%1").arg(toolId);
    HANDLE handle = ::CreateMutexW(nullptr, FALSE, reinterpret_cast<LPCWSTR>(name.utf16()));
    if (!handle) {
        if (error)
            *error = QStringLiteral("CreateMutexW failed with error %1").arg(::GetLastError());
        return InstanceLock::Failed;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(handle);
        return InstanceLock::AlreadyRunning;
    }
    heldMutex = handle; // stays open for the life of the process: it marks the first instance of the session
    return InstanceLock::Acquired;
}

void releaseInstanceLock()
{
    if (!heldMutex)
        return;
    ::CloseHandle(heldMutex);
    heldMutex = nullptr;
}

Qt::CaseSensitivity fileNameCase()
{
    return Qt::CaseInsensitive;
}

qintptr lockFile(const QString& path, int waitMilliseconds)
{
    const HANDLE file = ::CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    for (int waited = 0;; ++waited) {
        OVERLAPPED whole{};
        if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole))
            return reinterpret_cast<qintptr>(file);
        if (::GetLastError() != ERROR_LOCK_VIOLATION || waited >= waitMilliseconds)
            break;
        ::Sleep(1);
    }
    ::CloseHandle(file);
    return -1;
}

void unlockFile(qintptr handle)
{
    if (handle == -1)
        return;
    const HANDLE file = reinterpret_cast<HANDLE>(handle);
    OVERLAPPED whole{};
    ::UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    ::CloseHandle(file);
}

void askToEnd(QProcess& process)
{
    process.kill();
}

} // namespace Platform
