#include "qlplatform.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

namespace QLPlatform {

bool isVirtualFileSystemType(const QByteArray &type)
{
    static constexpr std::array<std::string_view, 28> kVirtual = {
        "proc", "sysfs", "devtmpfs", "devpts", "cgroup", "cgroup2", "debugfs", "tracefs",
        "securityfs", "pstore", "bpf", "configfs", "fusectl", "mqueue", "hugetlbfs",
        "binfmt_misc", "autofs", "efivarfs", "rpc_pipefs", "nsfs", "selinuxfs", "smackfs",
        "nfsd", "devfs", "fuse.lxcfs", "fuse.portal", "sockfs", "pipefs",
    };
    const std::string_view t(type.constData(), size_t(type.size()));
    return std::find(kVirtual.begin(), kVirtual.end(), t) != kVirtual.end();
}

QByteArray fileUri(const QByteArray &path)
{
    // Every byte but the unreserved ones and "/" percent-encoded, in capitals.
    return "file://" + path.toPercentEncoding("/");
}

QString errorText(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return QStringLiteral("没有权限");
    case ENOENT:
        return QStringLiteral("文件或文件夹不存在");
    case ENOSPC:
        return QStringLiteral("磁盘已满");
    case EROFS:
        return QStringLiteral("磁盘为只读，无法写入");
    case ENAMETOOLONG:
        return QStringLiteral("文件名过长");
    case EEXIST:
        return QStringLiteral("文件已存在");
    case EIO:
        return QStringLiteral("磁盘读写出错");
    case EDQUOT:
        return QStringLiteral("超出磁盘配额");
    }
    return QString::fromLocal8Bit(strerror(error));
}

bool runTool(const QByteArray &program, const QList<QByteArray> &args,
             const std::function<bool(const char *, size_t)> &onData, const std::function<bool()> &cancelled,
             QString *error)
{
    if (error)
        error->clear();
    const QString name = QString::fromUtf8(program);
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    int fds[2];
    if (pipe(fds) != 0)
        return fail(QStringLiteral("无法启动 %1：%2").arg(name, errorText(errno)));
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // A caller that ignores SIGPIPE (qlfind, to see EPIPE) must not pass that on.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.constData()));
    for (const QByteArray &a : args)
        argv.push_back(const_cast<char *>(a.constData()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.constData(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return fail(QStringLiteral("无法启动 %1：%2").arg(name, errorText(rc)));
    }

    enum { Reading, Ended, Stopped, Cancelled, ReadFailed } state = Reading;
    int readError = 0;
    std::vector<char> buf(64 * 1024);
    while (state == Reading) {
        if (cancelled && cancelled()) {
            state = Cancelled;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int n = poll(&p, 1, 100);
        if (n < 0 && errno != EINTR) {
            readError = errno;
            state = ReadFailed;
        } else if (n > 0) {
            const ssize_t got = read(fds[0], buf.data(), buf.size());
            if (got < 0 && errno != EINTR && errno != EAGAIN) {
                readError = errno;
                state = ReadFailed;
            } else if (got == 0) {
                state = Ended;
            } else if (got > 0 && onData && !onData(buf.data(), size_t(got))) {
                state = Stopped;
            }
        }
    }
    close(fds[0]);
    if (state != Ended)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    switch (state) {
    case Stopped:
        return true;
    case Cancelled:
        return fail(QStringLiteral("%1 已中止").arg(name));
    case ReadFailed:
        return fail(QStringLiteral("读取 %1 的输出失败：%2").arg(name, errorText(readError)));
    default:
        break;
    }
    if (WIFSIGNALED(status))
        return fail(QStringLiteral("%1 被信号 %2 终止").arg(name, QString::number(WTERMSIG(status))));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return fail(QStringLiteral("%1 以状态 %2 结束").arg(name, QString::number(WEXITSTATUS(status))));
    return true;
}

} // namespace QLPlatform
