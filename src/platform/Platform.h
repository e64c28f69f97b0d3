#pragma once

#include <QString>
#include <QtGlobal>

class QProcess;

// The one place that talks to the operating system directly. Everything above it is portable Qt code.
namespace Platform {

enum class InstanceLock {
    Acquired,       // this process is the first instance; the lock stays held until the process ends
    AlreadyRunning, // another process of this user holds it
    Failed          // the lock could not be created at all
};

// Takes the per-tool lock of this user. Windows: the named mutex "Local\Lumora.Tool.<toolId>".
// Linux: flock() on "Lumora.Tool.<toolId>.lock" in privateUserDirectory(), the folder that also holds the
// endpoint and the inbox, so every launch of the user (terminal, file manager, with or without a login session)
// meets the same lock. The kernel drops the lock when the process dies, however it dies, so a crash never leaves
// a stale lock behind.
// Calling it again after Acquired returns Acquired without taking a second lock.
InstanceLock acquireInstanceLock(const QString& toolId, QString* error = nullptr);

// Gives the lock back before the process ends (a restart hands it to the new process). Nothing when not held.
void releaseInstanceLock();

// The login name of the current user: "USERNAME" where set; otherwise the account name (Unix: getpwuid(getuid())).
QString userName();

// A folder that only the current user can enter, created on demand with mode 0700, its owner checked and never
// a symbolic link. Unix: "$XDG_RUNTIME_DIR/Lumora" when $XDG_RUNTIME_DIR is ours and private, otherwise
// "/run/user/<uid>/Lumora" when that is ours and private (a launch without the variable then still meets the
// desktop's launches), otherwise "<temp>/Lumora-<uid>" when that is ours and private, otherwise (another user
// planted that name) "Lumora-private" in the user's cache folder ($XDG_CACHE_HOME or ~/.cache, which must belong
// to the user and be writable by nobody else). Windows: "Lumora" under the per-user temporary folder.
// Returns an empty string, with *error filled when given, when no such folder can be had; callers must then not
// fall back to a shared place.
QString privateUserDirectory(QString* error = nullptr);

// Unix: privateUserDirectory() over the given candidates: the runtime folder (empty when unset), the user's
// system runtime folder, the temporary folder and the cache folder (empty for none).
QString choosePrivateUserDirectory(const QString& runtimeDir, const QString& userRunDir, const QString& tempDir,
                                   const QString& cacheDir, QString* error = nullptr);

// True when programFolder belongs to the system's package manager, where a program must not write at run time
// even when it could (root): Unix: under /usr, /bin, /sbin, /lib or /opt. Windows: never (a portable copy and an
// installed one alike keep their logs beside the program when the folder is writable).
bool isSystemProgramFolder(const QString& programFolder);

// How this system's file names compare: case-sensitively on Linux, where Photo.psd and photo.psd are two
// files, ignoring case on Windows, where they are one.
Qt::CaseSensitivity fileNameCase();

// Takes an exclusive lock shared by every process that locks the same file: flock() on Unix, LockFileEx on
// Windows. The file is created when missing (0600 on Unix, never through a symbolic link). Waits up to
// waitMilliseconds for a holder to let go, so a holder that hangs (a stopped process) delays but never stops the
// caller. Returns a handle for unlockFile, or -1 when the file cannot be opened or the lock was not had in time.
// Logs nothing: the runtime log calls it from its message handler.
qintptr lockFile(const QString& path, int waitMilliseconds);

// Gives the lock back and closes the file. Nothing for -1.
void unlockFile(qintptr handle);

// Asks a child program that knows no other request to end: SIGTERM where there is one; on Windows, where
// QProcess::terminate only reaches a program with a window, the child is ended at once.
void askToEnd(QProcess& process);

} // namespace Platform
