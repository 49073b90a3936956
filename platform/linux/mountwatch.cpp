// Linux: telling the program when disks come and go.

#include "qlplatform.h"

#include <gio/gunixmounts.h>

namespace QLPlatform {

struct MountWatch::Impl
{
    std::function<void()> onChange;
    GUnixMountMonitor *monitor = nullptr;
    gulong handler = 0;
};

MountWatch::MountWatch(std::function<void()> onChange)
    : m_impl(new Impl{std::move(onChange)})
{
    // GIO watches /proc/self/mountinfo and reports through the GLib main context of this
    // thread, which Qt's event loop runs on Linux (unless Qt was told not to use GLib).
    m_impl->monitor = g_unix_mount_monitor_get();
    const auto changed = +[](GUnixMountMonitor *, gpointer impl) { static_cast<Impl *>(impl)->onChange(); };
    m_impl->handler = g_signal_connect(m_impl->monitor, "mounts-changed", G_CALLBACK(changed), m_impl);
}

MountWatch::~MountWatch()
{
    g_signal_handler_disconnect(m_impl->monitor, m_impl->handler);
    g_object_unref(m_impl->monitor);
    delete m_impl;
}

} // namespace QLPlatform
