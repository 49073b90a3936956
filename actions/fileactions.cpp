// The file actions: Desktop copies under names that never replace anything, the size
// text, and revealing a file.

#include "pathutil.h"
#include "qlmediasearch.h"
#include "qlformat.h"
#include "qlplatform.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool exists(const QByteArray &path)
{
    // Like the platform's existence test for the source: a dangling link does not count.
    return access(path.constData(), F_OK) == 0;
}

bool taken(const QByteArray &path)
{
    // A name is taken by anything under it, a dangling link included.
    struct stat st;
    return fstatat(AT_FDCWD, path.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

QByteArray join(const QByteArray &dir, const QByteArray &name)
{
    return dir.endsWith('/') ? dir + name : dir + '/' + name;
}


} // namespace

QByteArray QLMediaSearch::uniquePathInDirectory(const QByteArray &dir, const QByteArray &fileName, int lastNumber)
{
    const QByteArray candidate = join(dir, fileName);
    if (!taken(candidate))
        return candidate;
    // The last extension moves behind the number; a leading dot starts no extension.
    const QByteArrayView ext = qlNameExtension(fileName);
    const QByteArray base = ext.isEmpty() ? fileName : fileName.first(fileName.size() - ext.size() - 1);
    for (int n = 2; n <= lastNumber; ++n) {
        const QByteArray name = base + ' ' + QByteArray::number(n) + (ext.isEmpty() ? QByteArray() : '.' + ext.toByteArray());
        const QByteArray path = join(dir, name);
        if (!taken(path))
            return path;
    }
    return join(dir, base + ' ' + QByteArray::number(QDateTime::currentSecsSinceEpoch()));
}

QByteArray QLMediaSearch::desktopDirectory()
{
    const QStringList desktops = QStandardPaths::standardLocations(QStandardPaths::DesktopLocation);
    return desktops.isEmpty() ? QByteArray() : QFile::encodeName(desktops.first());
}

QByteArray QLMediaSearch::copyToDesktop(const QByteArray &path, QString *error)
{
    if (error)
        error->clear();
    if (path.isEmpty() || !exists(path)) {
        if (error)
            *error = QStringLiteral("源文件不存在或已被移动");
        return {};
    }
    const QByteArray desktop = desktopDirectory();
    if (desktop.isEmpty()) {
        if (error)
            *error = QStringLiteral("无法定位桌面目录");
        return {};
    }
    QString message;
    const QByteArray dest = QLPlatform::copyIntoFolder(path, desktop, [&] {
        return uniquePathInDirectory(desktop, qlLastPathComponent(path).toByteArray());
    }, &message);
    if (!dest.isEmpty())
        return dest;
    if (error) {
        if (message.isEmpty())
            message = QStringLiteral("未知错误");
        // The system's text for a refused read or write (EACCES, EPERM) says 权限.
        const bool hint = message.contains(QLatin1String("permission")) || message.contains(QStringLiteral("权限"));
        // The hint names a macOS privacy setting; elsewhere it would send the user
        // looking for a setting that does not exist.
        if (hint && QLPlatform::hasFullDiskAccessSetting())
            message += QStringLiteral("（读取源文件需要在「系统设置 → 隐私与安全性 → 完整磁盘访问权限」中允许「青鸾寻曲」）");
        *error = message;
    }
    return {};
}

QList<QByteArray> QLMediaSearch::copyToDesktopBatch(const QList<QByteArray> &paths, QStringList *errors)
{
    QList<QByteArray> copied;
    QStringList lines;
    for (const QByteArray &p : paths) {
        QString message;
        const QByteArray dest = copyToDesktop(p, &message);
        if (!dest.isEmpty())
            copied.append(dest);
        else
            lines.append(QStringLiteral("%1：%2").arg(QString::fromUtf8(qlLastPathComponent(p)),
                                                     message.isEmpty() ? QStringLiteral("失败") : message));
    }
    if (errors)
        *errors = lines;
    return copied;
}

QString QLOneDecimal(double value)
{
    // to_chars rounds as printf does (an exact tie goes to the even digit) and, unlike
    // printf, ignores the locale: always a full stop, never a grouping.
    char buf[400];
    const auto end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 1).ptr;
    return QString::fromLatin1(buf, end - buf);
}

QString QLMediaSearch::humanSize(qint64 bytes)
{
    if (bytes <= 0)
        return QStringLiteral("0 B");
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    static const char *const units[] = {"B", "KB", "MB", "GB", "TB"};
    double value = double(bytes) / 1024.0;
    int unit = 1;
    for (int i = 0; i < 3 && value >= 1024.0; ++i) {
        value /= 1024.0;
        ++unit;
    }
    return QLOneDecimal(value) + QLatin1Char(' ') + QLatin1String(units[unit]);
}

void QLMediaSearch::revealInFinder(const QByteArray &path, const QLRevealCallback &done)
{
    const auto report = [done](bool ok, const QString &reason) {
        if (done)
            done(ok, reason);
    };
    if (!path.isEmpty())
        return QLPlatform::revealFile(path, report);
    // Nothing to show; the caller still hears of it, after this call has returned.
    QMetaObject::invokeMethod(QCoreApplication::instance(), [report] { report(false, QLPlatform::errorText(ENOENT)); },
                              Qt::QueuedConnection);
}
