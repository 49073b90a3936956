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
    return {
        {QStringLiteral("Serato DJ Pro"), {}, true, false, {}},
        {QStringLiteral("云雀乐盒"), {}, false, false, {}},
        {QStringLiteral("NeteaseMusic"), QStringLiteral("网易云音乐"), false, false, {QStringLiteral("netease-cloud-music.desktop")}},
        {QStringLiteral("rekordbox"), {}, true, false, {}},
        {QStringLiteral("VirtualDJ"), {}, true, false, {}},
        {QStringLiteral("Traktor Pro 3"), {}, true, false, {}},
        {QStringLiteral("djay"), {}, true, false, {}},
        {QStringLiteral("Mixxx"), {}, true, false, {QStringLiteral("org.mixxx.Mixxx.desktop"), QStringLiteral("mixxx.desktop")}},
        {QStringLiteral("VLC"), {}, false, false, {QStringLiteral("vlc.desktop"), QStringLiteral("org.videolan.VLC.desktop")}},
        {QStringLiteral("QuickTime Player"), {}, false, true, {}},
        {QStringLiteral("Music"), QStringLiteral("音乐"), false, true, {}},
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

namespace {

QLPlayerTarget targetFor(const QLPlatform::AppLocation &where, const QString &name, bool isDJ)
{
    QLPlayerTarget t;
    t.setName(name);
    t.setBundlePath(where.path);
    t.setBundleID(where.id);
    t.setIsDJ(isDJ);
    return t;
}

QLPlatform::AppLocation locationOf(const QLPlayerTarget &target)
{
    return {target.bundlePath(), target.bundleID(), target.name()};
}

// The MIME types of the kinds the search finds, under the names desktop entries use
// for them (aliases included, as an entry may name only an alias).
const QStringList &mediaMimeTypes()
{
    static const QStringList types = {
        QStringLiteral("audio/mpeg"), QStringLiteral("audio/mp3"), QStringLiteral("audio/x-mp3"),
        QStringLiteral("audio/mp4"), QStringLiteral("audio/x-m4a"), QStringLiteral("audio/m4a"),
        QStringLiteral("audio/x-m4b"), QStringLiteral("audio/wav"), QStringLiteral("audio/x-wav"),
        QStringLiteral("audio/vnd.wave"), QStringLiteral("audio/aiff"), QStringLiteral("audio/x-aiff"),
        QStringLiteral("audio/flac"), QStringLiteral("audio/x-flac"), QStringLiteral("video/mp4"),
        QStringLiteral("video/x-m4v"), QStringLiteral("video/quicktime"),
    };
    return types;
}

// Why a DJ application is not asked to open files, or empty when it may be.
QString secondCopyRefusal(const QLPlayerTarget &target, qsizetype fileCount)
{
    if (!target.isDJ())
        return {};
    switch (QLPlatform::extraCopies(locationOf(target), fileCount)) {
    case QLPlatform::ExtraCopies::BesideRunning:
        return QStringLiteral("已在运行，为免打断正在播放的音乐，不再启动第二个");
    case QLPlatform::ExtraCopies::OnePerFile:
        return QStringLiteral("它每次启动只接收一个文件，一次交给它 %1 个会启动 %1 个副本").arg(fileCount);
    case QLPlatform::ExtraCopies::None:
        break;
    }
    return {};
}

} // namespace

QList<QLPlayerTarget> QLPlayerTargets::installedPlayers()
{
    QList<QLPlayerTarget> out;
    for (const QLKnownPlayer &k : knownPlayers()) {
        QLPlatform::AppLocation where;
        if (QLPlatform::findApplication({k.name, k.systemApp, k.desktopIds}, &where))
            out.append(targetFor(where, k.display.isEmpty() ? k.name : k.display, k.isDJ));
    }
    sortTargets(out);
    return out;
}

QList<QLPlayerTarget> QLPlayerTargets::otherPlayers()
{
    // Not a known player: under any of its desktop IDs, nor where it was found (macOS
    // knows applications by their bundles, which have no desktop ID).
    QStringList known;
    for (const QLKnownPlayer &k : knownPlayers())
        known += k.desktopIds;
    QList<QByteArray> knownPaths;
    for (const QLPlayerTarget &t : installedPlayers())
        knownPaths.append(t.bundlePath());
    QList<QLPlayerTarget> out;
    for (const QLPlatform::AppLocation &app : QLPlatform::applicationsForTypes(mediaMimeTypes())) {
        if (!known.contains(app.id) && !knownPaths.contains(app.path))
            out.append(targetFor(app, app.name, false));
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
    // A DJ application that runs where a start would add a second copy is left as it is:
    // there the system offers no way to bring another program's window forward.
    if (target.isDJ() && QLPlatform::extraCopies(locationOf(target), 0) == QLPlatform::ExtraCopies::BesideRunning)
        return true;
    QString reason;
    if (QLPlatform::launchApplication(locationOf(target), &reason))
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
    QString reason = secondCopyRefusal(target, paths.size());
    if (!reason.isEmpty()) {
        if (error)
            *error = reason;
        return false;
    }
    if (QLPlatform::openWithApplication(locationOf(target), paths, &reason))
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
