#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

// One installed player application. Filled once by discovery, then only read.
class QLPlayerTarget final
{
public:
    QString name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }
    // The application bundle (macOS) or its desktop entry file (Linux).
    QByteArray bundlePath() const { return m_bundlePath; }
    void setBundlePath(const QByteArray &path) { m_bundlePath = path; }
    // The bundle identifier (macOS) or desktop ID (Linux); "" when it cannot be read.
    QString bundleID() const { return m_bundleID; }
    void setBundleID(const QString &id) { m_bundleID = id; }
    bool isDJ() const { return m_isDJ; }
    void setIsDJ(bool dj) { m_isDJ = dj; }

    // "<name bundleID>", for debugging.
    QString description() const;

    bool operator==(const QLPlayerTarget &o) const = default;

private:
    QString m_name;
    QByteArray m_bundlePath;
    QString m_bundleID;
    bool m_isDJ = false;
};
Q_DECLARE_METATYPE(QLPlayerTarget)

// One entry of the catalogue of players the program knows.
struct QLKnownPlayer
{
    QString name;       // the bundle's name without ".app"
    QString display;    // the name to show instead, or empty
    bool isDJ = false;
    bool systemApp = false; // shipped with the operating system
    QStringList desktopIds; // the desktop entries under which it ships on Linux
};

// The player applications: the catalogue, discovery, opening files in one, and the
// Serato DJ Pro format rules. A class without instances or state.
class QLPlayerTargets final
{
public:
    QLPlayerTargets() = delete;

    static QList<QLKnownPlayer> knownPlayers();
    // The installed ones, DJ applications first, each group by name in character-code order.
    static QList<QLPlayerTarget> installedPlayers();
    static void sortTargets(QList<QLPlayerTarget> &targets);
    // The other installed applications the system offers for the audio and video files
    // the program finds, none of them a known player, by name as above. None is a DJ
    // application.
    static QList<QLPlayerTarget> otherPlayers();

    // Starts the player or brings it forward; a DJ application that already runs is never
    // started a second time (where the system cannot bring it forward, it is left as it
    // is). False with a message when that fails.
    static bool launchAndFront(const QLPlayerTarget &target, QString *error = nullptr);
    // Asks the player to open the files. False with a message when it cannot be asked,
    // and for a DJ application when that would run a second copy of it beside the one
    // playing, or one per file.
    static bool openPaths(const QList<QByteArray> &paths, const QLPlayerTarget &target, QString *error = nullptr);

    static bool isFormatSupportedBySerato(const QString &ext);
    // The distinct unsupported extensions, lower-cased, in order of first appearance.
    static QStringList unsupportedForSerato(const QStringList &exts);
};
