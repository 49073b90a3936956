// Linux: showing a file in the file manager.

#include "qlplatform.h"

#include <gio/gio.h>

namespace QLPlatform {

const FileManagerTexts &fileManagerTexts()
{
    static const FileManagerTexts texts{
        QStringLiteral("在文件管理器中显示"),
        QStringLiteral("在文件管理器中显示"),
        QStringLiteral("在文件管理器中显示选中文件"),
        QStringLiteral("已在文件管理器中定位 %1 个文件里的第 1 个"),
    };
    return texts;
}

namespace {

// Whether some program answers to org.freedesktop.FileManager1 now, or would be started
// by the bus for it. Only the bus itself is asked, never the file manager.
bool fileManagerOnBus(GDBusConnection *bus)
{
    const auto ask = [bus](const char *method, GVariant *args) -> GVariant * {
        return g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                           method, args, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, nullptr);
    };
    gboolean found = false; // g_variant_get writes a gboolean, which is an int
    if (GVariant *r = ask("NameHasOwner", g_variant_new("(s)", "org.freedesktop.FileManager1"))) {
        g_variant_get(r, "(b)", &found);
        g_variant_unref(r);
    }
    if (!found) {
        if (GVariant *r = ask("ListActivatableNames", nullptr)) {
            GVariantIter *names = nullptr;
            g_variant_get(r, "(as)", &names);
            const gchar *name = nullptr;
            while (!found && g_variant_iter_next(names, "&s", &name))
                found = g_strcmp0(name, "org.freedesktop.FileManager1") == 0;
            g_variant_iter_free(names);
            g_variant_unref(r);
        }
    }
    return found != 0;
}

} // namespace

void revealFile(const QByteArray &path)
{
    if (path.isEmpty())
        return;
    const QByteArray uri = fileUri(path);
    bool sent = false;
    if (GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
        if (fileManagerOnBus(bus)) {
            // The file manager's own interface: its folder opens with the file selected.
            // Sent without waiting for an answer.
            GDBusMessage *msg = g_dbus_message_new_method_call("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                               "org.freedesktop.FileManager1", "ShowItems");
            const char *uris[] = {uri.constData(), nullptr};
            g_dbus_message_set_body(msg, g_variant_new("(^ass)", uris, ""));
            g_dbus_message_set_flags(msg, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
            sent = g_dbus_connection_send_message(bus, msg, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
            g_dbus_connection_flush_sync(bus, nullptr, nullptr);
            g_object_unref(msg);
        }
        g_object_unref(bus);
    }
    if (!sent) {
        // No file manager on the bus: open the folder with the default one.
        const qsizetype slash = path.lastIndexOf('/');
        const QByteArray folder = slash > 0 ? path.left(slash) : QByteArray("/");
        g_app_info_launch_default_for_uri(fileUri(folder).constData(), nullptr, nullptr);
    }
}

} // namespace QLPlatform
