// The question put to the file-name index, in each index's language.

#include "indexquery.h"
#include "qlmediasearch.h"

#include <array>
#include <cstring>

namespace {

struct Clause
{
    quint64 bit;
    const char *ext;
};

// No row for "m4b": the index never supplies those, the walk alone finds them.
constexpr std::array<Clause, 9> kClauses = {{
    {QLKindMP3, "mp3"}, {QLKindMP4, "mp4"}, {QLKindM4A, "m4a"}, {QLKindWAV, "wav"}, {QLKindAIFF, "aiff"},
    {QLKindAIFF, "aif"}, {QLKindM4V, "m4v"}, {QLKindMOV, "mov"}, {QLKindFLAC, "flac"},
}};

QByteArray escapedWith(QByteArrayView text, const char *specials)
{
    QByteArray out;
    for (char c : text) {
        if (c && std::strchr(specials, c))
            out.append('\\');
        out.append(c);
    }
    return out;
}

// plocate matches bytes, so a keyword is asked in both its composed and its decomposed
// form when they differ: "café" then finds a name written on a Mac as "cafe" + U+0301.
QList<QByteArray> keywordForms(const QString &keyword)
{
    if (keyword.isEmpty())
        return {QByteArray()};
    const QByteArray composed = keyword.normalized(QString::NormalizationForm_C).toUtf8();
    const QByteArray decomposed = keyword.normalized(QString::NormalizationForm_D).toUtf8();
    return composed == decomposed ? QList<QByteArray>{composed} : QList<QByteArray>{composed, decomposed};
}

QLIndexRun locateRun(const QStringList &extensions, QByteArrayView keyword, const QByteArray &database)
{
    // -b: match the file name only; -i: ignore case; -0/-N: NUL-ended and unquoted, so a
    // name holding a line feed survives. plocate ANDs its patterns.
    QLIndexRun run{{"-b", "-i", "-0", "-N"}, '\0'};
    if (!database.isEmpty())
        run.args << "-d" << escapedWith(database, ":\\"); // else read as a list of databases
    // plocate folds the case of a plain pattern as text, which fails on bytes that are not
    // UTF-8; its regular expressions take them.
    if (keyword.size() >= 3 && keyword.isValidUtf8()) {
        // A plain pattern is looked up through plocate's trigram index; a regular
        // expression would make it read its whole database. The extensions are checked
        // on the answers instead. Glob characters in the keyword are escaped inside a glob.
        run.args << "--";
        if (keyword.contains('*') || keyword.contains('?') || keyword.contains('[') || keyword.contains('\\'))
            run.args << "*" + escapedWith(keyword, "*?[]\\") + "*";
        else
            run.args << keyword.toByteArray();
    } else {
        run.args << "--regex" << "--" << "\\.(" + extensions.join(QLatin1Char('|')).toUtf8() + ")$";
        if (!keyword.isEmpty())
            run.args << escapedWith(keyword, ".[]{}()*+?^$|\\");
    }
    return run;
}

} // namespace

QStringList QLMediaSearch::indexExtensionsForKinds(quint64 kinds)
{
    QStringList exts;
    for (const Clause &c : kClauses) {
        if (kinds & c.bit)
            exts.append(QString::fromLatin1(c.ext));
    }
    return exts;
}

QString QLMediaSearch::spotlightQueryForOptions(const QLSearchOptions &options)
{
    QStringList clauses;
    for (const QString &ext : indexExtensionsForKinds(options.kinds()))
        clauses.append(QStringLiteral("kMDItemFSName == '*.%1'cd").arg(ext));
    if (clauses.isEmpty())
        return {};
    const QString grouped = QStringLiteral("(%1)").arg(clauses.join(QStringLiteral(" || ")));
    if (options.keyword().isEmpty())
        return grouped;
    // The keyword goes in as typed: the tool's failure rules cover what it makes of it.
    return QStringLiteral("(%1) && kMDItemFSName == '*%2*'cd").arg(grouped, options.keyword());
}

QList<QLIndexRun> qlIndexRuns(QLPlatform::FileNameIndex::Language language, const QStringList &extensions,
                              const QLSearchOptions &options)
{
    if (extensions.isEmpty())
        return {};
    const QByteArray bytes = options.byteKeyword();
    if (language == QLPlatform::FileNameIndex::Language::Spotlight) {
        // Spotlight keeps only names in UTF-8: a keyword in other bytes matches none of them.
        if (!bytes.isEmpty())
            return {};
        return {{{QLMediaSearch::spotlightQueryForOptions(options).toUtf8()}, '\n'}};
    }
    QList<QLIndexRun> runs;
    for (const QByteArray &keyword : bytes.isEmpty() ? keywordForms(options.keyword()) : QList<QByteArray>{bytes})
        runs.append(locateRun(extensions, keyword, options.indexDatabase()));
    return runs;
}
