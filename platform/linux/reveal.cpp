// Linux: showing a file in the file manager and opening files with their default
// applications, through GIO. Every request is asynchronous: GIO answers in the main
// context of the thread that asked, which Qt's event loop runs on Linux.

#include "qlplatform.h"

#include <gio/gio.h>

#include <cerrno>

namespace QLPlatform {

const FileManagerTexts &fileManagerTexts()
{
    static const FileManagerTexts texts{
        QStringLiteral("在文件管理器中显示"),
        QStringLiteral("在文件管理器中显示"),
        QStringLiteral("在文件管理器中显示选中文件"),
        QStringLiteral("已在文件管理器中定位 %1 个文件里的第 1 个"),
        QStringLiteral("无法在文件管理器中显示：%1"),
    };
    return texts;
}

namespace {

// A file manager that the bus has to start (Thunar, Nautilus and Dolphin are started on
// demand) may need several seconds on a cold start.
constexpr int kShowItemsTimeoutMs = 20000;

struct Request
{
    QByteArray path;
    Completion done;
};

void finish(Request *r, bool ok, const QString &reason)
{
    r->done(ok, reason);
    delete r;
}

QString failureText(const GError *error)
{
    if (error->domain == G_IO_ERROR) {
        switch (error->code) {
        case G_IO_ERROR_NOT_FOUND:
            return errorText(ENOENT);
        case G_IO_ERROR_PERMISSION_DENIED:
            return errorText(EACCES);
        case G_IO_ERROR_NOT_SUPPORTED:
            return QStringLiteral("没有可以打开此类文件的应用程序");
        }
    }
    if (error->domain == G_SPAWN_ERROR) {
        if (error->code == G_SPAWN_ERROR_NOENT)
            return QStringLiteral("应用程序无法启动：") + errorText(ENOENT);
        if (error->code == G_SPAWN_ERROR_ACCES || error->code == G_SPAWN_ERROR_PERM)
            return QStringLiteral("应用程序无法启动：") + errorText(EACCES);
    }
    return QString::fromUtf8(error->message);
}

// Ends r with the outcome of opening a URI in its default application; noApplication,
// when given, says why where no application opens such a URI.
void finishOpening(Request *r, GAsyncResult *result, const QString &noApplication = {})
{
    GError *error = nullptr;
    if (g_app_info_launch_default_for_uri_finish(result, &error))
        return finish(r, true, {});
    const QString reason = !noApplication.isEmpty() && error->domain == G_IO_ERROR && error->code == G_IO_ERROR_NOT_SUPPORTED
        ? noApplication
        : failureText(error);
    g_error_free(error);
    finish(r, false, reason);
}

void onFolderOpened(GObject *, GAsyncResult *result, gpointer data)
{
    finishOpening(static_cast<Request *>(data), result, QStringLiteral("没有文件管理器响应，也没有可以打开文件夹的应用程序"));
}

void openFolder(Request *r)
{
    const qsizetype slash = r->path.lastIndexOf('/');
    const QByteArray uri = fileUri(slash > 0 ? r->path.left(slash) : QByteArray("/"));
    g_app_info_launch_default_for_uri_async(uri.constData(), nullptr, nullptr, onFolderOpened, r);
}

void onShown(GObject *bus, GAsyncResult *result, gpointer data)
{
    auto *r = static_cast<Request *>(data);
    if (GVariant *reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, nullptr)) {
        g_variant_unref(reply);
        return finish(r, true, {});
    }
    // An error reply, or none in time: no file manager could be started.
    openFolder(r);
}

void onBus(GObject *, GAsyncResult *result, gpointer data)
{
    auto *r = static_cast<Request *>(data);
    GDBusConnection *bus = g_bus_get_finish(result, nullptr);
    if (!bus)
        return openFolder(r);
    // The file manager's own interface: its folder opens with the file selected. A method
    // call, so that the bus starts a file manager that is only activatable, and so that
    // its answer tells whether the file was shown.
    const QByteArray uri = fileUri(r->path);
    const char *uris[] = {uri.constData(), nullptr};
    g_dbus_connection_call(bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                           "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
                           G_DBUS_CALL_FLAGS_NONE, kShowItemsTimeoutMs, nullptr, onShown, r);
    g_object_unref(bus);
}

void onOpened(GObject *, GAsyncResult *result, gpointer data)
{
    finishOpening(static_cast<Request *>(data), result);
}

} // namespace

void revealFile(const QByteArray &path, Completion done)
{
    g_bus_get(G_BUS_TYPE_SESSION, nullptr, onBus, new Request{path, std::move(done)});
}

void openWithDefaultApplication(const QByteArray &path, Completion done)
{
    g_app_info_launch_default_for_uri_async(fileUri(path).constData(), nullptr, nullptr, onOpened,
                                            new Request{path, std::move(done)});
}

} // namespace QLPlatform
