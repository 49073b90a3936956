#include "qlmediaitem.h"
#include "pathutil.h"

#include <array>
#include <cstring>

namespace {

struct ExtKind
{
    const char *ext;
    quint64 bit;
};

// The extension-kind table. A constant array needs no run-once guard.
constexpr std::array<ExtKind, 10> kExtKinds = {{
    {"mp3", QLKindMP3}, {"mp4", QLKindMP4}, {"m4a", QLKindM4A}, {"m4b", QLKindM4A}, {"wav", QLKindWAV},
    {"aiff", QLKindAIFF}, {"aif", QLKindAIFF}, {"m4v", QLKindM4V}, {"mov", QLKindMOV}, {"flac", QLKindFLAC},
}};

quint64 lookupLower(const char *ext, qsizetype len)
{
    for (const ExtKind &row : kExtKinds) {
        if (qsizetype(std::strlen(row.ext)) == len && std::memcmp(row.ext, ext, size_t(len)) == 0)
            return row.bit;
    }
    return 0;
}

} // namespace

quint64 QLKindForExt(const QString &ext)
{
    if (ext.isEmpty())
        return 0;
    const QByteArray lower = ext.toLower().toUtf8();
    return lookupLower(lower.constData(), lower.size());
}

quint64 QLKindForExtBytes(const char *ext, qsizetype len)
{
    if (len <= 0)
        return 0;
    for (qsizetype i = 0; i < len; ++i) {
        if (static_cast<unsigned char>(ext[i]) >= 0x80) // rare: let the full mapping decide
            return QLKindForExt(QString::fromUtf8(ext, len));
    }
    if (len > 4)
        return 0;
    char lower[4];
    for (qsizetype i = 0; i < len; ++i)
        lower[i] = qlAsciiLower(ext[i]);
    return lookupLower(lower, len);
}

QString QLMediaItem::origin() const
{
    switch (originCode()) {
    case Origin::Walk:
        return QStringLiteral("walk");
    case Origin::Spotlight:
        return QStringLiteral("spotlight");
    case Origin::Both:
        return QStringLiteral("both");
    }
    return QStringLiteral("walk");
}

void QLMediaItem::setOrigin(const QString &origin)
{
    if (origin == QLatin1String("spotlight"))
        setOriginCode(Origin::Spotlight);
    else if (origin == QLatin1String("both"))
        setOriginCode(Origin::Both);
    else
        setOriginCode(Origin::Walk);
}

QString QLMediaItem::description() const
{
    return QStringLiteral("<%1 %2B %3>").arg(m_name, QString::number(m_sizeBytes), origin());
}

QByteArray QLMediaItem::fileNameBytes() const
{
    return qlLastPathComponent(m_path).toByteArray();
}
