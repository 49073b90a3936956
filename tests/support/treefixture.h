#pragma once

// Builds directory trees in a temporary folder for a test, and removes them afterwards.
// Paths are bytes relative to the tree's root, so names that are not UTF-8 can be made.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

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
    // A file with the given contents; executable when asked.
    QByteArray write(const QByteArray &rel, const QByteArray &data, bool executable = false)
    { writeFile(file(rel), data, executable); return path(rel); }
    // A program that, at each start, writes its arguments to a new file in the folder
    // starts; starts() reads them back, one argument list a start, sorted.
    QByteArray recorder(const QByteArray &rel, const QByteArray &starts);
    static QList<QList<QByteArray>> starts(const QByteArray &folder);
    // Builds several files at once: "a/b.mp3", "c/d.flac", ...
    void files(const QList<QByteArray> &rels) { for (const QByteArray &r : rels) file(r); }
    // A chain of depth nested folders named component, built relative to each other (so
    // deeper than PATH_MAX works), with leaf as a file in the deepest one.
    void deepChain(const QByteArray &relStart, const QByteArray &component, int depth, const QByteArray &leaf);
    // Sets the modification time (seconds since 1970).
    void setMTime(const QByteArray &rel, qint64 secs);
    void chmod(const QByteArray &rel, mode_t mode) { ::chmod(path(rel).constData(), mode); }
    void remove(const QByteArray &rel) { ::unlink(path(rel).constData()); }

    // Runs fn in a child process and returns what fn wrote to the given descriptor. With
    // dropPrivileges the child runs as the unprivileged user nobody: the tests run as
    // root, for whom permission bits deny nothing.
    static QByteArray runInChild(const std::function<void(int fd)> &fn, bool dropPrivileges = true);
    static bool isRoot() { return geteuid() == 0; }

    // By exact path, through POSIX calls: names that are not UTF-8 are never made text.
    static void writeFile(const QByteArray &path, const QByteArray &data, bool executable = false);
    static QByteArray readFile(const QByteArray &path); // "<unreadable>" when it cannot be read

private:
    void makeParents(const QByteArray &rel);
    // Removed with rm, not by QTemporaryDir: Qt names files by QString path, which cannot
    // hold names that are not UTF-8, nor reach below PATH_MAX or into folders made
    // unreadable, and these trees have all three.
    QTemporaryDir m_dir;
    QByteArray m_root;
};
