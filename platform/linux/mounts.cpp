// Linux: mounted volumes, virtual file systems and disk names.

#include "qlplatform.h"
#include "mountinfo.h"

#include <QFile>

#include <gio/gio.h>
#include <gio/gunixmounts.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace QLPlatform {

namespace {

QByteArray unescapeMountField(QByteArrayView field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (c == '\\' && i + 3 < field.size()) {
            const char a = field[i + 1], b = field[i + 2], d = field[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && d >= '0' && d <= '7') {
                out.append(char(((a - '0') << 6) | ((b - '0') << 3) | (d - '0')));
                i += 3;
                continue;
            }
        }
        out.append(c);
    }
    return out;
}

} // namespace

QList<MountEntry> parseMountInfo(const QByteArray &text)
{
    // Each line: id parent major:minor root mountpoint options [optional fields...] - type source super
    QList<MountEntry> mounts;
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() < 7)
            continue;
        qsizetype dash = -1;
        for (qsizetype i = 6; i < f.size(); ++i) {
            if (f[i] == "-") {
                dash = i;
                break;
            }
        }
        if (dash < 0 || dash + 1 >= f.size())
            continue;
        const QList<QByteArray> majorMinor = f[2].split(':');
        const quint64 device = majorMinor.size() == 2 ? quint64(makedev(majorMinor[0].toUInt(), majorMinor[1].toUInt())) : 0;
        mounts.append({unescapeMountField(f[4]), f[dash + 1], device});
    }
    return mounts;
}

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

QList<quint64> virtualFileSystemDevices()
{
    QFile f(QStringLiteral("/proc/self/mountinfo"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    // /proc files report size 0: read until the end rather than by size.
    const QByteArray text = f.readAll();
    QList<quint64> out;
    for (const MountEntry &m : parseMountInfo(text)) {
        if (isVirtualFileSystemType(m.fsType) && !out.contains(m.device))
            out.append(m.device);
    }
    return out;
}

bool isOnVirtualFileSystem(int dirFd)
{
    // The magic numbers of the kernel's own file systems. devtmpfs is not among them: it
    // shares tmpfs's number, and tmpfs holds real files; it is known by its device number.
    static constexpr std::array<unsigned long, 22> kMagic = {
        PROC_SUPER_MAGIC, SYSFS_MAGIC, DEVPTS_SUPER_MAGIC, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC,
        DEBUGFS_MAGIC, TRACEFS_MAGIC, SECURITYFS_MAGIC, PSTOREFS_MAGIC, BPF_FS_MAGIC,
        0x62656570 /* configfs */, 0x65735543 /* fusectl */, 0x19800202 /* mqueue */, HUGETLBFS_MAGIC,
        BINFMTFS_MAGIC, AUTOFS_SUPER_MAGIC, EFIVARFS_MAGIC, NSFS_MAGIC, SELINUX_MAGIC, SMACK_MAGIC,
        0x67596969 /* rpc_pipefs */, 0x6e667364 /* nfsd */,
    };
    struct statfs sf;
    if (fstatfs(dirFd, &sf) != 0)
        return false;
    return std::find(kMagic.begin(), kMagic.end(), static_cast<unsigned long>(sf.f_type)) != kMagic.end();
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
