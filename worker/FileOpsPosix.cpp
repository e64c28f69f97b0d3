#include "worker/FileOps.h"

#include "worker/TextUtil.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace worker::files {

namespace {

bool ioFail(WorkerError& err, const std::string& what, const std::filesystem::path& path, int error)
{
    return fail(err, "IoError", what + " " + pathText(path) + ": " + std::strerror(error));
}

int openNoFollow(const std::filesystem::path& path, int flags, mode_t mode = 0)
{
    int fd;
    do
        fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int fdOf(const psd::File& file)
{
    return static_cast<int>(file.native());
}

bool ownedRegular(const struct stat& st)
{
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

// Puts the backup back under the original name without ever replacing a file that appeared there meanwhile.
bool restoreBackup(const std::filesystem::path& backup, const std::filesystem::path& original, WorkerError& err)
{
    if (::renameat2(AT_FDCWD, backup.c_str(), AT_FDCWD, original.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return ioFail(err, "cannot restore the backup of", original, errno);
    // The file system cannot rename without replacing: a hard link gives the same guarantee.
    if (::link(backup.c_str(), original.c_str()) == 0) {
        ::unlink(backup.c_str());
        return true;
    }
    return ioFail(err, "cannot restore the backup of", original, errno);
}

} // namespace

bool describe(const std::filesystem::path& path, FileInfo& info, WorkerError& err)
{
    info = FileInfo{};
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return true;
        return ioFail(err, "cannot examine", path, errno);
    }
    info.exists = true;
    info.regular = S_ISREG(st.st_mode);
    info.size = static_cast<std::uint64_t>(st.st_size);
    info.permissions = st.st_mode & 07777;
    info.owner = st.st_uid;
    info.group = st.st_gid;
    info.device = st.st_dev;
    info.inode = st.st_ino;
    info.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

TempFile::~TempFile()
{
    discard();
}

bool TempFile::create(const std::filesystem::path& original, WorkerError& err)
{
    discard();
    const std::filesystem::path folder = original.parent_path();
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::filesystem::path candidate = folder / temporaryName(original, randomPart());
        const int fd = openNoFollow(candidate, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return ioFail(err, "cannot create a temporary file for", original, errno);
        }
        // Held until the file is renamed or removed: clean-up skips locked temporaries.
        ::flock(fd, LOCK_EX | LOCK_NB);
        pausePoint("temp-opened"); // the file as the system created it
        ::fchmod(fd, 0600); // the umask may have taken the owner's bits away
        m_file = psd::File::adopt(fd);
        m_path = candidate;
        return true;
    }
    return fail(err, "IoError", "cannot find a free temporary name beside " + pathText(original));
}

bool TempFile::sync(WorkerError& err)
{
    if (::fsync(fdOf(m_file)) != 0)
        return ioFail(err, "cannot flush", m_path, errno);
    return true;
}

bool TempFile::takeAttributes(const FileInfo& original, WorkerError& err)
{
    // Owner first: changing the owner clears set-id bits, which the mode then puts back.
    if (::fchown(fdOf(m_file), static_cast<uid_t>(original.owner), static_cast<gid_t>(original.group)) != 0
        && errno != EPERM)
        return ioFail(err, "cannot set the owner of", m_path, errno);
    if (::fchmod(fdOf(m_file), static_cast<mode_t>(original.permissions)) != 0)
        return ioFail(err, "cannot set the permissions of", m_path, errno);
    return true;
}

bool TempFile::close(WorkerError& err)
{
    psd::Error perr;
    if (!m_file.close(perr))
        return fail(err, "IoError", "cannot close " + pathText(m_path) + ": " + perr.message);
    return true;
}

bool TempFile::replace(const std::filesystem::path& original, WorkerError& err)
{
    // rename(2) over the original is atomic: there is no instant at which original names nothing.
    if (::rename(m_path.c_str(), original.c_str()) != 0)
        return ioFail(err, "cannot replace", original, errno);
    m_path.clear();
    pausePoint("after-replace");
    WorkerError closeError;
    close(closeError); // the data is synced and in place; a late close error changes nothing
    return syncFolder(original.parent_path(), err);
}

void TempFile::discard()
{
    WorkerError ignored;
    if (!m_path.empty()) {
        ::unlink(m_path.c_str());
        m_path.clear();
    }
    close(ignored);
}

bool cleanLeftovers(const std::filesystem::path& original, LeftoverReport& report, WorkerError& err)
{
    report = LeftoverReport{};
    const std::filesystem::path folder = original.parent_path();
    bool changed = false;

    const std::filesystem::path backup = backupPath(original);
    struct stat st {};
    if (::lstat(backup.c_str(), &st) == 0 && ownedRegular(st)) {
        struct stat orig {};
        if (::lstat(original.c_str(), &orig) != 0 && errno == ENOENT) {
            if (!restoreBackup(backup, original, err))
                return false;
            report.restoredBackup = true;
        } else {
            // The original is either the untouched old file or the new, validated one; the backup is stale.
            if (::unlink(backup.c_str()) != 0)
                return ioFail(err, "cannot remove the stale backup", backup, errno);
            report.removedBackup = true;
        }
        changed = true;
    }

    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return ioFail(err, "cannot list the folder", folder, errno);
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (!isTemporaryNameOf(name, original))
            continue;
        const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue; // a link, a vanished entry or something we may not open: not ours to remove
        bool remove = false;
        if (::fstat(fd, &st) == 0 && ownedRegular(st))
            remove = ::flock(fd, LOCK_EX | LOCK_NB) == 0; // a locked temporary belongs to a running worker
        if (remove && ::unlinkat(dirFd, entry->d_name, 0) == 0) {
            ++report.removedTemporaries;
            changed = true;
        }
        ::close(fd);
    }
    ::closedir(dir);
    if (changed)
        return syncFolder(folder, err);
    return true;
}

bool syncFolder(const std::filesystem::path& folder, WorkerError& err)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return ioFail(err, "cannot open the folder", folder, errno);
    const int injected = injectedFailure("folder-sync");
    const bool ok = injected == 0 && (::fsync(fd) == 0 || errno == EINVAL); // some file systems cannot sync folders
    const int error = injected != 0 ? injected : errno;
    ::close(fd);
    if (!ok)
        return ioFail(err, "cannot flush the folder", folder, error);
    return true;
}

} // namespace worker::files
