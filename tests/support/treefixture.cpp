#include "treefixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

TreeFixture::TreeFixture() : m_dir(QDir::tempPath() + QStringLiteral("/qltree-XXXXXX"))
{
    if (!m_dir.isValid())
        qFatal("cannot create a temporary folder: %s", qPrintable(m_dir.errorString()));
    m_root = QFile::encodeName(m_dir.path());
}

TreeFixture::~TreeFixture()
{
    QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("chmod -R u+rwx \"$0\"; rm -rf \"$0\""),
                                             m_dir.path()});
}

void TreeFixture::makeParents(const QByteArray &rel)
{
    const qsizetype slash = rel.lastIndexOf('/');
    if (slash > 0)
        dir(rel.left(slash));
}

QByteArray TreeFixture::dir(const QByteArray &rel)
{
    // The parents are made only when missing: a deep tree is built in linear time.
    const QByteArray p = path(rel);
    int rc = mkdir(p.constData(), 0755);
    if (rc != 0 && errno == ENOENT) {
        makeParents(rel);
        rc = mkdir(p.constData(), 0755);
    }
    if (rc != 0 && errno != EEXIST)
        qFatal("mkdir %s failed", p.constData());
    return p;
}

QByteArray TreeFixture::file(const QByteArray &rel, qint64 size)
{
    const QByteArray p = path(rel);
    int fd = open(p.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 && errno == ENOENT) {
        makeParents(rel);
        fd = open(p.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (fd < 0 || (size > 0 && ftruncate(fd, size) != 0))
        qFatal("cannot create %s", p.constData());
    close(fd);
    return p;
}

void TreeFixture::writeFile(const QByteArray &path, const QByteArray &data, bool executable)
{
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, data.constData(), size_t(data.size())) != data.size())
        qFatal("cannot write %s", path.constData());
    if (executable)
        fchmod(fd, 0755);
    close(fd);
}

QByteArray TreeFixture::readFile(const QByteArray &path)
{
    const int fd = open(path.constData(), O_RDONLY);
    if (fd < 0)
        return "<unreadable>";
    QByteArray out;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, n);
    close(fd);
    return out;
}

QByteArray TreeFixture::recorder(const QByteArray &rel, const QByteArray &starts)
{
    // Written to a hidden name and renamed, so that a reader never sees half of it.
    return write(rel, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" + starts + "'/.$$\nmv '" + starts
                          + "'/.$$ '" + starts + "'/$$\n", true);
}

QList<QList<QByteArray>> TreeFixture::starts(const QByteArray &folder)
{
    QList<QList<QByteArray>> out;
    for (const QString &f : QDir(QFile::decodeName(folder)).entryList(QDir::Files))
        out.append(readFile(folder + '/' + QFile::encodeName(f)).chopped(1).split('\0')); // each ends with NUL
    std::sort(out.begin(), out.end());
    return out;
}

QByteArray TreeFixture::symlink(const QByteArray &rel, const QByteArray &target)
{
    makeParents(rel);
    if (::symlink(target.constData(), path(rel).constData()) != 0)
        qFatal("symlink %s failed", rel.constData());
    return path(rel);
}

QByteArray TreeFixture::fifo(const QByteArray &rel)
{
    makeParents(rel);
    if (mkfifo(path(rel).constData(), 0644) != 0)
        qFatal("mkfifo %s failed", rel.constData());
    return path(rel);
}

void TreeFixture::deepChain(const QByteArray &relStart, const QByteArray &component, int depth, const QByteArray &leaf)
{
    int fd = open(dir(relStart).constData(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth; ++i) {
        if (mkdirat(fd, component.constData(), 0755) != 0 && errno != EEXIST)
            qFatal("mkdirat failed at depth %d", i);
        const int next = openat(fd, component.constData(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
        if (fd < 0)
            qFatal("openat failed at depth %d", i);
    }
    if (!leaf.isEmpty())
        close(openat(fd, leaf.constData(), O_WRONLY | O_CREAT, 0644));
    close(fd);
}

void TreeFixture::setMTime(const QByteArray &rel, qint64 secs)
{
    const timespec times[2] = {{time_t(secs), 0}, {time_t(secs), 0}};
    utimensat(AT_FDCWD, path(rel).constData(), times, AT_SYMLINK_NOFOLLOW);
}

QByteArray TreeFixture::runInChild(const std::function<void(int)> &fn, bool dropPrivileges)
{
    const passwd *pw = getpwnam("nobody");
    const uid_t uid = pw ? pw->pw_uid : 65534;
    const gid_t gid = pw ? pw->pw_gid : 65534;
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (dropPrivileges && geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
            _exit(3);
        fn(fds[1]);
        close(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    QByteArray out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        qWarning("child failed: status %d", status);
    return out;
}
