#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <atomic>
#include <memory>

// Kind bits. A kind mask is the OR of these; every other bit is ignored.
enum QLKind : quint64 {
    QLKindMP3 = 1,
    QLKindMP4 = 2,
    QLKindM4A = 4, // m4a and m4b
    QLKindWAV = 8,
    QLKindAIFF = 16, // aiff and aif
    QLKindM4V = 32,
    QLKindMOV = 64,
    QLKindFLAC = 128,
};
inline constexpr quint64 QLAllKinds = 0xFFFFFFFFull;

// The kind bit of an extension (without its dot, any letter case), or 0 for anything else.
quint64 QLKindForExt(const QString &ext);
// The same for an extension given as the file system's bytes, without allocating.
quint64 QLKindForExtBytes(const char *ext, qsizetype len);

// One hit of a search. Created by the engine and shared by reference: the window holds
// the same object the engine may still update (origin), so origin is atomic.
//
// path is the file's path exactly as the file system gave it (bytes, not always UTF-8);
// it is the hit's identity and what every action acts on. name is that path's last
// component decoded for display only (qlDisplayName).
class QLMediaItem final
{
public:
    enum class Origin : quint8 { Walk, Spotlight, Both };

    QLMediaItem() = default;
    QLMediaItem(const QLMediaItem &) = delete;
    QLMediaItem &operator=(const QLMediaItem &) = delete;

    QByteArray path() const { return m_path; }
    void setPath(const QByteArray &path) { m_path = path; }
    QString name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }
    QString ext() const { return m_ext; }
    void setExt(const QString &ext) { m_ext = ext; }
    qint64 sizeBytes() const { return m_sizeBytes; }
    void setSizeBytes(qint64 size) { m_sizeBytes = size; }
    // Invalid when the file system gave no time.
    QDateTime modified() const { return m_modified; }
    void setModified(const QDateTime &modified) { m_modified = modified; }
    QString volume() const { return m_volume; }
    void setVolume(const QString &volume) { m_volume = volume; }

    // "walk", "spotlight" or "both"; safe to read on one thread while another writes it.
    QString origin() const;
    void setOrigin(const QString &origin);
    Origin originCode() const { return m_origin.load(std::memory_order_relaxed); }
    void setOriginCode(Origin origin) { m_origin.store(origin, std::memory_order_relaxed); }

    // "<name sizeB origin>", for debugging.
    QString description() const;

    // The last path component, as bytes.
    QByteArray fileNameBytes() const;

private:
    QByteArray m_path;
    QString m_name;
    QString m_ext;
    qint64 m_sizeBytes = 0;
    QDateTime m_modified;
    QString m_volume;
    std::atomic<Origin> m_origin{Origin::Walk};
};

using QLMediaItemPtr = std::shared_ptr<QLMediaItem>;

// The parameters of one search. A default-constructed object holds the defaults.
class QLSearchOptions final
{
public:
    // Empty means no keyword filter.
    QString keyword() const { return m_keyword; }
    void setKeyword(const QString &keyword) { m_keyword = keyword; }
    // A keyword in bytes that are not UTF-8, as a command line can give one. When set,
    // names are matched by their bytes, ignoring ASCII case, instead of by keyword.
    QByteArray byteKeyword() const { return m_byteKeyword; }
    void setByteKeyword(const QByteArray &keyword) { m_byteKeyword = keyword; }
    quint64 kinds() const { return m_kinds; }
    void setKinds(quint64 kinds) { m_kinds = kinds; }
    // Empty means every searchable root.
    QList<QByteArray> roots() const { return m_roots; }
    void setRoots(const QList<QByteArray> &roots) { m_roots = roots; }
    // 0 means no limit.
    quint64 limit() const { return m_limit; }
    void setLimit(quint64 limit) { m_limit = limit; }
    bool skipHidden() const { return m_skipHidden; }
    void setSkipHidden(bool skip) { m_skipHidden = skip; }
    // 0 or less means no minimum.
    qint64 minSize() const { return m_minSize; }
    void setMinSize(qint64 minSize) { m_minSize = minSize; }
    bool useSpotlight() const { return m_useSpotlight; }
    void setUseSpotlight(bool use) { m_useSpotlight = use; }
    // Whether the search keeps its hits to return them (the default). A caller that takes
    // each hit from onItem and needs no later change of its origin turns this off; the
    // search then keeps of a hit only what duplicate detection needs and returns nothing.
    bool keepResults() const { return m_keepResults; }
    void setKeepResults(bool keep) { m_keepResults = keep; }

    // The index tool and its database; empty means the system's own. Tests and scripts
    // point these at their own; the window leaves them empty.
    QByteArray indexTool() const { return m_indexTool; }
    void setIndexTool(const QByteArray &tool) { m_indexTool = tool; }
    QByteArray indexDatabase() const { return m_indexDatabase; }
    void setIndexDatabase(const QByteArray &db) { m_indexDatabase = db; }

private:
    QString m_keyword;
    QByteArray m_byteKeyword;
    quint64 m_kinds = QLAllKinds;
    QList<QByteArray> m_roots;
    quint64 m_limit = 0;
    bool m_skipHidden = true;
    qint64 m_minSize = 0;
    bool m_useSpotlight = true;
    bool m_keepResults = true;
    QByteArray m_indexTool;
    QByteArray m_indexDatabase;
};
