// qlfind: the search engine on the command line, for scripts and measurement.

#include "kinds.h"
#include "pathutil.h"
#include "qlmediasearch.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

enum ExitStatus { Searched = 0, OutputFailed = 1, CannotRun = 2, Interrupted = 130 };

std::atomic<bool> g_interrupted{false};

extern "C" void onSigint(int)
{
    g_interrupted.store(true);
}

const char kEpilogue[] =
    "\n"
    "With --json each hit is one object on a line, after the search: path, name, ext,\n"
    "size, modified (Unix seconds, rounded down, or null), volume and origin (walk,\n"
    "spotlight or both). A path that is not valid UTF-8 also has path_bytes, its exact\n"
    "bytes in base64; path then shows it with U+FFFD for the bytes it cannot decode.\n"
    "\n"
    "A keyword or root in bytes that are not UTF-8 is taken byte for byte; such a keyword\n"
    "matches file names by their bytes, ignoring the case of ASCII letters.\n"
    "\n"
    "Exit status:\n"
    "  0    the search ran (with or without hits), also when the reader of the output\n"
    "       stopped reading early (qlfind x | head -1)\n"
    "  1    the output could not be written (a full disk, a closed output, ...)\n"
    "  2    nothing was searched: an unknown option or value, or a root that is\n"
    "       missing, unreadable or not a folder\n"
    "  130  interrupted with Ctrl-C; what was found until then is printed\n";

// Standard output through a buffer of its own, so that every write is checked. To a
// terminal each hit goes out at once; to a pipe or a file in blocks, but nothing waits
// much more than 100 ms, so that `qlfind x | head -1` shows a hit as soon as it is found.
class Output final
{
public:
    Output()
        : m_terminal(isatty(STDOUT_FILENO))
    {
        m_buffer.reserve(kBlock);
    }

    // bytes and tail go out together: on a terminal, each hit is one write.
    void write(QByteArrayView bytes, QByteArrayView tail = {})
    {
        if (m_error)
            return;
        if (m_buffer.isEmpty())
            m_pendingSince = nowMs();
        m_buffer.append(bytes);
        m_buffer.append(tail);
        if (m_terminal || m_buffer.size() >= kBlock)
            flush();
    }

    // Called many times a second while the search runs (it rides on the search's
    // cancellation poll): sends output that has waited 100 ms, and notices a reader that
    // went away while nothing was written.
    void tick()
    {
        if (m_error)
            return;
        const qint64 now = nowMs();
        if (now - m_lastTick < 10)
            return;
        m_lastTick = now;
        if (!m_buffer.isEmpty()) {
            if (now - m_pendingSince >= 100)
                flush();
            return;
        }
        pollfd p{STDOUT_FILENO, 0, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & POLLERR))
            m_error = EPIPE;
    }

    void flush()
    {
        qsizetype done = 0;
        while (!m_error && done < m_buffer.size()) {
            const ssize_t n = ::write(STDOUT_FILENO, m_buffer.constData() + done, size_t(m_buffer.size() - done));
            if (n >= 0)
                done += n;
            else if (errno != EINTR)
                m_error = errno;
        }
        m_buffer.clear();
    }

    // The errno of the first failed write, 0 while every write succeeded.
    int error() const { return m_error; }

private:
    static constexpr qsizetype kBlock = 64 * 1024;

    static qint64 nowMs()
    {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
        return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }

    const bool m_terminal;
    QByteArray m_buffer;
    qint64 m_pendingSince = 0;
    qint64 m_lastTick = 0;
    int m_error = 0;
};

// Messages go to standard error as best they can: there is nowhere left to report a
// failure to write them.
void printError(const QByteArray &message)
{
    const QByteArray line = "qlfind: " + message + '\n';
    if (::write(STDERR_FILENO, line.constData(), size_t(line.size())) < 0) {
    }
}

[[noreturn]] void usageError(const QString &message)
{
    printError(message.toUtf8() + " (try --help)");
    std::exit(CannotRun);
}

// QCommandLineParser takes text, while arguments are bytes. A byte that is not part of
// valid UTF-8 travels as the lone surrogate U+DC00 + byte, so every argument comes back
// byte for byte.
QString argumentText(QByteArrayView raw)
{
    QString text;
    for (qsizetype i = 0; i < raw.size();) {
        const uchar lead = uchar(raw[i]);
        const qsizetype len = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                            : lead >= 0xF0 && lead < 0xF5                    ? 4
                                                                             : 0;
        if (len > 0 && i + len <= raw.size() && raw.sliced(i, len).isValidUtf8()) {
            text += QString::fromUtf8(raw.sliced(i, len));
            i += len;
        } else {
            text += QChar(0xDC00 + lead);
            ++i;
        }
    }
    return text;
}

QByteArray argumentBytes(const QString &text)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            bytes += QStringView(text).sliced(i, 2).toUtf8();
            ++i;
        } else if (c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF) {
            bytes += char(c.unicode() - 0xDC00);
        } else {
            bytes += QStringView(&c, 1).toUtf8();
        }
    }
    return bytes;
}

// A count in decimal, or in hexadecimal after 0x; no sign, no spaces.
std::optional<quint64> parseNumber(const QString &text)
{
    const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const QString digits = hex ? text.mid(2) : text;
    bool ok = !digits.isEmpty();
    for (const QChar c : digits)
        ok = ok && (c.isDigit() || (hex && QStringLiteral("abcdefABCDEF").contains(c)));
    const quint64 value = ok ? digits.toULongLong(&ok, hex ? 16 : 10) : 0;
    return ok ? std::optional<quint64>(value) : std::nullopt;
}

QByteArray jsonLine(const QLMediaItem &item)
{
    const QByteArray path = item.path();
    QJsonObject o{
        {QStringLiteral("path"), QString::fromUtf8(path)},
        {QStringLiteral("name"), item.name()},
        {QStringLiteral("ext"), item.ext()},
        {QStringLiteral("size"), item.sizeBytes()},
        {QStringLiteral("volume"), item.volume()},
        {QStringLiteral("origin"), item.origin()},
    };
    if (!QByteArrayView(path).isValidUtf8())
        o.insert(QStringLiteral("path_bytes"), QString::fromLatin1(path.toBase64()));
    if (item.modified().isValid()) {
        // Rounded down, as stat(1) shows a time: 1.5 s before 1970 is second -2.
        const qint64 ms = item.modified().toMSecsSinceEpoch();
        o.insert(QStringLiteral("modified"), ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    } else {
        o.insert(QStringLiteral("modified"), QJsonValue::Null);
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

// The exit status once the output is written: a reader that stopped reading had what it
// wanted, any other failure to write is reported.
int finish(const Output &out, int status)
{
    if (out.error() == EPIPE)
        return Searched;
    if (out.error()) {
        printError("cannot write the output: " + QByteArray(std::strerror(out.error())));
        return OutputFailed;
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    // A closed standard stream would be taken by the next file opened, and output meant
    // for it would land there. Standard output gets a descriptor that refuses writes, so
    // that its writes fail as they should.
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", fd == STDOUT_FILENO ? O_RDONLY : O_RDWR); // takes the lowest free descriptor: fd
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qlfind"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QL_VERSION));

    QStringList kindNames;
    for (const QLKindChoice &c : QLKindChoices)
        kindNames.append(QString::fromLatin1(c.name));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Finds audio and video files by name, as the QingLuan window does, and prints each\n"
        "hit's path exactly as the file system gave it, one per line, as it is found.\n"
        "KEYWORD is matched as a case-insensitive part of the file name; without it every\n"
        "file of the chosen kinds is listed. Searching never changes a file."));
    parser.addPositionalArgument(QStringLiteral("KEYWORD"), QStringLiteral("a part of the file name"),
                                 QStringLiteral("[KEYWORD]"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption kind(QStringLiteral("kind"),
                                  QStringLiteral("%1 (default %2)").arg(kindNames.join(QStringLiteral(", ")), kindNames[0]),
                                  QStringLiteral("KIND"));
    const QCommandLineOption kinds(QStringLiteral("kinds"),
                                   QStringLiteral("kind bits, decimal or 0x hex (1 MP3, 2 MP4, 4 M4A/M4B, 8 WAV, 16 AIFF, "
                                                  "32 M4V, 64 MOV, 128 FLAC); overrides --kind"),
                                   QStringLiteral("MASK"));
    const QCommandLineOption root(QStringLiteral("root"),
                                  QStringLiteral("search DIR (repeatable, in order); default: every disk and the home folder"),
                                  QStringLiteral("DIR"));
    const QCommandLineOption limit(QStringLiteral("limit"), QStringLiteral("stop after N hits (default 0: no limit)"),
                                   QStringLiteral("N"));
    const QCommandLineOption minSize(QStringLiteral("min-size"), QStringLiteral("leave out files smaller than BYTES"),
                                     QStringLiteral("BYTES"));
    const QCommandLineOption includeHidden(QStringLiteral("include-hidden"),
                                           QStringLiteral("do not skip hidden files and folders"));
    const QCommandLineOption noIndex(QStringLiteral("no-index"),
                                     QStringLiteral("walk the folders only; do not ask the file-name index"));
    const QCommandLineOption indexDb(QStringLiteral("index-db"),
                                     QStringLiteral("the plocate database to ask (default: the system's)"),
                                     QStringLiteral("FILE"));
    const QCommandLineOption indexTool(QStringLiteral("index-tool"),
                                       QStringLiteral("the index program to run (default: the system's)"),
                                       QStringLiteral("PROGRAM"));
    const QCommandLineOption nul(QStringLiteral("0"), QStringLiteral("end each path with NUL instead of a line feed"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("one JSON object per hit, after the search"));
    const QCommandLineOption progress(QStringLiteral("progress"), QStringLiteral("report progress on standard error"));
    parser.addOptions({kind, kinds, root, limit, minSize, includeHidden, noIndex, indexDb, indexTool, nul, json, progress});

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(argumentText(argv[i]));
    if (!parser.parse(arguments))
        usageError(parser.errorText());
    const bool helpWanted = parser.isSet(help) || parser.isSet(QStringLiteral("help-all"));
    if (helpWanted || parser.isSet(version)) {
        const QByteArray text = helpWanted ? parser.helpText().toUtf8() + kEpilogue
                                                   : QByteArrayLiteral("qlfind " QL_VERSION "\n");
        Output out;
        out.write(text);
        out.flush();
        return finish(out, Searched);
    }

    QLSearchOptions options;
    const auto number = [&](const QCommandLineOption &option) {
        const QString v = parser.value(option);
        const std::optional<quint64> n = parseNumber(v);
        if (!n)
            usageError(QStringLiteral("not a number for --%1: '%2'").arg(option.names().constFirst(), v));
        return *n;
    };
    if (parser.isSet(kinds)) {
        options.setKinds(number(kinds));
    } else if (parser.isSet(kind)) {
        const qsizetype i = kindNames.indexOf(parser.value(kind));
        if (i < 0)
            usageError(QStringLiteral("unknown kind '%1'").arg(parser.value(kind)));
        options.setKinds(QLKindChoices[size_t(i)].mask);
    }
    if (parser.isSet(limit))
        options.setLimit(number(limit));
    if (parser.isSet(minSize))
        options.setMinSize(qint64(qMin<quint64>(number(minSize), quint64(INT64_MAX))));
    options.setSkipHidden(!parser.isSet(includeHidden));
    options.setUseSpotlight(!parser.isSet(noIndex));
    options.setIndexDatabase(argumentBytes(parser.value(indexDb)));
    options.setIndexTool(argumentBytes(parser.value(indexTool)));

    QList<QByteArray> roots;
    for (const QString &value : parser.values(root)) {
        const QByteArray dir = argumentBytes(value);
        if (dir.isEmpty())
            usageError(QStringLiteral("--root needs a folder"));
        const int fd = open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int error = fd < 0 ? errno : access(dir.constData(), R_OK | X_OK) != 0 ? errno : 0;
        if (fd >= 0)
            close(fd);
        if (error) {
            printError("cannot search '" + dir + "': " + QByteArray(std::strerror(error)));
            return CannotRun;
        }
        roots.append(dir);
    }
    options.setRoots(roots);

    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        usageError(QStringLiteral("more than one keyword"));
    if (!positional.isEmpty()) {
        const QByteArray keyword = argumentBytes(positional[0]);
        if (QByteArrayView(keyword).isValidUtf8())
            options.setKeyword(QString::fromUtf8(keyword));
        else
            options.setByteKeyword(keyword);
    }

    struct sigaction sa = {};
    sa.sa_handler = onSigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    // A reader that goes away shows as EPIPE, and the search stops quietly.
    std::signal(SIGPIPE, SIG_IGN);

    Output out;
    const bool asJson = parser.isSet(json);
    QLItemCallback onItem;
    if (!asJson) {
        // The hits go out as they come; the search need not keep them.
        options.setKeepResults(false);
        const char end = parser.isSet(nul) ? '\0' : '\n';
        onItem = [&out, end](const QLMediaItemPtr &item) {
            out.write(item->path(), QByteArrayView(&end, 1));
        };
    }
    QLProgressCallback onProgress;
    if (parser.isSet(progress)) {
        onProgress = [](quint64 count, const QString &text) {
            const QByteArray line = QStringLiteral("正在扫描第 %1 个目录：%2\n").arg(QString::number(count), text).toUtf8();
            if (::write(STDERR_FILENO, line.constData(), size_t(line.size())) < 0) {
            }
        };
    }
    const auto cancelled = [&out] {
        out.tick();
        return g_interrupted.load() || out.error() != 0;
    };
    // JSON waits for the end of the search: the index may still turn a walk hit into "both".
    const QList<QLMediaItemPtr> hits = QLMediaSearch::searchWithOptions(options, onItem, onProgress, cancelled);
    for (const QLMediaItemPtr &item : hits) {
        if (out.error())
            break;
        out.write(jsonLine(*item));
    }
    out.flush();
    return finish(out, g_interrupted.load() ? Interrupted : Searched);
}
