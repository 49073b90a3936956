#include "sessionbus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>

PrivateSessionBus::PrivateSessionBus()
{
    const QByteArray services = m_dir.dir("services");
    const QByteArray config = m_dir.write("bus.conf", "<busconfig><type>session</type><listen>unix:dir=" + m_dir.root() + "</listen><servicedir>"
                                                          + services + "</servicedir><policy context=\"default\"><allow send_destination=\"*\" "
                                                            "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--nofork"), QStringLiteral("--print-address"), QStringLiteral("--config-file"), QFile::decodeName(config)});
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
    const QByteArray file = "services/" + name + ".service";
    exec.isEmpty() ? m_dir.remove(file) : void(m_dir.write(file, "[D-BUS Service]\nName=" + name + "\nExec=" + exec + "\n"));
    // The bus reads its service folder again now, not at its next lookup.
    QDBusConnection::sessionBus().interface()->call(QStringLiteral("ReloadConfig"));
}
