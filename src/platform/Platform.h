#pragma once

#include <QString>

// The one place that talks to the operating system directly. Everything above it is portable Qt code.
namespace Platform {

enum class InstanceLock {
    Acquired,       // this process is the first instance; the lock stays held until the process ends
    AlreadyRunning, // another process of this user and session holds it
    Failed          // the lock could not be created at all
};

// Takes the per-tool lock of this user's login session. Windows: the named mutex "Local\Lumora.Tool.<toolId>".
// Linux: flock() on "Lumora.Tool.<toolId>[.<session>].lock" in privateUserDirectory(); the kernel drops the
// lock when the process dies, however it dies, so a crash never leaves a stale lock behind.
// Calling it again after Acquired returns Acquired without taking a second lock.
InstanceLock acquireInstanceLock(const QString& toolId, QString* error = nullptr);

// Gives the lock back before the process ends (a restart hands it to the new process). Nothing when not held.
void releaseInstanceLock();

// The login name of the current user: "USERNAME" where set; on Unix otherwise the name of getpwuid(getuid()).
QString userName();

// A folder that only the current user can enter, created on demand with mode 0700, its owner checked and never
// a symbolic link. Unix: "$XDG_RUNTIME_DIR/Lumora" when $XDG_RUNTIME_DIR is ours and private, otherwise
// "<temp>/Lumora-<uid>". Windows: "Lumora" under the per-user temporary folder. Returns an empty string, with
// *error filled when given, when no such folder can be had; callers must then not fall back to a shared place.
QString privateUserDirectory(QString* error = nullptr);

} // namespace Platform
