#include "platform/Platform.h"

#include <QDir>
#include <QStandardPaths>

#include <windows.h>

namespace Platform {

namespace {
HANDLE heldMutex = nullptr;
}

QString userName()
{
    return qEnvironmentVariable("USERNAME");
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

} // namespace Platform
