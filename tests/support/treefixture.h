#pragma once

// Builds directory trees in a temporary folder for a test, and removes them afterwards.
// Paths are bytes relative to the tree's root, so names that are not UTF-8 can be made.

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

#include <sys/types.h>

class TreeFixture final
{
public:
    TreeFixture();
    ~TreeFixture();
    TreeFixture(const TreeFixture &) = delete;
    TreeFixture &operator=(const TreeFixture &) = delete;

    // The tree's root, absolute, without a trailing slash.
    QByteArray root() const { return m_root; }
    QByteArray path(const QByteArray &rel) const { return m_root + '/' + rel; }

    // Each creates missing parent folders. Returns the absolute path.
    QByteArray file(const QByteArray &rel, qint64 size = 0);
    QByteArray dir(const QByteArray &rel);
    QByteArray symlink(const QByteArray &rel, const QByteArray &target);
    QByteArray fifo(const QByteArray &rel);
    // Builds several files at once: "a/b.mp3", "c/d.flac", ...
    void files(const QList<QByteArray> &rels);
    // A chain of depth nested folders named component, built relative to each other (so
    // deeper than PATH_MAX works), with leaf as a file in the deepest one.
    void deepChain(const QByteArray &relStart, const QByteArray &component, int depth, const QByteArray &leaf);
    // Sets the modification time (seconds since 1970).
    void setMTime(const QByteArray &rel, qint64 secs);
    void chmod(const QByteArray &rel, mode_t mode);
    void remove(const QByteArray &rel);

    // Runs fn in a child process and returns what fn wrote to the given descriptor. With
    // dropPrivileges the child runs as the unprivileged user nobody: the tests run as
    // root, for whom permission bits deny nothing.
    static QByteArray runInChild(const std::function<void(int fd)> &fn, bool dropPrivileges = true);
    static bool isRoot();

private:
    void makeParents(const QByteArray &rel);
    QByteArray m_root;
};
