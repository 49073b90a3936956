// The floor for a one-thread walk: getdents64 and a stat of each candidate file, nothing
// else (no items, no callbacks, no ordering rules), with the search's pruning for a tree
// that is not "/": hidden folders and files, the cache and development names, Trash
// folders, packages. Prints each hit's path followed by NUL.
//
// floorwalk DIR

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::array<std::string_view, 20> kSkip = {
    ".Trashes", ".Spotlight-V100", ".fseventsd", ".DocumentRevisions-V100", ".TemporaryItems", ".AppleDouble",
    ".DS_Store", ".Trash", "node_modules", ".git", ".svn", ".hg", "Caches", "Cache", ".npm", ".yarn", ".gradle",
    ".m2", "DerivedData", "Mobile Documents",
};
constexpr std::array<std::string_view, 35> kPackages = {
    "app", "bundle", "framework", "plugin", "kext", "component", "vst", "vst3", "aaxplugin", "logicx", "band",
    "photoslibrary", "musiclibrary", "tvlibrary", "imovielibrary", "fcpbundle", "rtfd", "pages", "numbers", "key",
    "xcodeproj", "xcworkspace", "pkg", "mpkg", "appex", "xpc", "prefpane", "qlgenerator", "mdimporter", "saver",
    "sparsebundle", "dsym", "playground", "xcarchive", "scptd",
};
constexpr std::array<std::string_view, 10> kMedia = {"mp3", "mp4", "m4a", "m4b", "wav", "aiff", "aif", "m4v", "mov", "flac"};

std::string lowerExtension(std::string_view name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return {};
    std::string ext(name.substr(dot + 1));
    for (char &c : ext)
        c = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return ext;
}

template<size_t N>
bool among(const std::array<std::string_view, N> &set, std::string_view s)
{
    return std::find(set.begin(), set.end(), s) != set.end();
}

struct Level
{
    int fd;
    std::string subdirs; // NUL-separated
    size_t next = 0;
    size_t prefix; // path length with '/'
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: floorwalk DIR\n");
        return 2;
    }
    static char out[1 << 16];
    std::setvbuf(stdout, out, _IOFBF, sizeof out);
    std::string path = argv[1];
    if (path.back() != '/')
        path += '/';
    std::vector<Level> stack;
    std::vector<char> buf(64 * 1024);
    int fd = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd >= 0 || !stack.empty()) {
        if (fd >= 0) {
            Level level{fd, {}, 0, path.size()};
            for (;;) {
                const long n = getdents64(fd, buf.data(), buf.size());
                if (n <= 0)
                    break;
                for (long pos = 0; pos < n;) {
                    const auto *e = reinterpret_cast<const dirent64 *>(buf.data() + pos);
                    pos += e->d_reclen;
                    const std::string_view name(e->d_name);
                    if (name == "." || name == ".." || name[0] == '.')
                        continue;
                    if (e->d_type == DT_DIR) {
                        if (!among(kSkip, name) && !(name.size() > 7 && name.substr(0, 7) == ".Trash-")
                            && !among(kPackages, lowerExtension(name)))
                            level.subdirs.append(name).push_back('\0');
                        continue;
                    }
                    if (!among(kMedia, lowerExtension(name)))
                        continue;
                    struct stat st;
                    if (fstatat(fd, e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
                        continue;
                    std::fwrite(path.data(), 1, path.size(), stdout);
                    std::fwrite(name.data(), 1, name.size() + 1, stdout);
                }
            }
            stack.push_back(std::move(level));
            fd = -1;
        }
        Level &top = stack.back();
        if (top.next >= top.subdirs.size()) {
            close(top.fd);
            stack.pop_back();
            continue;
        }
        const char *name = top.subdirs.data() + top.next;
        top.next += std::strlen(name) + 1;
        path.resize(top.prefix);
        path.append(name).push_back('/');
        fd = openat(top.fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    return 0;
}
