#pragma once

// Which folders a search leaves out, and which index paths it drops. Internal to the
// engine; the per-system differences come from QLPlatform::searchFolderRules().

#include "qlplatform.h"

#include <QByteArray>
#include <QList>

#include <string>
#include <string_view>
#include <vector>

// What the rules need to know of a folder whose subfolders are judged.
struct QLFolderPlace
{
    bool top = false;       // "/"
    bool home = false;      // the user's home folder, or a folder directly in /home
    bool volumeTop = false; // a mount point; set by the walk once the folder is open
    // The folder's path while it still leads to a folder the rules name by its path
    // (another root of the search, a home folder, the user's Trash); empty below that.
    std::string path;
};

class QLSkipRules final
{
public:
    enum Verdict : char {
        Skip = 1,   // not entered, not reported
        Report = 2, // a package: reported as a folder met, never entered
        Enter = 3,
    };

    QLSkipRules(const QList<QByteArray> &roots, bool skipHidden);
    // For tests: the rules of a system given explicitly.
    QLSkipRules(const QList<QByteArray> &roots, bool skipHidden, const QLPlatform::SearchFolderRules &system,
                const QByteArray &home);

    QLFolderPlace placeOfRoot(std::string_view root) const;
    // The place of parent's subfolder name, before it is opened.
    QLFolderPlace placeOf(const QLFolderPlace &parent, std::string_view name) const;
    Verdict verdict(const QLFolderPlace &parent, std::string_view name) const;
    // A root inside a Trash folder is not walked either.
    bool isInTrash(std::string_view path) const;
    // An index path the search must not take: one in a Trash folder, or one through a
    // hidden folder (or itself hidden) below the roots that admit it while hidden files are
    // skipped, where the index lists such paths.
    bool dropsIndexPath(QByteArrayView path) const;

private:
    bool leadsToNamedPath(std::string_view path) const;
    bool isTrashName(std::string_view name) const;

    QLPlatform::SearchFolderRules m_system;
    bool m_skipHidden;
    std::string m_home;
    std::vector<std::string> m_roots;
    std::vector<std::string> m_named; // the roots, the home folder, /home, the user's Trash
};
