#include "support/FileState.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace FileState {

Info of(const QString& path)
{
    Info info;
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return info;
    info.ok = true;
    info.regular = S_ISREG(st.st_mode);
    info.symlink = S_ISLNK(st.st_mode);
    info.owner = st.st_uid;
    info.mode = st.st_mode & 07777;
    return info;
}

bool sameFile(const QString& a, const QString& b)
{
    struct stat first {};
    struct stat second {};
    return ::stat(QFile::encodeName(a).constData(), &first) == 0 &&
           ::stat(QFile::encodeName(b).constData(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

QByteArray identity(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QByteArray();
    return QByteArray::number(qulonglong(st.st_dev)) + ':' + QByteArray::number(qulonglong(st.st_ino)) + ':' +
           QByteArray::number(qlonglong(st.st_mtim.tv_sec)) + '.' + QByteArray::number(qlonglong(st.st_mtim.tv_nsec));
}

bool setMode(const QString& path, quint32 mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

bool setOwner(const QString& path, quint32 owner)
{
    return ::chown(QFile::encodeName(path).constData(), uid_t(owner), gid_t(owner)) == 0;
}

quint32 currentUser()
{
    return ::geteuid();
}

quint32 setCreationMask(quint32 mask)
{
    return ::umask(mode_t(mask));
}

} // namespace FileState
