// The directory walk.
//
// Contract: the walk only lists directories and stats candidate files; it never opens a
// file, never follows a symbolic link into a directory, never writes. It visits
// directories depth-first in pre-order: a directory's files are handled while its listing
// is read, then its subdirectories one by one, each counted when it is met. It does not
// recurse on the call stack and keeps at most kMaxOpenDirs directory descriptors open, so
// trees thousands of levels deep (and deeper than PATH_MAX) are walked to the end.

#include "pathutil.h"
#include "qlmediasearch.h"
#include "qlplatform.h"
#include "searchstate.h"
#include "walk.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const QList<QByteArray> &QLSkipDirNames()
{
    static const QList<QByteArray> names = {
        ".Trashes", ".Spotlight-V100", ".fseventsd", ".DocumentRevisions-V100", ".TemporaryItems",
        ".AppleDouble", ".DS_Store", ".Trash", "node_modules", ".git", ".svn", ".hg", "Caches",
        "Cache", ".npm", ".yarn", ".gradle", ".m2", "DerivedData", "Library", "Mobile Documents",
        "System", "private", "usr", "opt", "dev", "net", "home", "cores", "Applications",
        "InstallerSandboxes",
    };
    return names;
}

namespace {

constexpr size_t kMaxOpenDirs = 48;
constexpr quint64 kProgressEvery = 200;

// Folders that are documents or applications to the Mac's Finder: counted, never entered.
constexpr std::array<std::string_view, 35> kPackageExtensions = {
    "app", "bundle", "framework", "plugin", "kext", "component", "vst", "vst3", "aaxplugin",
    "logicx", "band", "photoslibrary", "musiclibrary", "tvlibrary", "imovielibrary", "fcpbundle",
    "rtfd", "pages", "numbers", "key", "xcodeproj", "xcworkspace", "pkg", "mpkg", "appex", "xpc",
    "prefpane", "qlgenerator", "mdimporter", "saver", "sparsebundle", "dsym", "playground",
    "xcarchive", "scptd",
};

// The extension of a file name: the text after the last dot, none when the only dot leads
// the name (".profile") or ends it.
std::string_view extensionOf(std::string_view name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return {};
    return name.substr(dot + 1);
}

bool isPackageName(std::string_view name)
{
    const std::string_view ext = extensionOf(name);
    if (ext.empty() || ext.size() > 16)
        return false;
    char lower[16];
    for (size_t i = 0; i < ext.size(); ++i)
        lower[i] = qlAsciiLower(ext[i]);
    const std::string_view l(lower, ext.size());
    return std::find(kPackageExtensions.begin(), kPackageExtensions.end(), l) != kPackageExtensions.end();
}

bool isSkipName(std::string_view name)
{
    for (const QByteArray &skip : QLSkipDirNames()) {
        if (std::string_view(skip.constData(), size_t(skip.size())) == name)
            return true;
    }
    return false;
}

class Walker final
{
public:
    explicit Walker(QLSearchState &state, const QLProgressCallback &onProgress)
        : m_state(state)
        , m_onProgress(onProgress)
    {
        for (const QByteArray &m : QLPlatform::virtualFileSystemMounts())
            m_virtualMounts.emplace_back(m.constData(), size_t(m.size()));
        std::sort(m_virtualMounts.begin(), m_virtualMounts.end());
    }

    ~Walker() { closeAll(); }

    // False when the walk must end: cancelled or limit reached.
    bool walkRoot(const QByteArray &root);

private:
    struct Level
    {
        int fd = -1;
        dev_t dev = 0; // identity, recorded when the descriptor is closed early
        ino_t ino = 0;
        bool abandoned = false;
        std::string subdirs; // NUL-separated names still to visit
        size_t next = 0;
        size_t prefixLen = 0; // length of this directory's path in m_path, with its '/'
    };

    bool readListing(size_t level);
    bool handleFile(int dirfd, const char *name, size_t len, unsigned char type, const struct stat *known);
    // Opens name in level parent; m_path must hold the parent's prefix followed by name.
    bool pushChild(size_t parent, const char *name);
    void popLevel();
    void makeRoomForDescriptor();
    void closeAll();
    bool isVirtualMount(std::string_view dirPath) const
    {
        return std::binary_search(m_virtualMounts.begin(), m_virtualMounts.end(), dirPath,
                                  [](std::string_view a, std::string_view b) { return a < b; });
    }
    void reportProgress(const char *name, size_t len)
    {
        if (m_onProgress && m_state.directoryCount % kProgressEvery == 0)
            m_onProgress(m_state.directoryCount, QString::fromUtf8(name, qsizetype(len)));
    }

    QLSearchState &m_state;
    const QLProgressCallback &m_onProgress;
    std::vector<std::string> m_virtualMounts;
    std::vector<Level> m_levels; // grows, never shrinks: buffers are reused
    size_t m_depth = 0;
    size_t m_openCount = 0;
    size_t m_evictFrom = 0; // every level below this one has its descriptor closed
    std::string m_path;
    QLPlatform::DirectoryReader m_reader;
};

bool Walker::walkRoot(const QByteArray &root)
{
    if (root.isEmpty())
        return true;
    std::string_view r(root.constData(), size_t(root.size()));
    while (r.size() > 1 && r.back() == '/')
        r.remove_suffix(1);
    if (isVirtualMount(r))
        return true;

    // The root itself may be a symbolic link (a user's "Music" pointing at another disk).
    const int fd = open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return true;
    m_path.assign(r);
    if (m_path != "/")
        m_path += '/';
    m_depth = 0;
    m_evictFrom = 0;
    if (m_levels.empty())
        m_levels.emplace_back();
    Level &top = m_levels[0];
    top.fd = fd;
    top.abandoned = false;
    top.subdirs.clear();
    top.next = 0;
    top.prefixLen = m_path.size();
    m_depth = 1;
    m_openCount = 1;

    bool go = readListing(0);
    while (go && m_depth > 0) {
        const size_t li = m_depth - 1;
        // Grow the stack now, so that pushing a child cannot move the name read below.
        if (m_levels.size() <= m_depth)
            m_levels.emplace_back();
        Level &level = m_levels[li];
        if (level.abandoned || level.next >= level.subdirs.size()) {
            popLevel();
            continue;
        }
        const char *name = level.subdirs.data() + level.next;
        const size_t len = std::strlen(name);
        level.next += len + 1;

        if (m_state.isCancelled()) {
            go = false;
            break;
        }
        ++m_state.directoryCount;
        const std::string_view n(name, len);
        if (m_state.options.skipHidden() && len >= 2 && name[0] == '.')
            continue;
        if (isSkipName(n))
            continue;
        m_path.resize(level.prefixLen);
        m_path.append(n);
        // A virtual file system (/proc, /sys, ...) is never entered, nor even listed.
        if (!m_virtualMounts.empty() && isVirtualMount(m_path))
            continue;
        reportProgress(name, len);
        if (isPackageName(n))
            continue;
        if (!pushChild(li, name))
            continue;
        go = readListing(m_depth - 1);
    }
    closeAll();
    return go;
}

bool Walker::pushChild(size_t parent, const char *name)
{
    if (m_levels[parent].fd < 0)
        return false;
    makeRoomForDescriptor();
    // O_NOFOLLOW: a directory swapped for a symbolic link since it was listed is not entered.
    const int fd = openat(m_levels[parent].fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false; // EACCES, EPERM, vanished, ELOOP: skipped silently
    if (m_levels.size() <= m_depth)
        m_levels.emplace_back();
    Level &child = m_levels[m_depth];
    child.fd = fd;
    child.abandoned = false;
    child.subdirs.clear();
    child.next = 0;
    m_path += '/'; // m_path holds the child's path already (see walkRoot)
    child.prefixLen = m_path.size();
    ++m_depth;
    ++m_openCount;
    return true;
}

void Walker::makeRoomForDescriptor()
{
    // Too many levels hold a descriptor: close the shallowest one. It is reopened through
    // ".." when the walk comes back up to it, and checked to be the same directory.
    while (m_openCount >= kMaxOpenDirs && m_evictFrom + 1 < m_depth) {
        Level &l = m_levels[m_evictFrom++];
        if (l.fd < 0)
            continue;
        struct stat st;
        if (fstat(l.fd, &st) == 0) {
            l.dev = st.st_dev;
            l.ino = st.st_ino;
        } else {
            l.abandoned = true;
        }
        close(l.fd);
        l.fd = -1;
        --m_openCount;
    }
}

void Walker::popLevel()
{
    Level &child = m_levels[m_depth - 1];
    if (m_depth >= 2) {
        const size_t pi = m_depth - 2;
        Level &parent = m_levels[pi];
        if (parent.fd < 0 && !parent.abandoned) {
            int fd = child.fd >= 0 ? openat(child.fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
            struct stat st;
            if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_dev != parent.dev || st.st_ino != parent.ino)) {
                // The tree was moved while we were below it: what is left of this
                // directory is no longer where we met it.
                close(fd);
                fd = -1;
            }
            if (fd >= 0) {
                parent.fd = fd;
                ++m_openCount;
                m_evictFrom = std::min(m_evictFrom, pi);
            } else {
                parent.abandoned = true;
            }
        }
    }
    if (child.fd >= 0) {
        close(child.fd);
        child.fd = -1;
        --m_openCount;
    }
    --m_depth;
    if (m_evictFrom > m_depth)
        m_evictFrom = m_depth;
}

void Walker::closeAll()
{
    for (size_t i = 0; i < m_depth; ++i) {
        if (m_levels[i].fd >= 0)
            close(m_levels[i].fd);
        m_levels[i].fd = -1;
    }
    m_depth = 0;
    m_openCount = 0;
}

bool Walker::readListing(size_t li)
{
    const int fd = m_levels[li].fd;
    m_reader.reset(fd);
    QLPlatform::DirectoryReader::Entry e;
    while (m_reader.next(e)) {
        if (m_state.isCancelled())
            return false;
        unsigned char type = e.type;
        struct stat st;
        const struct stat *known = nullptr;
        if (type == DT_UNKNOWN) {
            // Some file systems (older XFS, many FUSE and network ones) leave the type out.
            if (fstatat(fd, e.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            known = &st;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            m_levels[li].subdirs.append(e.name, e.length + 1); // with its NUL
            continue;
        }
        if (type != DT_REG && type != DT_LNK)
            continue; // FIFOs, sockets and devices are never hits
        if (!handleFile(fd, e.name, e.length, type, known))
            return false;
    }
    return true;
}

bool Walker::handleFile(int dirfd, const char *name, size_t len, unsigned char type, const struct stat *known)
{
    const QLSearchOptions &opt = m_state.options;
    if (opt.skipHidden() && name[0] == '.')
        return true;
    const std::string_view ext = extensionOf(std::string_view(name, len));
    const quint64 bit = QLKindForExtBytes(ext.data(), qsizetype(ext.size()));
    if (bit == 0 || (bit & opt.kinds()) == 0)
        return true;

    struct stat st;
    if (known && type == DT_REG) {
        st = *known;
    } else if (fstatat(dirfd, name, &st, type == DT_LNK ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        return true; // vanished since it was listed, or a dangling link
    }
    if (S_ISLNK(st.st_mode) && fstatat(dirfd, name, &st, 0) != 0)
        return true; // became a link after the listing; follow it as a link is followed
    if (!S_ISREG(st.st_mode))
        return true; // a link to a folder or a device, or a FIFO named x.mp3
    if (opt.skipHidden() && QLPlatform::hasHiddenFlag(st))
        return true;

    QByteArray path;
    const size_t prefixLen = m_levels[m_depth - 1].prefixLen;
    path.reserve(qsizetype(prefixLen + len));
    path.append(m_path.data(), qsizetype(prefixLen));
    path.append(name, qsizetype(len));
    const QLMediaItemPtr item = qlMakeItem(path, QByteArrayView(name, qsizetype(len)),
                                           QByteArrayView(ext.data(), qsizetype(ext.size())), st,
                                           QLMediaItem::Origin::Walk);
    m_state.accept(item);
    return !m_state.limitReached();
}

} // namespace

void qlWalkRoots(QLSearchState &state, const QLProgressCallback &onProgress)
{
    Walker walker(state, onProgress);
    for (const QByteArray &root : std::as_const(state.roots)) {
        if (state.isCancelled() || !walker.walkRoot(root))
            break;
    }
}
