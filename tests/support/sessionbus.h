#pragma once

#include "treefixture.h"

#include <QByteArray>
#include <QProcess>

// A session bus of the test's own (dbus-daemon), whose only activatable services are the
// ones the test makes so: the host's file manager can never be started. Sets
// DBUS_SESSION_BUS_ADDRESS, so it must exist before anything connects to the bus.
class PrivateSessionBus final
{
public:
    PrivateSessionBus();
    ~PrivateSessionBus();

    bool isRunning() const { return m_running; }
    // Makes name activatable by running exec, or, with an empty exec, no longer.
    void setActivatable(const QByteArray &name, const QByteArray &exec);

private:
    TreeFixture m_dir;
    QProcess m_daemon;
    bool m_running = false;
};
