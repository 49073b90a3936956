// qlfind: the search engine on the command line, for scripts and measurement.

#include "qlmediasearch.h"

#include <QCoreApplication>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void onSigint(int)
{
    g_interrupted.store(true);
}

const char kUsage[] =
    "Usage: qlfind [options] [KEYWORD]\n"
    "\n"
    "Finds audio and video files by name, as the QingLuan window does, and prints each\n"
    "hit's path exactly as the file system gave it, one per line, as it is found.\n"
    "KEYWORD is matched as a case-insensitive substring of the file name; without it\n"
    "every file of the chosen kinds is listed. Searching never changes a file.\n"
    "\n"
    "Options:\n"
    "  --kind KIND         all (default), mp3, mp4, m4a, wav-aiff, video or flac\n"
    "  --kinds MASK        kind bits, decimal or 0x hex (1 MP3, 2 MP4, 4 M4A/M4B, 8 WAV,\n"
    "                      16 AIFF, 32 M4V, 64 MOV, 128 FLAC); overrides --kind\n"
    "  --root DIR          search DIR (repeatable, in order); default: every disk and\n"
    "                      the home folder\n"
    "  --limit N           stop after N hits (default 0: no limit)\n"
    "  --min-size BYTES    leave out files smaller than BYTES\n"
    "  --include-hidden    do not skip hidden files and folders\n"
    "  --no-index          walk the folders only; do not ask the file-name index\n"
    "  --index-db FILE     the plocate database to ask (default: the system's)\n"
    "  -0                  end each path with NUL instead of a line feed\n"
    "  --json              after the search, one JSON object per hit and line: path,\n"
    "                      name, ext, size, modified (Unix seconds or null), volume,\n"
    "                      origin (walk, spotlight or both)\n"
    "  --progress          report progress on standard error\n"
    "  --help              show this text\n"
    "\n"
    "Exit status: 0 after a search (with or without hits); 2 for a usage error;\n"
    "130 when interrupted with Ctrl-C (what was found until then is printed).\n";

[[noreturn]] void usageError(const std::string &message)
{
    std::fprintf(stderr, "qlfind: %s (try --help)\n", message.c_str());
    std::exit(2);
}

std::optional<quint64> parseNumber(const char *text)
{
    if (!text || !*text || *text == '-')
        return std::nullopt;
    errno = 0;
    char *end = nullptr;
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const unsigned long long v = std::strtoull(hex ? text + 2 : text, &end, hex ? 16 : 10);
    if (errno != 0 || !end || *end != 0 || end == (hex ? text + 2 : text))
        return std::nullopt;
    return quint64(v);
}

std::optional<quint64> kindMask(const std::string &kind)
{
    if (kind == "all")
        return QLAllKinds;
    if (kind == "mp3")
        return QLKindMP3;
    if (kind == "mp4")
        return QLKindMP4;
    if (kind == "m4a")
        return QLKindM4A;
    if (kind == "wav-aiff")
        return QLKindWAV | QLKindAIFF;
    if (kind == "video")
        return QLKindMP4 | QLKindM4V | QLKindMOV;
    if (kind == "flac")
        return QLKindFLAC;
    return std::nullopt;
}

void appendJsonString(std::string &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    out += '"';
    for (const char ch : utf8) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += char(c);
            }
        }
    }
    out += '"';
}

std::string jsonLine(const QLMediaItem &item)
{
    std::string out = "{\"path\":";
    appendJsonString(out, QString::fromUtf8(item.path())); // undecodable bytes become U+FFFD
    out += ",\"name\":";
    appendJsonString(out, item.name());
    out += ",\"ext\":";
    appendJsonString(out, item.ext());
    out += ",\"size\":" + std::to_string(item.sizeBytes());
    out += ",\"modified\":";
    out += item.modified().isValid() ? std::to_string(item.modified().toSecsSinceEpoch()) : std::string("null");
    out += ",\"volume\":";
    appendJsonString(out, item.volume());
    out += ",\"origin\":";
    appendJsonString(out, item.origin());
    out += "}\n";
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    QLSearchOptions options;
    std::optional<quint64> kinds;
    quint64 kindFromName = QLAllKinds;
    QList<QByteArray> roots;
    bool nul = false, json = false, progress = false;
    std::optional<QString> keyword;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
            if (const size_t eq = arg.find('='); eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.resize(eq);
            }
        }
        const auto value = [&]() -> std::string {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= argc)
                usageError(arg + " needs a value");
            return argv[++i];
        };
        const auto number = [&](const std::string &v) {
            const auto n = parseNumber(v.c_str());
            if (!n)
                usageError("not a number for " + arg + ": '" + v + "'");
            return *n;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--kind") {
            const std::string v = value();
            const auto m = kindMask(v);
            if (!m)
                usageError("unknown kind '" + v + "'");
            kindFromName = *m;
        } else if (arg == "--kinds") {
            kinds = number(value());
        } else if (arg == "--root") {
            std::string dir = value();
            if (dir.empty())
                usageError("--root needs a folder");
            if (dir[0] != '/') {
                char cwd[8192];
                if (!getcwd(cwd, sizeof cwd))
                    usageError("cannot resolve '" + dir + "'");
                dir = std::string(cwd) + "/" + dir;
            }
            struct stat st;
            if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(dir.c_str(), R_OK | X_OK) != 0)
                usageError("not a readable folder: '" + dir + "'");
            roots.append(QByteArray(dir.data(), qsizetype(dir.size())));
        } else if (arg == "--limit") {
            options.setLimit(number(value()));
        } else if (arg == "--min-size") {
            options.setMinSize(qint64(qMin<quint64>(number(value()), quint64(INT64_MAX))));
        } else if (arg == "--include-hidden") {
            options.setSkipHidden(false);
        } else if (arg == "--no-index") {
            options.setUseSpotlight(false);
        } else if (arg == "--index-db") {
            const std::string db = value();
            options.setIndexDatabase(QByteArray(db.data(), qsizetype(db.size())));
        } else if (arg == "--index-tool") {
            const std::string tool = value();
            options.setIndexTool(QByteArray(tool.data(), qsizetype(tool.size())));
        } else if (arg == "-0") {
            nul = true;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--progress") {
            progress = true;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) {
                if (keyword)
                    usageError("more than one keyword");
                keyword = QString::fromUtf8(argv[i]);
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            usageError("unknown option '" + arg + "'");
        } else {
            if (keyword)
                usageError("more than one keyword");
            keyword = QString::fromUtf8(argv[i]);
        }
    }
    options.setKinds(kinds ? *kinds : kindFromName);
    options.setRoots(roots);
    if (keyword)
        options.setKeyword(*keyword);

    struct sigaction sa = {};
    sa.sa_handler = onSigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);

    static char outBuf[1 << 16];
    std::setvbuf(stdout, outBuf, _IOFBF, sizeof outBuf);
    const char end = nul ? '\0' : '\n';

    QLItemCallback onItem;
    if (!json) {
        onItem = [end](const QLMediaItemPtr &item) {
            const QByteArray path = item->path();
            std::fwrite(path.constData(), 1, size_t(path.size()), stdout);
            std::fputc(end, stdout);
        };
    }
    QLProgressCallback onProgress;
    if (progress) {
        onProgress = [](quint64 count, const QString &text) {
            const QByteArray line = QStringLiteral("正在扫描第 %1 个目录：%2\n").arg(count).arg(text).toUtf8();
            std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        };
    }
    const QList<QLMediaItemPtr> hits =
        QLMediaSearch::searchWithOptions(options, onItem, onProgress, [] { return g_interrupted.load(); });
    if (json) {
        for (const QLMediaItemPtr &item : hits) {
            const std::string line = jsonLine(*item);
            std::fwrite(line.data(), 1, line.size(), stdout);
        }
    }
    std::fflush(stdout);
    return g_interrupted.load() ? 130 : 0;
}
