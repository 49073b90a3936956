// Linux: reading directories and file metadata, copying file data, renaming without replacing,
// naming an open file.

#include "qlplatform.h"

#include <QScopeGuard>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <algorithm>
#include <atomic>
#include <vector>

namespace QLPlatform {

qint64 modificationMSecs(const struct stat &st)
{
    return qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

SearchFolderRules searchFolderRules()
{
    SearchFolderRules rules;
    rules.systemNamesEverywhere = false;
    rules.indexListsHidden = true;
    rules.trashFoldersWithUid = true;
    // The XDG base directory rules: a relative XDG_DATA_HOME is invalid and ignored.
    QByteArray data = qgetenv("XDG_DATA_HOME");
    if (!data.startsWith('/')) {
        const QByteArray home = homeDirectory();
        data = home.startsWith('/') ? home + "/.local/share" : QByteArray();
    }
    if (!data.isEmpty())
        rules.userTrash = data + "/Trash";
    return rules;
}

bool hasHiddenFlag(const struct stat &)
{
    return false;
}

int openSubdirectory(int parentFd, const char *name, MountCrossing *crossing)
{
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    // Refused by kernels before 5.6 and by some container seccomp profiles (ENOSYS or
    // EPERM); then every open is a plain one and the caller compares devices itself.
    static std::atomic<bool> noOpenat2{false};
    if (!noOpenat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = flags;
        how.resolve = RESOLVE_NO_XDEV;
        const int fd = int(syscall(SYS_openat2, parentFd, name, &how, sizeof how));
        if (fd >= 0) {
            *crossing = MountCrossing::No;
            return fd;
        }
        if (errno == EXDEV) {
            *crossing = MountCrossing::Yes; // a mount point: opened below, crossing it
        } else if (errno == ENOSYS || errno == EPERM) {
            noOpenat2.store(true, std::memory_order_relaxed);
            *crossing = MountCrossing::Unknown;
        } else {
            return -1;
        }
    } else {
        *crossing = MountCrossing::Unknown;
    }
    return openat(parentFd, name, flags);
}

int availableDescriptors()
{
    // A search keeps several folders open at once. The soft limit is often far below the
    // hard one (1024 against 524288 under systemd), and a user may have lowered both.
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return 0;
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
            getrlimit(RLIMIT_NOFILE, &rl);
    }
    const long limit = rl.rlim_cur == RLIM_INFINITY ? 1L << 20 : long(std::min<rlim_t>(rl.rlim_cur, 1L << 20));
    long open = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (const dirent *e = readdir(d)) {
            if (e->d_name[0] != '.')
                ++open;
        }
        closedir(d);
        --open; // the listing's own descriptor
    }
    return int(std::max(0L, limit - open));
}

struct DirectoryReader::Impl
{
    int fd = -1;
    std::vector<char> buf = std::vector<char>(64 * 1024);
    size_t pos = 0;
    size_t end = 0;
    bool done = true;
};

DirectoryReader::DirectoryReader() : m_impl(new Impl) {}
DirectoryReader::~DirectoryReader() { delete m_impl; }

void DirectoryReader::reset(int fd)
{
    m_impl->fd = fd;
    m_impl->pos = m_impl->end = 0;
    m_impl->done = fd < 0;
}

bool DirectoryReader::next(Entry &entry)
{
    Impl &d = *m_impl;
    for (;;) {
        if (d.pos >= d.end) {
            if (d.done)
                return false;
            // getdents64 hands back many entries per call; readdir would do the same
            // behind an extra copy and a heap-allocated DIR per directory.
            const ssize_t n = getdents64(d.fd, d.buf.data(), d.buf.size());
            if (n <= 0) {
                d.done = true; // 0 is the end; an error (e.g. EIO on a failing disk) ends it too
                return false;
            }
            d.pos = 0;
            d.end = size_t(n);
        }
        const auto *ent = reinterpret_cast<const struct dirent64 *>(d.buf.data() + d.pos);
        d.pos += ent->d_reclen;
        const char *name = ent->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        entry.name = name;
        entry.length = strlen(name);
        entry.type = ent->d_type;
        return true;
    }
}

namespace {

// Copies the contents of one open file into another. Returns 0 or the errno.
int copyFileData(int src, int dst)
{
    // copy_file_range lets the file system share or copy blocks in the kernel.
    for (;;) {
        const ssize_t n = copy_file_range(src, nullptr, dst, nullptr, 1 << 30, 0);
        if (n == 0)
            return 0;
        if (n > 0)
            continue;
        if (errno == EINTR)
            continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF)
            break; // not offered between these two files: copy by hand
        return errno;
    }
    std::vector<char> buf(1 << 20);
    for (;;) {
        const ssize_t n = read(src, buf.data(), buf.size());
        if (n == 0)
            return 0;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(dst, buf.data() + done, size_t(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            done += w;
        }
    }
}

// Renames from to to, failing with EEXIST instead of replacing an existing to.
int renameNoReplace(const char *from, const char *to)
{
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing name too.
    if (link(from, to) == 0) {
        unlink(from);
        return 0;
    }
    if (errno == EEXIST)
        return EEXIST;
    // Nor hard links (FAT, exFAT): claim the name exclusively, then replace only our claim.
    const int claim = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (claim < 0)
        return errno;
    close(claim);
    if (rename(from, to) != 0) {
        const int e = errno;
        unlink(to);
        return e;
    }
    return 0;
}

// The copy's destination while it is written. Where the file system offers O_TMPFILE the
// file has no name until it is complete, so a copy that fails or is killed midway leaves
// nothing at all. Elsewhere it is a hidden temporary file that a failure removes and only
// a kill can leave behind.
class PendingFile final
{
public:
    ~PendingFile()
    {
        if (m_fd >= 0)
            close(m_fd);
        if (!m_tempPath.isEmpty())
            unlink(m_tempPath.constData());
    }

    int fd() const { return m_fd; }

    int create(const QByteArray &dir)
    {
        // An unnamed file gets its name through /proc/self/fd: linkat with AT_EMPTY_PATH
        // would need CAP_DAC_READ_SEARCH.
        if (access("/proc/self/fd", F_OK) == 0) {
            m_fd = open(dir.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
            if (m_fd >= 0)
                return 0;
            if (errno != EOPNOTSUPP && errno != EISDIR) // EISDIR: a kernel without O_TMPFILE
                return errno;
        }
        m_tempPath = dir + "/.qingluan-copy-XXXXXX";
        m_fd = mkostemp(m_tempPath.data(), O_CLOEXEC);
        if (m_fd < 0) {
            m_tempPath.clear();
            return errno;
        }
        return 0;
    }

    // Gives the complete file its name; EEXIST when the name is taken.
    int publish(const QByteArray &path)
    {
        if (m_tempPath.isEmpty()) {
            char self[32];
            snprintf(self, sizeof self, "/proc/self/fd/%d", m_fd);
            return linkat(AT_FDCWD, self, AT_FDCWD, path.constData(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
        }
        const int err = renameNoReplace(m_tempPath.constData(), path.constData());
        if (err == 0)
            m_tempPath.clear();
        return err;
    }

    // Closes the file, reporting a write error that only the close reveals (NFS).
    int finish()
    {
        const int fd = std::exchange(m_fd, -1);
        return close(fd) == 0 ? 0 : errno;
    }

private:
    int m_fd = -1;
    QByteArray m_tempPath; // empty for an unnamed file, or once renamed
};

int copyInto(const QByteArray &source, const QByteArray &dir, const std::function<QByteArray()> &freePath,
             QByteArray *dest)
{
    const int src = open(source.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (src < 0)
        return errno;
    const auto closeSource = qScopeGuard([src] { close(src); });
    struct stat st;
    if (fstat(src, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    PendingFile out;
    if (const int err = out.create(dir))
        return err;
    if (const int err = copyFileData(src, out.fd()))
        return err;
    // Keep what a file manager's copy keeps: permission bits and times.
    fchmod(out.fd(), st.st_mode & 07777);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out.fd(), times);
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
        *dest = freePath();
        err = out.publish(*dest);
    }
    if (err == 0 && (err = out.finish()) != 0)
        unlink(dest->constData());
    return err;
}

} // namespace

QByteArray copyIntoFolder(const QByteArray &source, const QByteArray &dir, const std::function<QByteArray()> &freePath,
                          QString *error)
{
    if (error)
        error->clear();
    QByteArray dest;
    const int err = copyInto(source, dir, freePath, &dest);
    if (err == 0)
        return dest;
    if (error)
        *error = errorText(err);
    return {};
}

bool hasFullDiskAccessSetting()
{
    return false;
}

QByteArray openFileUri(int fd, const QByteArray &)
{
    // The descriptor's own entry reopens the file it holds, and its name is plain ASCII.
    return "file:///proc/self/fd/" + QByteArray::number(fd);
}

} // namespace QLPlatform
