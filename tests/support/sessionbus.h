#pragma once

#include <QByteArray>
#include <QProcess>
#include <QTemporaryDir>

// A session bus of the test's own (dbus-daemon), whose only activatable services are the
// ones the test writes into services(): the host's file manager can never be started.
// Sets DBUS_SESSION_BUS_ADDRESS, so it must exist before anything connects to the bus.
class PrivateSessionBus final
{
public:
    PrivateSessionBus();
    ~PrivateSessionBus();

    bool isRunning() const { return !m_address.isEmpty(); }
    QByteArray address() const { return m_address; }
    // Writes (or, with an empty exec, removes) the service file that makes name
    // activatable by running exec.
    void setActivatable(const QByteArray &name, const QByteArray &exec);

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QByteArray m_address;
};
