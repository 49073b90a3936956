#include "desktopentry.h"
#include "qlplatform.h"

#include <sys/stat.h>
#include <unistd.h>

namespace QLPlatform {

namespace {

// The escapes of a desktop-file string value: \s \n \t \r \\.
QString unescapeValue(const QString &v)
{
    QString out;
    out.reserve(v.size());
    for (qsizetype i = 0; i < v.size(); ++i) {
        if (v[i] == QLatin1Char('\\') && i + 1 < v.size()) {
            const QChar n = v[++i];
            if (n == QLatin1Char('s'))
                out += QLatin1Char(' ');
            else if (n == QLatin1Char('n'))
                out += QLatin1Char('\n');
            else if (n == QLatin1Char('t'))
                out += QLatin1Char('\t');
            else if (n == QLatin1Char('r'))
                out += QLatin1Char('\r');
            else if (n == QLatin1Char('\\'))
                out += QLatin1Char('\\');
            else
                out += QLatin1Char('\\') + n;
        } else {
            out += v[i];
        }
    }
    return out;
}

bool isExecutableFile(const QByteArray &path)
{
    struct stat st;
    return stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) && access(path.constData(), X_OK) == 0;
}

} // namespace

DesktopEntry parseDesktopEntry(const QByteArray &text)
{
    DesktopEntry e;
    bool inMain = false;
    QString type;
    for (const QByteArray &raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            inMain = line == "[Desktop Entry]";
            continue;
        }
        if (!inMain)
            continue;
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        const QByteArray key = line.left(eq).trimmed();
        const QString value = unescapeValue(QString::fromUtf8(line.mid(eq + 1).trimmed()));
        if (key == "Exec")
            e.exec = value;
        else if (key == "TryExec")
            e.tryExec = value;
        else if (key == "Icon")
            e.icon = value;
        else if (key == "Name")
            e.name = value;
        else if (key == "Hidden")
            e.hidden = value == QLatin1String("true");
        else if (key == "Type")
            type = value;
    }
    e.valid = !e.exec.isEmpty() && (type.isEmpty() || type == QLatin1String("Application"));
    return e;
}

bool splitExec(const QString &exec, QStringList *args)
{
    args->clear();
    QString current;
    bool inArg = false, quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted) {
            if (c == QLatin1Char('"')) {
                quoted = false;
            } else if (c == QLatin1Char('\\') && i + 1 < exec.size()) {
                const QChar n = exec[i + 1];
                if (n == QLatin1Char('"') || n == QLatin1Char('`') || n == QLatin1Char('$') || n == QLatin1Char('\\')) {
                    current += n;
                    ++i;
                } else {
                    current += c;
                }
            } else {
                current += c;
            }
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (inArg)
                args->append(current);
            current.clear();
            inArg = false;
        } else if (c == QLatin1Char('"')) {
            quoted = true;
            inArg = true;
        } else {
            current += c;
            inArg = true;
        }
    }
    if (quoted)
        return false;
    if (inArg)
        args->append(current);
    return !args->isEmpty();
}

QList<QByteArray> expandExec(const QStringList &args, const QList<QByteArray> &files, const DesktopEntry &entry,
                             const QByteArray &entryPath)
{
    QList<QByteArray> uris;
    for (const QByteArray &f : files)
        uris.append(fileUri(f));
    QList<QByteArray> out;
    bool placed = false;
    for (const QString &arg : args) {
        if (arg == QLatin1String("%F") || arg == QLatin1String("%f")) {
            out += files;
            placed = true;
            continue;
        }
        if (arg == QLatin1String("%U") || arg == QLatin1String("%u")) {
            out += uris;
            placed = true;
            continue;
        }
        if (arg == QLatin1String("%i")) {
            if (!entry.icon.isEmpty())
                out << "--icon" << entry.icon.toUtf8();
            continue;
        }
        // Codes inside a longer argument ("--file=%f") take the first file.
        QByteArray expanded;
        bool dropped = false;
        for (qsizetype i = 0; i < arg.size(); ++i) {
            if (arg[i] != QLatin1Char('%') || i + 1 >= arg.size()) {
                expanded += QString(arg[i]).toUtf8();
                continue;
            }
            const char code = arg[++i].toLatin1();
            switch (code) {
            case '%': expanded += '%'; break;
            case 'f': case 'F':
                placed = true;
                if (files.isEmpty()) dropped = true; else expanded += files.first();
                break;
            case 'u': case 'U':
                placed = true;
                if (uris.isEmpty()) dropped = true; else expanded += uris.first();
                break;
            case 'c': expanded += entry.name.toUtf8(); break;
            case 'k': expanded += entryPath; break;
            default: break; // %d %D %n %N %v %m and unknown codes are removed
            }
        }
        if (!dropped && !(expanded.isEmpty() && !arg.isEmpty()))
            out.append(expanded);
    }
    if (!placed)
        out += files;
    return out;
}

QByteArray findProgram(const QString &program)
{
    if (program.isEmpty())
        return {};
    const QByteArray p = program.toUtf8();
    if (p.contains('/'))
        return isExecutableFile(p) ? p : QByteArray();
    QByteArray path = qgetenv("PATH");
    if (path.isEmpty())
        path = "/usr/local/bin:/usr/bin:/bin";
    for (const QByteArray &dir : path.split(':')) {
        if (dir.isEmpty())
            continue;
        const QByteArray candidate = dir + '/' + p;
        if (isExecutableFile(candidate))
            return candidate;
    }
    return {};
}

QList<QByteArray> applicationFolders()
{
    QList<QByteArray> dataDirs;
    QByteArray home = qgetenv("XDG_DATA_HOME");
    if (home.isEmpty())
        home = homeDirectory() + "/.local/share";
    dataDirs.append(home);
    QByteArray dirs = qgetenv("XDG_DATA_DIRS");
    if (dirs.isEmpty())
        dirs = "/usr/local/share:/usr/share";
    for (const QByteArray &d : dirs.split(':')) {
        if (!d.isEmpty())
            dataDirs.append(d);
    }
    // Flatpak adds these to XDG_DATA_DIRS through a login script; a session started
    // before Flatpak was installed lacks them.
    for (const QByteArray &d : {home + "/flatpak/exports/share", QByteArray("/var/lib/flatpak/exports/share")}) {
        struct stat st;
        if (stat(d.constData(), &st) == 0 && S_ISDIR(st.st_mode))
            dataDirs.append(d);
    }
    QList<QByteArray> out;
    for (QByteArray d : dataDirs) {
        while (d.size() > 1 && d.endsWith('/'))
            d.chop(1);
        d += "/applications";
        if (!out.contains(d))
            out.append(d);
    }
    return out;
}

} // namespace QLPlatform
