#include "support/FileState.h"

#include <QFileInfo>

#include <windows.h>

namespace FileState {

namespace {

bool information(const QString& path, BY_HANDLE_FILE_INFORMATION* info)
{
    const HANDLE file = ::CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = ::GetFileInformationByHandle(file, info) != 0;
    ::CloseHandle(file);
    return ok;
}

} // namespace

Info of(const QString& path)
{
    const QFileInfo entry(path);
    Info info;
    info.symlink = entry.isSymLink();
    info.ok = entry.exists() || info.symlink;
    info.regular = entry.isFile() && !info.symlink;
    return info;
}

bool sameFile(const QString& a, const QString& b)
{
    BY_HANDLE_FILE_INFORMATION first{};
    BY_HANDLE_FILE_INFORMATION second{};
    return information(a, &first) && information(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

QByteArray identity(const QString& path)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!information(path, &info))
        return QByteArray();
    return QByteArray::number(qulonglong(info.dwVolumeSerialNumber)) + ':' +
           QByteArray::number((qulonglong(info.nFileIndexHigh) << 32) | info.nFileIndexLow) + ':' +
           QByteArray::number((qulonglong(info.ftLastWriteTime.dwHighDateTime) << 32) |
                              info.ftLastWriteTime.dwLowDateTime);
}

bool setMode(const QString&, quint32)
{
    return false;
}

bool setOwner(const QString&, quint32)
{
    return false;
}

quint32 currentUser()
{
    return 0;
}

quint32 setCreationMask(quint32)
{
    return 0;
}

} // namespace FileState
