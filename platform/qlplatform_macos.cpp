#include "qlplatform.h"

#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/CoreServices.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <algorithm>
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
#include <sys/stat.h>

#include <thread>

namespace QLPlatform {

const FileManagerTexts &fileManagerTexts()
{
    static const FileManagerTexts texts{
        QStringLiteral("在 Finder 显示"),
        QStringLiteral("在 Finder 中显示"),
        QStringLiteral("在 Finder 中显示选中文件"),
        QStringLiteral("已在 Finder 中定位 %1 个文件里的第 1 个"),
        QStringLiteral("无法在 Finder 中显示：%1"),
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

FileNameIndex fileNameIndex()
{
    return {FileNameIndex::Language::Spotlight, QByteArrayLiteral("/usr/bin/mdfind")};
}

namespace {

// Runs open(1) on a worker thread, so that LaunchServices never holds up the main thread,
// and reports on the main thread.
void openAsync(const QList<QByteArray> &args, const QString &failure, Completion done)
{
    std::thread([args, failure, done = std::move(done)] {
        const bool ok = runTool("/usr/bin/open", args, {}, {});
        QMetaObject::invokeMethod(QCoreApplication::instance(), [ok, failure, done] { done(ok, ok ? QString() : failure); },
                                  Qt::QueuedConnection);
    }).detach();
}

} // namespace

void revealFile(const QByteArray &path, Completion done)
{
    openAsync({"-R", path}, QStringLiteral("Finder 无法显示该文件"), std::move(done));
}

void openWithDefaultApplication(const QByteArray &path, Completion done)
{
    openAsync({path}, QStringLiteral("没有可以打开此类文件的应用程序"), std::move(done));
}

QByteArray copyIntoFolder(const QByteArray &source, const QByteArray &dir, const std::function<QByteArray()> &freePath,
                          QString *error)
{
    if (error)
        error->clear();
    struct stat st;
    int err = 0;
    if (stat(source.constData(), &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    // Written under a hidden temporary name, which a failure removes, then renamed
    // without replacing anything.
    QByteArray tmp = dir + "/.qingluan-copy-XXXXXX";
    const int fd = err ? -1 : mkstemp(tmp.data());
    if (!err && fd < 0)
        err = errno;
    if (fd >= 0) {
        close(fd);
        if (copyfile(source.constData(), tmp.constData(), nullptr, COPYFILE_ALL) != 0)
            err = errno;
    }
    QByteArray dest;
    for (int attempt = 0; !err && attempt < 100; ++attempt) {
        dest = freePath();
        if (renamex_np(tmp.constData(), dest.constData(), RENAME_EXCL) == 0)
            return dest;
        if (errno != EEXIST)
            err = errno;
    }
    if (fd >= 0)
        unlink(tmp.constData());
    if (error)
        *error = errorText(err ? err : EEXIST);
    return {};
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

bool findApplication(const ApplicationQuery &query, AppLocation *found)
{
    // The system's own applications live only in /System/Applications; the others may lie
    // in either folder, the user's choice first.
    const QStringList folders = query.systemApp
        ? QStringList{QStringLiteral("/System/Applications")}
        : QStringList{QStringLiteral("/Applications"), QStringLiteral("/System/Applications")};
    for (const QString &folder : folders) {
        const QByteArray path = (folder + QLatin1Char('/') + query.bundleName + QStringLiteral(".app")).toUtf8();
        struct stat st;
        if (lstat(path.constData(), &st) != 0)
            continue;
        if (found)
            *found = {path, bundleIdentifier(path), query.bundleName};
        return true;
    }
    return false;
}

QList<AppLocation> applicationsForTypes(const QStringList &mimeTypes)
{
    QList<AppLocation> out;
    for (const QString &mime : mimeTypes) {
        CFStringRef m = mime.toCFString();
        CFStringRef uti = UTTypeCreatePreferredIdentifierForTag(kUTTagClassMIMEType, m, nullptr);
        CFRelease(m);
        if (!uti)
            continue;
        CFArrayRef ids = LSCopyAllRoleHandlersForContentType(uti, kLSRolesViewer | kLSRolesEditor);
        CFRelease(uti);
        for (CFIndex i = 0; ids && i < CFArrayGetCount(ids); ++i) {
            const auto id = static_cast<CFStringRef>(CFArrayGetValueAtIndex(ids, i));
            const QString bundleID = QString::fromCFString(id);
            if (std::any_of(out.cbegin(), out.cend(), [&](const AppLocation &a) { return a.id == bundleID; }))
                continue;
            CFArrayRef urls = LSCopyApplicationURLsForBundleIdentifier(id, nullptr);
            if (urls && CFArrayGetCount(urls) > 0) {
                const QByteArray path = fileSystemPath(static_cast<CFURLRef>(CFArrayGetValueAtIndex(urls, 0)));
                QByteArray name = path.mid(path.lastIndexOf('/') + 1);
                if (name.endsWith(".app"))
                    name.chop(4);
                if (!path.isEmpty())
                    out.append({path, bundleID, QString::fromUtf8(name)});
            }
            if (urls)
                CFRelease(urls);
        }
        if (ids)
            CFRelease(ids);
    }
    return out;
}

namespace {

// Runs open(1), which hands the request to the application (the running copy, if any)
// and brings it to the front, and waits up to timeoutMs for it.
bool openApplication(const AppLocation &app, const QList<QByteArray> &files, int timeoutMs, QString *message)
{
    if (message)
        message->clear();
    QList<QByteArray> args{"-a", app.path};
    args += files;
    QElapsedTimer timer;
    timer.start();
    return runTool("/usr/bin/open", args, {}, [&] { return timer.elapsed() > timeoutMs; }, message);
}

} // namespace

bool openWithApplication(const AppLocation &app, const QList<QByteArray> &files, QString *message)
{
    return openApplication(app, files, 20000, message);
}

bool launchApplication(const AppLocation &app, QString *message)
{
    return openApplication(app, {}, 15000, message);
}

ExtraCopies extraCopies(const AppLocation &, qsizetype)
{
    return ExtraCopies::None;
}

QByteArray homeDirectory()
{
    return qgetenv("HOME");
}

struct MountWatch::Impl
{
    QFileSystemWatcher watcher;
};

MountWatch::MountWatch(std::function<void()> onChange)
    : m_impl(new Impl)
{
    // Every volume but the start-up disk is mounted as a folder of /Volumes.
    m_impl->watcher.addPath(QStringLiteral("/Volumes"));
    QObject::connect(&m_impl->watcher, &QFileSystemWatcher::directoryChanged, [onChange = std::move(onChange)] { onChange(); });
}

MountWatch::~MountWatch()
{
    delete m_impl;
}

QByteArray openFileUri(int, const QByteArray &path)
{
    return fileUri(path); // file names are always UTF-8 here
}

} // namespace QLPlatform
