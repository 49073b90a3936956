// Linux: the file-name index, plocate.

#include "qlplatform.h"

#include <cstring>

namespace QLPlatform {

namespace {

// Escapes ':' and '\\' in a database path, which plocate would otherwise read as a list.
QByteArray plocateDatabaseArg(const QByteArray &db)
{
    QByteArray out;
    for (char c : db) {
        if (c == ':' || c == '\\')
            out.append('\\');
        out.append(c);
    }
    return out;
}

QByteArray escapedWith(const QByteArray &text, const char *specials)
{
    QByteArray out;
    for (char c : text) {
        if (c && std::strchr(specials, c))
            out.append('\\');
        out.append(c);
    }
    return out;
}

bool endsWithExtension(QByteArrayView base, const QList<QByteArray> &exts)
{
    for (const QByteArray &ext : exts) {
        if (base.size() > ext.size() && base[base.size() - ext.size() - 1] == '.'
            && qstrnicmp(base.data() + base.size() - ext.size(), ext.constData(), size_t(ext.size())) == 0)
            return true;
    }
    return false;
}

} // namespace

QList<QByteArray> queryFileNameIndex(const IndexQuery &query, const std::function<bool()> &cancelled)
{
    if (query.extensions.isEmpty() || query.cap <= 0)
        return {};
    QList<QByteArray> exts;
    for (const QString &e : query.extensions)
        exts.append(e.toUtf8());

    // -b: match the file name only; -i: ignore case; -0/-N: NUL-separated and unquoted, so
    // a name holding a line feed survives. plocate ANDs its patterns.
    QList<QByteArray> args{"-b", "-i", "-0", "-N"};
    if (!query.database.isEmpty())
        args << "-d" << plocateDatabaseArg(query.database);
    const QByteArray keyword = query.keyword.toUtf8();
    if (keyword.size() >= 3) {
        // A plain pattern is looked up through plocate's trigram index; a regular
        // expression would make it read its whole database. The extensions are checked
        // here instead. Glob characters in the keyword are escaped inside a glob.
        args << "--";
        if (keyword.contains('*') || keyword.contains('?') || keyword.contains('[') || keyword.contains('\\'))
            args << "*" + escapedWith(keyword, "*?[]\\") + "*";
        else
            args << keyword;
    } else {
        QByteArray re = "\\.(";
        for (qsizetype i = 0; i < exts.size(); ++i)
            re += (i ? "|" : "") + exts[i];
        re += ")$";
        args << "--regex" << "--" << re;
        if (!keyword.isEmpty())
            args << escapedWith(keyword, ".[]{}()*+?^$|\\");
    }

    QList<QByteArray> paths;
    QByteArray pending;
    const auto take = [&](QByteArrayView piece) {
        if (piece.isEmpty())
            return true;
        const qsizetype slash = piece.lastIndexOf('/');
        if (endsWithExtension(slash < 0 ? piece : piece.sliced(slash + 1), exts))
            paths.append(piece.toByteArray());
        return paths.size() < query.cap;
    };
    const auto onData = [&](const char *data, size_t size) {
        QByteArrayView chunk(data, qsizetype(size));
        for (;;) {
            const qsizetype nul = chunk.indexOf('\0');
            if (nul < 0)
                break;
            bool more;
            if (pending.isEmpty()) {
                more = take(chunk.first(nul));
            } else {
                pending.append(chunk.first(nul));
                more = take(pending);
                pending.clear();
            }
            if (!more)
                return false;
            chunk = chunk.sliced(nul + 1);
        }
        pending.append(chunk);
        // No path is this long: the tool is not writing paths.
        return pending.size() <= 1024 * 1024;
    };
    int status = -1;
    const QByteArray tool = query.tool.isEmpty() ? QByteArrayLiteral("/usr/bin/plocate") : query.tool;
    const ToolOutcome outcome = runTool(tool, args, onData, cancelled, &status);
    if (outcome == ToolOutcome::Stopped && paths.size() >= query.cap)
        return paths; // the cap was reached: the rest of the output is not wanted
    if (outcome != ToolOutcome::Exited || status != 0)
        return {};
    return paths;
}

} // namespace QLPlatform
