#include "qlplayertargets.h"
#include "qlplatform.h"

#include <QSet>

#include <algorithm>
#include <unistd.h>

QString QLPlayerTarget::description() const
{
    return QStringLiteral("<%1 %2>").arg(m_name, m_bundleID);
}

QList<QLKnownPlayer> QLPlayerTargets::knownPlayers()
{
    const QString system = QStringLiteral("/System/Applications");
    return {
        {QStringLiteral("Serato DJ Pro"), {}, true, {}, {}},
        {QStringLiteral("云雀乐盒"), {}, false, {}, {}},
        {QStringLiteral("NeteaseMusic"), QStringLiteral("网易云音乐"), false, {}, {QStringLiteral("netease-cloud-music.desktop")}},
        {QStringLiteral("rekordbox"), {}, true, {}, {}},
        {QStringLiteral("VirtualDJ"), {}, true, {}, {}},
        {QStringLiteral("Traktor Pro 3"), {}, true, {}, {}},
        {QStringLiteral("djay"), {}, true, {}, {}},
        {QStringLiteral("Mixxx"), {}, true, {}, {QStringLiteral("org.mixxx.Mixxx.desktop"), QStringLiteral("mixxx.desktop")}},
        {QStringLiteral("VLC"), {}, false, {}, {QStringLiteral("vlc.desktop"), QStringLiteral("org.videolan.VLC.desktop")}},
        {QStringLiteral("QuickTime Player"), {}, false, system, {}},
        {QStringLiteral("Music"), QStringLiteral("音乐"), false, system, {}},
    };
}

void QLPlayerTargets::sortTargets(QList<QLPlayerTarget> &targets)
{
    // QString's operator< compares UTF-16 code units: capitals before small letters,
    // Latin names before Chinese ones, no locale.
    std::stable_sort(targets.begin(), targets.end(), [](const QLPlayerTarget &a, const QLPlayerTarget &b) {
        if (a.isDJ() != b.isDJ())
            return a.isDJ();
        return a.name() < b.name();
    });
}

QList<QLPlayerTarget> QLPlayerTargets::installedPlayers()
{
    QList<QLPlayerTarget> out;
    for (const QLKnownPlayer &k : knownPlayers()) {
        const QStringList folders = k.dir.isEmpty()
            ? QStringList{QStringLiteral("/Applications"), QStringLiteral("/System/Applications")}
            : QStringList{k.dir};
        QLPlatform::AppLocation where;
        if (!QLPlatform::findApplication(k.name, folders, k.desktopIds, &where))
            continue;
        QLPlayerTarget t;
        t.setName(k.display.isEmpty() ? k.name : k.display);
        t.setBundlePath(where.path);
        t.setBundleID(where.id);
        t.setIsDJ(k.isDJ);
        out.append(t);
    }
    sortTargets(out);
    return out;
}

bool QLPlayerTargets::launchAndFront(const QLPlayerTarget &target, QString *error)
{
    if (error)
        error->clear();
    if (target.bundlePath().isEmpty() || access(target.bundlePath().constData(), F_OK) != 0) {
        if (error)
            *error = QStringLiteral("找不到「%1」，可能未安装或已移动").arg(target.name());
        return false;
    }
    QString reason;
    if (QLPlatform::openWithApplication(target.bundlePath(), {}, 15000, &reason))
        return true;
    if (error)
        *error = reason.isEmpty() ? QStringLiteral("启动失败或超时") : reason;
    return false;
}

bool QLPlayerTargets::openPaths(const QList<QByteArray> &paths, const QLPlayerTarget &target, QString *error)
{
    if (error)
        error->clear();
    if (paths.isEmpty()) {
        if (error)
            *error = QStringLiteral("没有可打开的文件");
        return false;
    }
    QString reason;
    if (QLPlatform::openWithApplication(target.bundlePath(), paths, 20000, &reason))
        return true;
    if (error)
        *error = (reason.isEmpty() ? QStringLiteral("该应用拒绝以此方式打开文件") : reason)
                 + QStringLiteral("（「%1」可能只接受拖拽方式，请把它拖到曲库/播放列表区域）").arg(target.name());
    return false;
}

namespace {

const QSet<QString> &seratoFormats()
{
    // Built once on first use; the C++ runtime guards the construction across threads.
    static const QSet<QString> formats = {
        QStringLiteral("mp3"), QStringLiteral("m4a"), QStringLiteral("aac"), QStringLiteral("ogg"),
        QStringLiteral("flac"), QStringLiteral("wav"), QStringLiteral("aiff"), QStringLiteral("aif"),
        QStringLiteral("mp4"), QStringLiteral("mov"), QStringLiteral("alac"),
    };
    return formats;
}

} // namespace

bool QLPlayerTargets::isFormatSupportedBySerato(const QString &ext)
{
    return !ext.isNull() && seratoFormats().contains(ext.toLower());
}

QStringList QLPlayerTargets::unsupportedForSerato(const QStringList &exts)
{
    QStringList out;
    for (const QString &e : exts) {
        if (isFormatSupportedBySerato(e))
            continue;
        const QString lower = e.toLower();
        if (!out.contains(lower))
            out.append(lower);
    }
    return out;
}
