#include "qlplatform.h"

#include <QFile>

#include <cstring>

#include <gio/gunixmounts.h>
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
