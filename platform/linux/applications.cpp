// Linux: installed applications, found and started through their desktop entries by GIO.

#include "qlplatform.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace QLPlatform {

namespace {

AppLocation locationOf(GDesktopAppInfo *info)
{
    const char *file = g_desktop_app_info_get_filename(info);
    return {QByteArray(file ? file : ""), QString::fromUtf8(g_app_info_get_id(G_APP_INFO(info))),
            QString::fromUtf8(g_app_info_get_name(G_APP_INFO(info)))};
}

bool isDBusActivated(GDesktopAppInfo *info)
{
    return g_desktop_app_info_get_boolean(info, "DBusActivatable");
}

// %F and %U hand every file to one start; with any other field code, or none, GIO starts
// the program once per file.
bool takesFileList(GDesktopAppInfo *info)
{
    g_autofree char *raw = g_desktop_app_info_get_string(info, "Exec");
    const QByteArray line(raw ? raw : "");
    for (qsizetype i = 0; i + 1 < line.size(); ++i) {
        if (line[i] != '%')
            continue;
        const char code = line[++i];
        if (code == 'F' || code == 'U')
            return true;
    }
    return false;
}

// The canonical path of the program the entry's Exec line starts, or empty.
QByteArray programOf(GDesktopAppInfo *info)
{
    g_autofree char *exec = g_desktop_app_info_get_string(info, "Exec");
    int argc = 0;
    g_auto(GStrv) argv = nullptr;
    if (!exec || !g_shell_parse_argv(exec, &argc, &argv, nullptr) || argc == 0)
        return {};
    g_autofree char *found = g_find_program_in_path(argv[0]);
    char real[PATH_MAX];
    return found && realpath(found, real) ? QByteArray(real) : QByteArray();
}

// The name a process was started under: the first NUL-terminated argument.
QByteArray startedAs(const QByteArray &procDir)
{
    char buf[PATH_MAX];
    const int fd = open((procDir + "/cmdline").constData(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd < 0 ? -1 : read(fd, buf, sizeof buf - 1);
    if (fd >= 0)
        close(fd);
    if (n <= 0)
        return {};
    buf[n] = 0;
    return QByteArray(buf);
}

QByteArray baseName(const QByteArray &path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

// Whether a process of this user runs program. Its executable is compared by path; when the
// link cannot be read (a process that is not dumpable), the name it was started under must do.
bool isRunning(const QByteArray &program)
{
    DIR *proc = opendir("/proc");
    if (!proc)
        return false;
    const uid_t me = getuid();
    bool found = false;
    while (const struct dirent *e = readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        const QByteArray dir = QByteArray("/proc/") + e->d_name;
        struct stat st;
        if (stat(dir.constData(), &st) != 0 || st.st_uid != me)
            continue;
        char target[PATH_MAX];
        const ssize_t n = readlink((dir + "/exe").constData(), target, sizeof target - 1);
        if (n > 0) {
            QByteArray exe(target, qsizetype(n));
            // A program replaced by an upgrade while it runs.
            if (exe.endsWith(" (deleted)"))
                exe.chop(10);
            found = exe == program;
        } else {
            const QByteArray argv0 = startedAs(dir);
            found = !argv0.isEmpty() && baseName(argv0) == baseName(program);
        }
        if (found)
            break;
    }
    closedir(proc);
    return found;
}

GDesktopAppInfo *loadEntry(const AppLocation &app, QString *message)
{
    GDesktopAppInfo *info = app.path.isEmpty() ? nullptr : g_desktop_app_info_new_from_filename(app.path.constData());
    if (!info && message) {
        // GIO gives no reason. Unless the entry cannot be read, it went away, or became
        // hidden or lost its program since it was found.
        const bool unreadable = !app.path.isEmpty() && access(app.path.constData(), R_OK) != 0 && errno != ENOENT;
        *message = errorText(unreadable ? errno : ENOENT);
    }
    return info;
}

void startOwnSession(gpointer)
{
    // Not ended with this program's terminal or session.
    setsid();
}

// Starts the entry's program, without waiting: GIO's answer comes once the process runs.
// (It runs GIO's launch helper, which then executes the program; a program that fails to
// execute at that point goes unnoticed.) Standard streams go to the null device, so that
// the player never holds a pipe of ours open.
bool spawnEntry(GDesktopAppInfo *info, GList *uris, QString *message)
{
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    g_autoptr(GAppLaunchContext) context = g_app_launch_context_new();
    g_autoptr(GError) error = nullptr;
    const bool ok = g_desktop_app_info_launch_uris_as_manager_with_fds(info, uris, context, G_SPAWN_SEARCH_PATH,
                                                                         startOwnSession, nullptr, nullptr, nullptr,
                                                                         null, null, null, &error);
    if (null >= 0)
        close(null);
    if (!ok && message)
        *message = QString::fromUtf8(error ? error->message : "");
    return ok;
}

struct DBusLaunch
{
    bool done = false;
    bool ok = false;
    GError *error = nullptr;
};

void dbusLaunchDone(GObject *source, GAsyncResult *result, gpointer data)
{
    auto *state = static_cast<DBusLaunch *>(data);
    state->ok = g_app_info_launch_uris_finish(G_APP_INFO(source), result, &state->error);
    state->done = true;
}

gboolean dbusLaunchTimedOut(gpointer cancellable)
{
    g_cancellable_cancel(static_cast<GCancellable *>(cancellable));
    return G_SOURCE_REMOVE;
}

// Asks an entry activated over D-Bus and waits up to timeoutMs for the answer: a missing
// or failing service shows up only there. The wait runs a main context of its own, so
// nothing of the window's runs meanwhile.
bool activateEntry(GDesktopAppInfo *info, GList *uris, int timeoutMs, QString *message)
{
    g_autoptr(GMainContext) context = g_main_context_new();
    g_main_context_push_thread_default(context);
    g_autoptr(GCancellable) cancellable = g_cancellable_new();
    g_autoptr(GSource) timer = g_timeout_source_new(guint(timeoutMs));
    g_source_set_callback(timer, dbusLaunchTimedOut, cancellable, nullptr);
    g_source_attach(timer, context);
    DBusLaunch state;
    g_app_info_launch_uris_async(G_APP_INFO(info), uris, nullptr, cancellable, dbusLaunchDone, &state);
    // A cancelled request still reports, so no callback outlives the state.
    while (!state.done)
        g_main_context_iteration(context, TRUE);
    g_source_destroy(timer);
    g_main_context_pop_thread_default(context);
    // After a time-out the message stays empty.
    if (!state.ok && message && !g_cancellable_is_cancelled(cancellable))
        *message = QString::fromUtf8(state.error ? state.error->message : "");
    g_clear_error(&state.error);
    return state.ok;
}

bool start(const AppLocation &app, const QList<QByteArray> &files, int timeoutMs, QString *message)
{
    if (message)
        message->clear();
    g_autoptr(GDesktopAppInfo) info = loadEntry(app, message);
    if (!info)
        return false;
    // URIs made from the paths' own bytes; GIO turns them back into the same bytes for %f.
    GList *uris = nullptr;
    for (const QByteArray &f : files)
        uris = g_list_prepend(uris, g_strdup(fileUri(f).constData()));
    uris = g_list_reverse(uris);
    const bool ok = isDBusActivated(info) ? activateEntry(info, uris, timeoutMs, message)
                                          : spawnEntry(info, uris, message);
    g_list_free_full(uris, g_free);
    return ok;
}

} // namespace

bool findApplication(const ApplicationQuery &query, AppLocation *found)
{
    for (const QString &id : query.desktopIds) {
        // GIO answers for the entry in force under that ID (a user's own overrides the
        // system's), and rejects a hidden one and one whose TryExec or Exec program is missing.
        g_autoptr(GDesktopAppInfo) info = g_desktop_app_info_new(id.toUtf8().constData());
        if (!info || !g_app_info_should_show(G_APP_INFO(info)))
            continue;
        if (found)
            *found = locationOf(info);
        return true;
    }
    return false;
}

QList<AppLocation> applicationsForTypes(const QStringList &mimeTypes)
{
    QList<AppLocation> out;
    QStringList seen;
    for (const QString &type : mimeTypes) {
        GList *apps = g_app_info_get_all_for_type(type.toUtf8().constData());
        for (GList *l = apps; l; l = l->next) {
            auto *app = static_cast<GAppInfo *>(l->data);
            const QString id = QString::fromUtf8(g_app_info_get_id(app));
            if (!G_IS_DESKTOP_APP_INFO(app) || !g_app_info_should_show(app) || seen.contains(id))
                continue;
            seen.append(id);
            out.append(locationOf(G_DESKTOP_APP_INFO(app)));
        }
        g_list_free_full(apps, g_object_unref);
    }
    return out;
}

bool openWithApplication(const AppLocation &app, const QList<QByteArray> &files, QString *message)
{
    return start(app, files, 20000, message);
}

bool launchApplication(const AppLocation &app, QString *message)
{
    return start(app, {}, 15000, message);
}

ExtraCopies extraCopies(const AppLocation &app, qsizetype fileCount)
{
    g_autoptr(GDesktopAppInfo) info = app.path.isEmpty() ? nullptr : g_desktop_app_info_new_from_filename(app.path.constData());
    // The bus hands a request to the one copy that owns the application's name.
    if (!info || isDBusActivated(info))
        return ExtraCopies::None;
    const QByteArray program = programOf(info);
    if (!program.isEmpty() && isRunning(program))
        return ExtraCopies::BesideRunning;
    if (fileCount > 1 && !takesFileList(info))
        return ExtraCopies::OnePerFile;
    return ExtraCopies::None;
}

} // namespace QLPlatform
