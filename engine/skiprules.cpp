#include "skiprules.h"

#include "qlmediasearch.h"

#include <algorithm>
#include <array>

const QList<QByteArray> &QLSkipDirNames()
{
    static const QList<QByteArray> names = {
        ".Trashes", ".Spotlight-V100", ".fseventsd", ".DocumentRevisions-V100", ".TemporaryItems",
        ".AppleDouble", ".DS_Store", ".Trash", "node_modules", ".git", ".svn", ".hg", "Caches",
        "Cache", ".npm", ".yarn", ".gradle", ".m2", "DerivedData", "Library", "Mobile Documents",
        "System", "private", "usr", "opt", "dev", "net", "home", "cores", "Applications",
        "InstallerSandboxes",
    };
    return names;
}

namespace {

// The names of the skip list that are folders of macOS itself. Everything else in the
// list (caches, version control, package managers, Finder's own files) is clutter on any
// system and any disk.
constexpr std::array<std::string_view, 11> kSystemNames = {
    "System", "Library", "private", "usr", "opt", "dev", "net", "home", "cores", "Applications", "InstallerSandboxes",
};

// Folders that are documents or applications to the Mac's Finder: counted, never entered.
constexpr std::array<std::string_view, 35> kPackageExtensions = {
    "app", "bundle", "framework", "plugin", "kext", "component", "vst", "vst3", "aaxplugin",
    "logicx", "band", "photoslibrary", "musiclibrary", "tvlibrary", "imovielibrary", "fcpbundle",
    "rtfd", "pages", "numbers", "key", "xcodeproj", "xcworkspace", "pkg", "mpkg", "appex", "xpc",
    "prefpane", "qlgenerator", "mdimporter", "saver", "sparsebundle", "dsym", "playground",
    "xcarchive", "scptd",
};

bool isPackageName(std::string_view name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.size() - dot - 1 > 16)
        return false;
    char lower[16];
    const std::string_view ext = name.substr(dot + 1);
    for (size_t i = 0; i < ext.size(); ++i)
        lower[i] = char(ext[i] >= 'A' && ext[i] <= 'Z' ? ext[i] + 32 : ext[i]);
    const std::string_view l(lower, ext.size());
    return std::find(kPackageExtensions.begin(), kPackageExtensions.end(), l) != kPackageExtensions.end();
}

bool isSystemName(std::string_view name)
{
    return std::find(kSystemNames.begin(), kSystemNames.end(), name) != kSystemNames.end();
}

bool isListedName(std::string_view name)
{
    for (const QByteArray &skip : QLSkipDirNames()) {
        if (std::string_view(skip.constData(), size_t(skip.size())) == name)
            return true;
    }
    return false;
}

std::string childPath(std::string_view parent, std::string_view name)
{
    std::string p(parent);
    if (p != "/")
        p += '/';
    p.append(name);
    return p;
}

// a is path itself or one of its ancestors.
bool isAncestorOrSelf(std::string_view a, std::string_view path)
{
    if (a == "/")
        return !path.empty() && path[0] == '/';
    return path.size() >= a.size() && path.compare(0, a.size(), a) == 0
        && (path.size() == a.size() || path[a.size()] == '/');
}

} // namespace

QLSkipRules::QLSkipRules(const QList<QByteArray> &roots, bool skipHidden)
    : QLSkipRules(roots, skipHidden, QLPlatform::searchFolderRules(), QLPlatform::homeDirectory())
{
}

QLSkipRules::QLSkipRules(const QList<QByteArray> &roots, bool skipHidden, const QLPlatform::SearchFolderRules &system,
                         const QByteArray &home)
    : m_system(system)
    , m_skipHidden(skipHidden)
{
    for (const QByteArray &r : roots)
        m_roots.emplace_back(r.constData(), size_t(r.size()));
    if (home.startsWith('/') && home.size() > 1) {
        m_home.assign(home.constData(), size_t(home.size()));
        while (m_home.size() > 1 && m_home.back() == '/')
            m_home.pop_back();
    }
    if (m_roots.size() > 1)
        m_named = m_roots;
    if (!m_system.systemNamesEverywhere) {
        m_named.emplace_back("/home");
        if (!m_home.empty())
            m_named.push_back(m_home);
    }
    if (!m_system.userTrash.isEmpty())
        m_named.emplace_back(m_system.userTrash.constData(), size_t(m_system.userTrash.size()));
}

bool QLSkipRules::leadsToNamedPath(std::string_view path) const
{
    return std::any_of(m_named.begin(), m_named.end(), [&](const std::string &n) { return isAncestorOrSelf(path, n); });
}

QLFolderPlace QLSkipRules::placeOfRoot(std::string_view root) const
{
    QLFolderPlace place;
    place.top = root == "/";
    const size_t slash = root.rfind('/');
    place.home = (!m_home.empty() && root == m_home) || (slash == 5 && root.substr(0, 6) == "/home/" && root.size() > 6);
    if (leadsToNamedPath(root))
        place.path.assign(root);
    return place;
}

QLFolderPlace QLSkipRules::placeOf(const QLFolderPlace &parent, std::string_view name) const
{
    QLFolderPlace place;
    if (parent.path.empty())
        return place;
    std::string path = childPath(parent.path, name);
    place.home = parent.path == "/home" || path == m_home;
    if (leadsToNamedPath(path))
        place.path = std::move(path);
    return place;
}

bool QLSkipRules::isTrashName(std::string_view name) const
{
    // ".Trash-1000": a volume's Trash of the user with that number.
    if (!m_system.trashFoldersWithUid || name.size() <= 7 || name.substr(0, 7) != ".Trash-")
        return false;
    return std::all_of(name.begin() + 7, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

QLSkipRules::Verdict QLSkipRules::verdict(const QLFolderPlace &parent, std::string_view name) const
{
    if (m_skipHidden && name.size() >= 2 && name[0] == '.')
        return Skip;
    if (isSystemName(name)) {
        if (m_system.systemNamesEverywhere)
            return Skip;
        // /home is searched: a home folder that is a root of its own is met under it and
        // skipped below, so that no folder is walked twice.
        if (parent.top && name != "home")
            return Skip;
        if (name == "Library" && (parent.home || parent.volumeTop))
            return Skip;
    } else if (isListedName(name) || isTrashName(name)) {
        return Skip;
    }
    if (!parent.path.empty()) {
        const std::string path = childPath(parent.path, name);
        if (!m_system.userTrash.isEmpty() && path == std::string_view(m_system.userTrash.constData(), size_t(m_system.userTrash.size())))
            return Skip;
        // Another root of this search: walked as that root, not here as well.
        if (m_roots.size() > 1 && std::find(m_roots.begin(), m_roots.end(), path) != m_roots.end())
            return Skip;
    }
    return isPackageName(name) ? Report : Enter;
}

bool QLSkipRules::isInTrash(std::string_view path) const
{
    const std::string_view trash(m_system.userTrash.constData(), size_t(m_system.userTrash.size()));
    if (!trash.empty() && isAncestorOrSelf(trash, path))
        return true;
    if (!m_system.trashFoldersWithUid)
        return false;
    for (size_t at = 0; at < path.size();) {
        size_t end = path.find('/', at);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view part = path.substr(at, end - at);
        if (part == ".Trash" || isTrashName(part))
            return true;
        at = end + 1;
    }
    return false;
}

bool QLSkipRules::dropsIndexPath(QByteArrayView path) const
{
    if (!m_system.indexListsHidden)
        return false;
    const std::string_view p(path.data(), size_t(path.size()));
    if (isInTrash(p))
        return true;
    if (!m_skipHidden)
        return false;
    // Kept when some root admits it without a hidden component below that root.
    for (const std::string &root : m_roots) {
        if (p.size() < root.size() || p.compare(0, root.size(), root) != 0)
            continue;
        bool hidden = false;
        for (size_t at = p.find('/', root.size() > 0 ? root.size() - 1 : 0); at != std::string_view::npos && !hidden;
             at = p.find('/', at + 1)) {
            hidden = at + 1 < p.size() && p[at + 1] == '.';
        }
        if (!hidden)
            return false;
    }
    return true;
}
