#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// What the host's tests read and set of files beyond Qt's reach: identity, owner and mode bits on Unix. On
// Windows, where a file has no owner id or mode bits, owner and mode read as 0 and cannot be set.
namespace FileState {

struct Info {
    bool ok = false;
    bool regular = false;
    bool symlink = false;
    quint32 owner = 0;
    quint32 mode = 0; // the permission bits, 07777
};

// The entry itself: a final symbolic link is not followed.
Info of(const QString& path);

// Both paths lead to the same file (links followed).
bool sameFile(const QString& a, const QString& b);

// The file's identity and last modification: equal for two reads only when the file was neither replaced nor
// written in between. Empty when the file cannot be read.
QByteArray identity(const QString& path);

bool setMode(const QString& path, quint32 mode);
bool setOwner(const QString& path, quint32 owner);
quint32 currentUser();

// Sets the creation mask and returns the one before.
quint32 setCreationMask(quint32 mask);

} // namespace FileState
