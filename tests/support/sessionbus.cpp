#include "sessionbus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>

PrivateSessionBus::PrivateSessionBus()
{
    const QByteArray dir = QFile::encodeName(m_dir.path());
    QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
    if (!QDir(m_dir.path()).mkdir(QStringLiteral("services")) || !config.open(QIODevice::WriteOnly))
        return;
    config.write("<busconfig><type>session</type><listen>unix:dir=" + dir + "</listen><servicedir>" + dir
                 + "/services</servicedir><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                   "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    config.close();
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--nofork"), QStringLiteral("--print-address"), QStringLiteral("--config-file"), config.fileName()});
    if (!m_daemon.waitForReadyRead(10000))
        return;
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_daemon.readLine().trimmed());
    m_running = true;
}

PrivateSessionBus::~PrivateSessionBus()
{
    m_daemon.kill();
    m_daemon.waitForFinished();
}

void PrivateSessionBus::setActivatable(const QByteArray &name, const QByteArray &exec)
{
    QFile file(m_dir.filePath(QStringLiteral("services/") + QString::fromUtf8(name) + QStringLiteral(".service")));
    if (exec.isEmpty())
        file.remove();
    else if (file.open(QIODevice::WriteOnly))
        file.write("[D-BUS Service]\nName=" + name + "\nExec=" + exec + "\n");
    file.close();
    // The bus reads its service folder again now, not at its next lookup.
    QDBusConnection::sessionBus().interface()->call(QStringLiteral("ReloadConfig"));
}
