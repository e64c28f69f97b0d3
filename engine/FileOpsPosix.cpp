#include "engine/FileOps.h"

#include "engine/TextUtil.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>

namespace worker::files {

namespace {

bool ioFail(WorkerError& err, const std::string& what, const std::filesystem::path& path, int error)
{
    return fail(err, "IoError", what + " " + pathText(path) + ": " + std::strerror(error));
}

int fdOf(const psd::File& file)
{
    return static_cast<int>(file.native());
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The folder, to work relative to. One that may be entered and written but not listed (a drop box) can still
// be worked in through a path descriptor, only not flushed.
int openFolder(const std::filesystem::path& folder)
{
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == EACCES)
        fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd;
}

bool flushFolder(int fd, const std::filesystem::path& folder, WorkerError& err)
{
    if (::fsync(fd) != 0 && errno != EINVAL) // some file systems cannot sync folders
        return ioFail(err, "cannot flush the folder", folder, errno);
    return true;
}

// Extended attribute names and values are bounded by the system (64 KiB each on Linux).
constexpr std::size_t kAttributeBytes = 65536;

// False with errno set when the names cannot be listed; a file system without extended attributes has none.
bool attributeNames(int fd, std::vector<std::string>& names)
{
    names.clear();
    std::vector<char> list(kAttributeBytes);
    const ssize_t length = ::flistxattr(fd, list.data(), list.size());
    if (length < 0)
        return errno == ENOTSUP || errno == ENOSYS;
    for (ssize_t at = 0; at < length;) {
        names.emplace_back(list.data() + at);
        at += static_cast<ssize_t>(names.back().size()) + 1;
    }
    return true;
}

// Access-control lists (system.posix_acl_access, an NFSv4 ACL, and XFS's own names for the POSIX ACL, which root
// sees beside the system ones) decide who may open the file: never lost quietly.
bool isAccessControl(const std::string& name)
{
    return name.rfind("system.", 0) == 0 || name.rfind("trusted.SGI_ACL_", 0) == 0;
}

// Every extended attribute of from onto to, and none that from lacks (such as an ACL inherited from the folder).
// An ACL that cannot be kept or removed fails; any other attribute is named in notCopied.
bool copyAttributes(int from, int to, const std::filesystem::path& path, std::vector<std::string>& notCopied,
                    WorkerError& err)
{
    std::vector<std::string> names, present;
    if (!attributeNames(from, names))
        return ioFail(err, "cannot list the extended attributes of the original of", path, errno);
    if (!attributeNames(to, present))
        return ioFail(err, "cannot list the extended attributes of", path, errno);
    const auto lost = [&](const std::string& name, int error) {
        if (isAccessControl(name))
            return ioFail(err, "cannot keep the access-control list (" + name + ") of the original of", path, error);
        notCopied.push_back(name + ": " + std::strerror(error));
        return true;
    };
    for (const std::string& name : present) {
        if (std::find(names.begin(), names.end(), name) == names.end() && ::fremovexattr(to, name.c_str()) != 0 &&
            !lost(name, errno))
            return false;
    }
    std::vector<char> value(kAttributeBytes);
    for (const std::string& name : names) {
        const ssize_t length = ::fgetxattr(from, name.c_str(), value.data(), value.size());
        if ((length < 0 || ::fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(length), 0) != 0) &&
            !lost(name, errno))
            return false;
    }
    return true;
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
    info.links = static_cast<std::uint64_t>(st.st_nlink);
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
    const int folderFd = openFolder(folder);
    if (folderFd < 0)
        return ioFail(err, "cannot open the folder of", original, errno);
    m_folder = psd::File::adopt(folderFd);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = temporaryName(original, randomPart());
        int fd;
        do
            fd = ::openat(folderFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return ioFail(err, "cannot create a temporary file for", original, errno);
        }
        m_file = psd::File::adopt(fd);
        m_path = folder / name;
        // Held until the file is closed before the rename: clean-up skips locked temporaries.
        ::flock(fd, LOCK_EX | LOCK_NB);
        pausePoint("temp-opened"); // the file as the system created it
        struct stat st
        {
        };
        if (::fstat(fd, &st) != 0)
            return ioFail(err, "cannot examine the temporary file for", original, errno);
        m_device = st.st_dev;
        m_inode = st.st_ino;
        return true;
    }
    return fail(err, "IoError", "cannot find a free temporary name beside " + pathText(original));
}

bool TempFile::sync(WorkerError& err)
{
    psd::Error perr;
    if (!m_file.sync(perr))
        return fail(err, "IoError", "cannot flush " + pathText(m_path) + ": " + perr.message);
    // Closed before the rename, so that its error (a network file system reports late writes here) fails the file
    // while the original is still in place.
    return close(err);
}

bool TempFile::takeOwner(const psd::File& original, WorkerError& err)
{
    struct stat st
    {
    }, mine{};
    if (::fstat(fdOf(original), &st) != 0 || ::fstat(fdOf(m_file), &mine) != 0)
        return ioFail(err, "cannot examine the original of", m_path, errno);
    // Only root may give a file away, and others may choose only among their own groups: a file of another user,
    // in a folder this user may write, is not taken over.
    if ((mine.st_uid != st.st_uid || mine.st_gid != st.st_gid) && ::fchown(fdOf(m_file), st.st_uid, st.st_gid) != 0)
        return fail(err, "IoError",
                    "cannot keep the owner (" + std::to_string(st.st_uid) + ") and group (" +
                        std::to_string(st.st_gid) + ") of the file, so it is left unchanged: " + std::strerror(errno));
    return true;
}

bool TempFile::takeAttributes(const psd::File& original, std::vector<std::string>& notCopied, WorkerError& err)
{
    struct stat st
    {
    };
    if (::fstat(fdOf(original), &st) != 0)
        return ioFail(err, "cannot examine the original of", m_path, errno);
    // The owner was set before the data (which clears set-id bits); the mode puts them back.
    if (::fchmod(fdOf(m_file), st.st_mode & 07777) != 0)
        return ioFail(err, "cannot set the permissions of", m_path, errno);
    // After the mode: an access ACL sets the group bits of the mode to its mask, as they are on the original.
    return copyAttributes(fdOf(original), fdOf(m_file), m_path, notCopied, err);
}

bool TempFile::close(WorkerError& err)
{
    psd::Error perr;
    if (!m_file.close(perr))
        return fail(err, "IoError", "cannot close " + pathText(m_path) + ": " + perr.message);
    return true;
}

bool TempFile::replace(const std::filesystem::path& original, const psd::File& read, ReplaceWarning& warning,
                       WorkerError& err, FolderFlush flush)
{
    warning = ReplaceWarning{};
    const int folderFd = fdOf(m_folder);
    const std::string tempName = m_path.filename().native();
    const std::string originalName = original.filename().native();
    struct stat named
    {
    };
    if (::fstatat(folderFd, tempName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != m_device ||
        named.st_ino != m_inode)
        return fail(err, "IoError", "the temporary " + pathText(m_path) + " is no longer the file that was checked");
    struct stat wasRead
    {
    };
    if (::fstat(fdOf(read), &wasRead) != 0 ||
        ::fstatat(folderFd, originalName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(wasRead, named))
        return fail(err, "IoError", pathText(original) + " was replaced by another file while it was being slimmed");
    // rename(2) over the original is atomic: there is no instant at which original names nothing.
    if (::renameat(folderFd, tempName.c_str(), folderFd, originalName.c_str()) != 0)
        return ioFail(err, "cannot replace", original, errno);
    m_path.clear();
    m_replaced = original;
    pausePoint("after-replace");
    WorkerError flushError;
    if (flush == FolderFlush::Now && !flushFolder(flushError))
        warning = {ReplaceWarning::Kind::FolderNotFlushed, flushError.message};
    return true;
}

bool TempFile::flushFolder(WorkerError& err)
{
    const std::filesystem::path folder = m_replaced.parent_path();
    if (const int injected = injectedFailure("folder-sync"); injected != 0)
        return ioFail(err, "cannot flush the folder", folder, injected);
    return files::flushFolder(fdOf(m_folder), folder, err);
}

void TempFile::discard()
{
    WorkerError ignored;
    if (!m_path.empty()) {
        // Only our own file: another one put under its name meanwhile is not ours to remove.
        struct stat named
        {
        };
        const std::string name = m_path.filename().native();
        if (::fstatat(fdOf(m_folder), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == m_device &&
            named.st_ino == m_inode)
            ::unlinkat(fdOf(m_folder), name.c_str(), 0);
        m_path.clear();
    }
    close(ignored);
    psd::Error folderError;
    m_folder.close(folderError);
}

namespace {

// Removes the temporary name in the folder dirFd if it is a leftover: a regular file of this user that no running
// worker holds locked. Links are never followed.
bool removeLeftover(int dirFd, const char* name, LeftoverReport& report)
{
    const int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false; // a link, a vanished entry or something we may not open: not ours to remove
    struct stat st
    {
    };
    bool remove = false;
    if (::fstat(fd, &st) == 0 && ownedRegular(st))
        remove = ::flock(fd, LOCK_EX | LOCK_NB) == 0; // a locked temporary belongs to a running worker
    const bool removed = remove && ::unlinkat(dirFd, name, 0) == 0;
    if (removed)
        ++report.removedTemporaries;
    ::close(fd);
    return removed;
}

} // namespace

bool cleanLeftovers(const std::filesystem::path& original, LeftoverPass pass, LeftoverReport& report, WorkerError& err,
                    TemporaryNames* names)
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
        } else if (pass == LeftoverPass::BeforeSlimming) {
            // The original is either the untouched old file or the new, validated one; the backup is stale.
            if (::unlink(backup.c_str()) != 0)
                return ioFail(err, "cannot remove the stale backup", backup, errno);
            report.removedBackup = true;
        }
        changed = true;
    }

    if (names != nullptr && pass == LeftoverPass::BeforeSlimming) {
        const std::vector<std::string>* listed = nullptr;
        if (!names->in(folder, listed, err))
            return false;
        if (listed == nullptr)
            return true; // a folder we may not list (nor flush): no temporary of ours can be found in it
        const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dirFd < 0)
            return ioFail(err, "cannot list the folder", folder, errno);
        std::vector<std::string> removed;
        for (const std::string& name : *listed) {
            if (isTemporaryNameOf(name, original) && removeLeftover(dirFd, name.c_str(), report))
                removed.push_back(name);
        }
        ::close(dirFd);
        for (const std::string& name : removed)
            names->forget(folder, name);
        changed = changed || !removed.empty();
        return changed ? syncFolder(folder, err) : true;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr && errno == EACCES)
        return true; // a folder we may not list (nor flush): no temporary of ours can be found in it
    if (dir == nullptr)
        return ioFail(err, "cannot list the folder", folder, errno);
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (isTemporaryNameOf(entry->d_name, original) && removeLeftover(dirFd, entry->d_name, report))
            changed = true;
    }
    ::closedir(dir);
    if (changed)
        return syncFolder(folder, err);
    return true;
}

bool TemporaryNames::in(const std::filesystem::path& folder, const std::vector<std::string>*& names, WorkerError& err)
{
    names = nullptr;
    auto found = m_folders.find(folder);
    if (found == m_folders.end()) {
        Folder listing;
        DIR* dir = ::opendir(folder.c_str());
        if (dir == nullptr && errno != EACCES)
            return ioFail(err, "cannot list the folder", folder, errno);
        listing.listable = dir != nullptr;
        while (dir != nullptr) {
            const dirent* entry = ::readdir(dir);
            if (entry == nullptr)
                break;
            const std::string_view name = entry->d_name;
            if (!name.empty() && name[0] == '.' && name.find(kTempMarker) != std::string_view::npos)
                listing.names.emplace_back(name);
        }
        if (dir != nullptr)
            ::closedir(dir);
        found = m_folders.emplace(folder, std::move(listing)).first;
    }
    if (found->second.listable)
        names = &found->second.names;
    return true;
}

void TemporaryNames::forget(const std::filesystem::path& folder, const std::string& name)
{
    const auto found = m_folders.find(folder);
    if (found == m_folders.end())
        return;
    std::vector<std::string>& names = found->second.names;
    names.erase(std::remove(names.begin(), names.end(), name), names.end());
}

bool ownerCouldBeKept(const std::filesystem::path& original, const psd::File& read, WorkerError& err)
{
    struct stat st
    {
    }, folder{};
    if (::fstat(fdOf(read), &st) != 0 || ::stat(original.parent_path().c_str(), &folder) != 0)
        return ioFail(err, "cannot examine", original, errno);
    if (::geteuid() == 0)
        return true;
    // A new file gets this user and its group, or the folder's group in a set-group-ID folder; a user may give
    // a file of its own only to one of its groups.
    const gid_t newGroup = (folder.st_mode & S_ISGID) != 0 ? folder.st_gid : ::getegid();
    bool groupKept = st.st_gid == newGroup || st.st_gid == ::getegid();
    if (!groupKept) {
        const int count = ::getgroups(0, nullptr);
        std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
        if (count > 0 && ::getgroups(count, groups.data()) == count)
            groupKept = std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    }
    if (st.st_uid != ::geteuid() || !groupKept)
        return fail(err, "IoError",
                    "cannot keep the owner (" + std::to_string(st.st_uid) + ") and group (" +
                        std::to_string(st.st_gid) + ") of the file, so it is left unchanged: " + std::strerror(EPERM));
    return true;
}

bool folderSharesBlocks(const std::filesystem::path& original, const psd::File& read, std::uint64_t length)
{
#ifdef O_TMPFILE
    const int fd = ::open(original.parent_path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    psd::File probe = psd::File::adopt(fd);
    psd::Error perr;
    return probe.cloneFrom(read, 0, 0, length, perr) == psd::File::KernelCopy::Done;
#else
    (void)original;
    (void)read;
    (void)length;
    return false;
#endif
}

bool syncFolder(const std::filesystem::path& folder, WorkerError& err)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return ioFail(err, "cannot open the folder", folder, errno);
    const bool ok = flushFolder(fd, folder, err);
    ::close(fd);
    return ok;
}

} // namespace worker::files
