#include "qlplatform.h"
#include "desktopentry.h"

#include <QFile>

#include <cstring>

#include <gio/gio.h>
#include <gio/gunixmounts.h>
#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <sys/sendfile.h>
#include <dirent.h>
#include <vector>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace QLPlatform {

QList<QByteArray> userVisibleVolumes()
{
    // GIO's own rule for what a file manager lists: removable media under /media and
    // /run/media/$USER, mounts inside the home folder, never system-internal mounts.
    QList<QByteArray> out;
    GList *mounts = g_unix_mounts_get(nullptr);
    for (GList *l = mounts; l; l = l->next) {
        auto *entry = static_cast<GUnixMountEntry *>(l->data);
        if (g_unix_mount_guess_should_display(entry)) {
            const QByteArray path(g_unix_mount_get_mount_path(entry));
            if (!path.isEmpty() && !out.contains(path))
                out.append(path);
        }
    }
    g_list_free_full(mounts, reinterpret_cast<GDestroyNotify>(g_unix_mount_free));
    return out;
}

QList<QByteArray> virtualFileSystemMounts()
{
    QFile f(QStringLiteral("/proc/self/mountinfo"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    // /proc files report size 0: read until the end rather than by size.
    const QByteArray text = f.readAll();
    QList<QByteArray> out;
    for (const MountEntry &m : parseMountInfo(text)) {
        if (isVirtualFileSystemType(m.fsType) && !out.contains(m.mountPoint))
            out.append(m.mountPoint);
    }
    return out;
}

qint64 modificationMSecs(const struct stat &st)
{
    return qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

void copyFileTimes(int fd, const struct stat &st)
{
    const timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(fd, times);
}

bool hasHiddenFlag(const struct stat &)
{
    return false;
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

QString firstComponent(QByteArrayView rest)
{
    const qsizetype slash = rest.indexOf('/');
    return QString::fromUtf8(slash < 0 ? rest : rest.first(slash));
}

const QByteArray &loginName()
{
    static const QByteArray name = [] {
        if (const passwd *pw = getpwuid(getuid()); pw && pw->pw_name)
            return QByteArray(pw->pw_name);
        return qgetenv("USER");
    }();
    return name;
}

} // namespace

QString localVolumeName(const QByteArray &path)
{
    // Where Linux desktops mount removable disks: udisks uses /media/USER/NAME (Debian)
    // or /run/media/USER/NAME (Fedora, Arch); hand mounts go to /media/NAME or /mnt/NAME.
    // Everything else lies on this machine's own disks.
    const QByteArrayView p(path);
    if (p.startsWith("/run/media/")) {
        const QByteArrayView rest = p.sliced(11);
        if (const qsizetype slash = rest.indexOf('/'); slash >= 0)
            return firstComponent(rest.sliced(slash + 1));
    } else if (p.startsWith("/media/")) {
        const QByteArrayView rest = p.sliced(7);
        const qsizetype slash = rest.indexOf('/');
        if (slash >= 0 && !loginName().isEmpty() && rest.first(slash) == QByteArrayView(loginName()))
            return firstComponent(rest.sliced(slash + 1));
        return firstComponent(rest);
    } else if (p.startsWith("/mnt/")) {
        return firstComponent(p.sliced(5));
    }
    return QStringLiteral("本机");
}

namespace {

// Escapes ':' and '\\' in a database path, which plocate would otherwise read as a list.
QByteArray plocateDatabaseArg(const QByteArray &db)
{
    QByteArray out;
    for (char c : db) {
        if (c == ':' || c == '\\')
            out.append('\\');
        out.append(c);
    }
    return out;
}

QByteArray escapedWith(const QByteArray &text, const char *specials)
{
    QByteArray out;
    for (char c : text) {
        if (c && std::strchr(specials, c))
            out.append('\\');
        out.append(c);
    }
    return out;
}

bool endsWithExtension(QByteArrayView base, const QList<QByteArray> &exts)
{
    for (const QByteArray &ext : exts) {
        if (base.size() > ext.size() && base[base.size() - ext.size() - 1] == '.'
            && qstrnicmp(base.data() + base.size() - ext.size(), ext.constData(), size_t(ext.size())) == 0)
            return true;
    }
    return false;
}

} // namespace

QList<QByteArray> queryFileNameIndex(const IndexQuery &query, const std::function<bool()> &cancelled)
{
    if (query.extensions.isEmpty() || query.cap <= 0)
        return {};
    QList<QByteArray> exts;
    for (const QString &e : query.extensions)
        exts.append(e.toUtf8());

    // -b: match the file name only; -i: ignore case; -0/-N: NUL-separated and unquoted, so
    // a name holding a line feed survives. plocate ANDs its patterns.
    QList<QByteArray> args{"-b", "-i", "-0", "-N"};
    if (!query.database.isEmpty())
        args << "-d" << plocateDatabaseArg(query.database);
    const QByteArray keyword = query.keyword.toUtf8();
    if (keyword.size() >= 3) {
        // A plain pattern is looked up through plocate's trigram index; a regular
        // expression would make it read its whole database. The extensions are checked
        // here instead. Glob characters in the keyword are escaped inside a glob.
        args << "--";
        if (keyword.contains('*') || keyword.contains('?') || keyword.contains('[') || keyword.contains('\\'))
            args << "*" + escapedWith(keyword, "*?[]\\") + "*";
        else
            args << keyword;
    } else {
        QByteArray re = "\\.(";
        for (qsizetype i = 0; i < exts.size(); ++i)
            re += (i ? "|" : "") + exts[i];
        re += ")$";
        args << "--regex" << "--" << re;
        if (!keyword.isEmpty())
            args << escapedWith(keyword, ".[]{}()*+?^$|\\");
    }

    QList<QByteArray> paths;
    QByteArray pending;
    const auto take = [&](QByteArrayView piece) {
        if (piece.isEmpty())
            return true;
        const qsizetype slash = piece.lastIndexOf('/');
        if (endsWithExtension(slash < 0 ? piece : piece.sliced(slash + 1), exts))
            paths.append(piece.toByteArray());
        return paths.size() < query.cap;
    };
    const auto onData = [&](const char *data, size_t size) {
        QByteArrayView chunk(data, qsizetype(size));
        for (;;) {
            const qsizetype nul = chunk.indexOf('\0');
            if (nul < 0)
                break;
            bool more;
            if (pending.isEmpty()) {
                more = take(chunk.first(nul));
            } else {
                pending.append(chunk.first(nul));
                more = take(pending);
                pending.clear();
            }
            if (!more)
                return false;
            chunk = chunk.sliced(nul + 1);
        }
        pending.append(chunk);
        // No path is this long: the tool is not writing paths.
        return pending.size() <= 1024 * 1024;
    };
    int status = -1;
    const QByteArray tool = query.tool.isEmpty() ? QByteArrayLiteral("/usr/bin/plocate") : query.tool;
    const ToolOutcome outcome = runTool(tool, args, onData, cancelled, &status);
    if (outcome == ToolOutcome::Stopped && paths.size() >= query.cap)
        return paths; // the cap was reached: the rest of the output is not wanted
    if (outcome != ToolOutcome::Exited || status != 0)
        return {};
    return paths;
}

namespace {

// Whether some program answers to org.freedesktop.FileManager1 now, or would be started
// by the bus for it. Only the bus itself is asked, never the file manager.
bool fileManagerOnBus(GDBusConnection *bus)
{
    const auto ask = [bus](const char *method, GVariant *args) -> GVariant * {
        return g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                           method, args, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, nullptr);
    };
    gboolean found = false; // g_variant_get writes a gboolean, which is an int
    if (GVariant *r = ask("NameHasOwner", g_variant_new("(s)", "org.freedesktop.FileManager1"))) {
        g_variant_get(r, "(b)", &found);
        g_variant_unref(r);
    }
    if (!found) {
        if (GVariant *r = ask("ListActivatableNames", nullptr)) {
            GVariantIter *names = nullptr;
            g_variant_get(r, "(as)", &names);
            const gchar *name = nullptr;
            while (!found && g_variant_iter_next(names, "&s", &name))
                found = g_strcmp0(name, "org.freedesktop.FileManager1") == 0;
            g_variant_iter_free(names);
            g_variant_unref(r);
        }
    }
    return found != 0;
}

} // namespace

void revealFile(const QByteArray &path)
{
    if (path.isEmpty())
        return;
    const QByteArray uri = fileUri(path);
    bool sent = false;
    if (GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
        if (fileManagerOnBus(bus)) {
            // The file manager's own interface: its folder opens with the file selected.
            // Sent without waiting for an answer.
            GDBusMessage *msg = g_dbus_message_new_method_call("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                               "org.freedesktop.FileManager1", "ShowItems");
            const char *uris[] = {uri.constData(), nullptr};
            g_dbus_message_set_body(msg, g_variant_new("(^ass)", uris, ""));
            g_dbus_message_set_flags(msg, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
            sent = g_dbus_connection_send_message(bus, msg, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
            g_dbus_connection_flush_sync(bus, nullptr, nullptr);
            g_object_unref(msg);
        }
        g_object_unref(bus);
    }
    if (!sent) {
        // No file manager on the bus: open the folder with the default one.
        const qsizetype slash = path.lastIndexOf('/');
        const QByteArray folder = slash > 0 ? path.left(slash) : QByteArray("/");
        g_app_info_launch_default_for_uri(fileUri(folder).constData(), nullptr, nullptr);
    }
}

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

bool hasFullDiskAccessSetting()
{
    return false;
}

bool findApplication(const QString &, const QStringList &, const QStringList &desktopIds, AppLocation *found)
{
    const QList<QByteArray> folders = applicationFolders();
    for (const QString &id : desktopIds) {
        for (const QByteArray &folder : folders) {
            QFile f(QString::fromUtf8(folder + '/' + id.toUtf8()));
            if (!f.open(QIODevice::ReadOnly))
                continue;
            // The first entry met for an ID is the one in force: one in the user's own
            // folder overrides (or, marked Hidden, removes) the system's.
            const DesktopEntry e = parseDesktopEntry(f.readAll());
            QStringList args;
            const bool usable = e.valid && !e.hidden && splitExec(e.exec, &args) && !findProgram(args.first()).isEmpty()
                                && (e.tryExec.isEmpty() || !findProgram(e.tryExec).isEmpty());
            if (usable && found) {
                found->path = folder + '/' + id.toUtf8();
                found->id = id;
            }
            if (usable)
                return true;
            break;
        }
    }
    return false;
}

bool openWithApplication(const QByteArray &appPath, const QList<QByteArray> &files, int, QString *reason)
{
    // Starting the program is the whole request: it runs detached and is not waited for.
    QFile f(QString::fromUtf8(appPath));
    if (appPath.isEmpty() || !f.open(QIODevice::ReadOnly)) {
        if (reason)
            *reason = errorText(ENOENT);
        return false;
    }
    const DesktopEntry e = parseDesktopEntry(f.readAll());
    QStringList args;
    if (!e.valid || !splitExec(e.exec, &args)) {
        if (reason)
            *reason = errorText(ENOEXEC);
        return false;
    }
    QList<QByteArray> argv = expandExec(args, files, e, appPath);
    const QByteArray program = findProgram(args.first());
    if (program.isEmpty()) {
        if (reason)
            *reason = errorText(ENOENT);
        return false;
    }
    argv[0] = program;
    const int err = spawnDetached(argv);
    if (err != 0 && reason)
        *reason = errorText(err);
    return err == 0;
}

QByteArray homeDirectory()
{
    QByteArray home = qgetenv("HOME");
    if (home.isEmpty()) {
        if (const passwd *pw = getpwuid(getuid()); pw && pw->pw_dir)
            home = QByteArray(pw->pw_dir);
    }
    return home;
}

} // namespace QLPlatform
