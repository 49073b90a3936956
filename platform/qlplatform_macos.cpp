#include "qlplatform.h"

#include <CoreFoundation/CoreFoundation.h>
#include <QElapsedTimer>
#include <copyfile.h>
#include <fcntl.h>
#include <stdio.h>
#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <limits.h>
#include <algorithm>
#include <sys/stat.h>

namespace QLPlatform {

const FileManagerTexts &fileManagerTexts()
{
    static const FileManagerTexts texts{
        QStringLiteral("在 Finder 显示"),
        QStringLiteral("在 Finder 中显示"),
        QStringLiteral("在 Finder 中显示选中文件"),
        QStringLiteral("已在 Finder 中定位 %1 个文件里的第 1 个"),
    };
    return texts;
}

namespace {

QByteArray fileSystemPath(CFURLRef url)
{
    char buf[PATH_MAX * 4];
    if (CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8 *>(buf), sizeof buf))
        return QByteArray(buf);
    return {};
}

} // namespace

QList<QByteArray> userVisibleVolumes()
{
    // The mounted volumes in the system's order, less those that say they are not browsable.
    QList<QByteArray> out;
    const void *keys[] = {kCFURLVolumeIsBrowsableKey};
    CFArrayRef props = CFArrayCreate(nullptr, keys, 1, &kCFTypeArrayCallBacks);
    CFURLEnumeratorRef e = CFURLEnumeratorCreateForMountedVolumes(nullptr, kCFURLEnumeratorDefaultBehavior, props);
    CFURLRef url = nullptr;
    while (CFURLEnumeratorGetNextURL(e, &url, nullptr) == kCFURLEnumeratorSuccess) {
        CFBooleanRef browsable = nullptr;
        if (CFURLCopyResourcePropertyForKey(url, kCFURLVolumeIsBrowsableKey, &browsable, nullptr) && browsable) {
            const bool no = !CFBooleanGetValue(browsable);
            CFRelease(browsable);
            if (no)
                continue;
        }
        const QByteArray path = fileSystemPath(url);
        if (!path.isEmpty() && path != "/" && !out.contains(path))
            out.append(path);
    }
    CFRelease(e);
    CFRelease(props);
    return out;
}

QString localVolumeName(const QByteArray &path)
{
    if (path.startsWith('/'))
        return QStringLiteral("Macintosh HD");
    // A relative path: the name of the first mounted volume.
    CFURLEnumeratorRef e = CFURLEnumeratorCreateForMountedVolumes(nullptr, kCFURLEnumeratorDefaultBehavior, nullptr);
    CFURLRef url = nullptr;
    QString name;
    if (CFURLEnumeratorGetNextURL(e, &url, nullptr) == kCFURLEnumeratorSuccess) {
        const QByteArray p = fileSystemPath(url);
        if (!p.isEmpty()) {
            const qsizetype slash = p.size() > 1 ? p.lastIndexOf('/', p.size() - 2) : -1;
            name = QString::fromUtf8(p.mid(slash + 1)).remove(QLatin1Char('/'));
            if (name.isEmpty())
                name = QStringLiteral("/");
        }
    }
    CFRelease(e);
    return name.isEmpty() ? QStringLiteral("本机") : name;
}

QList<quint64> virtualFileSystemDevices()
{
    QList<quint64> out;
    struct statfs *mounts = nullptr;
    const int n = getmntinfo(&mounts, MNT_NOWAIT);
    for (int i = 0; i < n; ++i) {
        struct stat st;
        if (isVirtualFileSystemType(QByteArray(mounts[i].f_fstypename)) && stat(mounts[i].f_mntonname, &st) == 0)
            out.append(quint64(st.st_dev));
    }
    return out;
}

bool isOnVirtualFileSystem(int dirFd)
{
    struct statfs sf;
    return fstatfs(dirFd, &sf) == 0 && isVirtualFileSystemType(QByteArray(sf.f_fstypename));
}

int openSubdirectory(int parentFd, const char *name, MountCrossing *crossing)
{
    *crossing = MountCrossing::Unknown;
    return openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int availableDescriptors()
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return 0;
    if (rl.rlim_cur < rl.rlim_max && rl.rlim_cur < OPEN_MAX) {
        // macOS refuses a soft limit above OPEN_MAX whatever the hard limit says.
        rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, OPEN_MAX);
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
            getrlimit(RLIMIT_NOFILE, &rl);
    }
    const long limit = long(std::min<rlim_t>(rl.rlim_cur, 1 << 20));
    long open = 0;
    if (DIR *d = opendir("/dev/fd")) {
        while (const dirent *e = readdir(d)) {
            if (e->d_name[0] != '.')
                ++open;
        }
        closedir(d);
        --open;
    }
    return int(std::max(0L, limit - open));
}

qint64 modificationMSecs(const struct stat &st)
{
    return qint64(st.st_mtimespec.tv_sec) * 1000 + st.st_mtimespec.tv_nsec / 1000000;
}

void copyFileTimes(int fd, const struct stat &st)
{
    const timespec times[2] = {st.st_atimespec, st.st_mtimespec};
    futimens(fd, times);
}

SearchFolderRules searchFolderRules()
{
    return {}; // the skip list as it stands; Spotlight indexes neither hidden folders nor the Trash
}

bool hasHiddenFlag(const struct stat &st)
{
    return (st.st_flags & UF_HIDDEN) != 0;
}

struct DirectoryReader::Impl
{
    DIR *dir = nullptr;
};

DirectoryReader::DirectoryReader() : m_impl(new Impl) {}
DirectoryReader::~DirectoryReader()
{
    reset(-1);
    delete m_impl;
}

void DirectoryReader::reset(int fd)
{
    if (m_impl->dir)
        closedir(m_impl->dir);
    m_impl->dir = nullptr;
    if (fd >= 0) {
        // fdopendir takes ownership of the descriptor it is given; the caller keeps its own.
        const int own = dup(fd);
        if (own >= 0) {
            m_impl->dir = fdopendir(own);
            if (!m_impl->dir)
                close(own);
        }
    }
}

bool DirectoryReader::next(Entry &entry)
{
    if (!m_impl->dir)
        return false;
    while (const struct dirent *ent = readdir(m_impl->dir)) {
        const char *name = ent->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        entry.name = name;
        entry.length = strlen(name);
        entry.type = ent->d_type;
        return true;
    }
    return false;
}

QList<QByteArray> queryFileNameIndex(const IndexQuery &query, const std::function<bool()> &cancelled)
{
    if (query.spotlightQuery.isEmpty() || query.cap <= 0)
        return {};
    QByteArray out;
    int status = -1;
    const QByteArray tool = query.tool.isEmpty() ? QByteArrayLiteral("/usr/bin/mdfind") : query.tool;
    const auto onData = [&](const char *data, size_t size) {
        out.append(data, qsizetype(size));
        return true;
    };
    if (runTool(tool, {query.spotlightQuery.toUtf8()}, onData, cancelled, &status) != ToolOutcome::Exited || status != 0)
        return {};
    if (out.isEmpty() || !QUtf8StringView(out).isValidUtf8())
        return {};
    QList<QByteArray> paths;
    for (const QByteArray &piece : out.split('\n')) {
        if (piece.isEmpty())
            continue;
        paths.append(piece);
        if (paths.size() >= query.cap)
            break;
    }
    return paths;
}

void revealFile(const QByteArray &path)
{
    if (!path.isEmpty())
        spawnDetached({"/usr/bin/open", "-R", path});
}

int copyFileData(int src, int dst)
{
    return fcopyfile(src, dst, nullptr, COPYFILE_ALL) == 0 ? 0 : errno;
}

int renameNoReplace(const char *from, const char *to)
{
    return renamex_np(from, to, RENAME_EXCL) == 0 ? 0 : errno;
}

bool hasFullDiskAccessSetting()
{
    return true;
}

namespace {

QString bundleIdentifier(const QByteArray &bundlePath)
{
    const QByteArray plist = bundlePath + "/Contents/Info.plist";
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8 *>(plist.constData()),
                                                           plist.size(), false);
    QString id;
    CFReadStreamRef stream = CFReadStreamCreateWithFile(nullptr, url);
    if (stream && CFReadStreamOpen(stream)) {
        // XML and binary property lists alike.
        CFPropertyListRef list = CFPropertyListCreateWithStream(nullptr, stream, 0, kCFPropertyListImmutable, nullptr, nullptr);
        if (list && CFGetTypeID(list) == CFDictionaryGetTypeID()) {
            const void *v = CFDictionaryGetValue(static_cast<CFDictionaryRef>(list), CFSTR("CFBundleIdentifier"));
            if (v && CFGetTypeID(v) == CFStringGetTypeID()) {
                char buf[1024];
                if (CFStringGetCString(static_cast<CFStringRef>(v), buf, sizeof buf, kCFStringEncodingUTF8))
                    id = QString::fromUtf8(buf);
            }
        }
        if (list)
            CFRelease(list);
        CFReadStreamClose(stream);
    }
    if (stream)
        CFRelease(stream);
    CFRelease(url);
    return id;
}

} // namespace

bool findApplication(const QString &bundleName, const QStringList &folders, const QStringList &, AppLocation *found)
{
    for (const QString &folder : folders) {
        const QByteArray path = (folder + QLatin1Char('/') + bundleName + QStringLiteral(".app")).toUtf8();
        struct stat st;
        if (lstat(path.constData(), &st) != 0)
            continue;
        if (found) {
            found->path = path;
            found->id = bundleIdentifier(path);
        }
        return true;
    }
    return false;
}

bool openWithApplication(const QByteArray &appPath, const QList<QByteArray> &files, int timeoutMs, QString *)
{
    QList<QByteArray> args{"-a", appPath};
    args += files;
    QElapsedTimer timer;
    timer.start();
    int status = -1;
    const ToolOutcome o = runTool("/usr/bin/open", args, {}, [&] { return timer.elapsed() > timeoutMs; }, &status);
    return o == ToolOutcome::Exited && status == 0;
}

QByteArray homeDirectory()
{
    return qgetenv("HOME");
}

} // namespace QLPlatform
