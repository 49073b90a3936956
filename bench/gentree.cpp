// Generates the benchmark tree: a deterministic imitation of a music collection spread
// over a home folder, with the clutter a real disk has (caches, node_modules, .git,
// libraries, hidden folders, application bundles).
//
// gentree DIR [FOLDERS [FILES [SEED]]]   (defaults: 30000 folders, 300000 files, seed 1)

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

uint64_t g_state = 1;

uint32_t next()
{
    // xorshift64*: fixed sequence for a fixed seed, on every machine.
    g_state ^= g_state >> 12;
    g_state ^= g_state << 25;
    g_state ^= g_state >> 27;
    return uint32_t((g_state * 2685821657736338717ull) >> 32);
}

uint32_t below(uint32_t n)
{
    return next() % n;
}

const char *const kWords[] = {"house", "techno", "live", "set", "mix", "remix", "edit", "club", "deep", "vocal",
                              "青柚乐队", "海屿你", "夜曲", "Ibiza", "Berlin", "2019", "2023", "vinyl", "rip",
                              "promo", "Café", "demo", "stems", "tour", "radio", "sessions", "garage", "disco"};
const char *const kMedia[] = {"mp3", "MP3", "Mp3", "flac", "FLAC", "wav", "WAV", "aiff", "aif", "m4a", "M4A",
                              "m4b", "mp4", "MP4", "m4v", "mov", "MOV"};
const char *const kOther[] = {"jpg", "png", "txt", "nfo", "cue", "log", "json", "js", "pdf", "db", "html", "css",
                              "md", "xml", "plist", "dat", "ogg", "aac"};
const char *const kSpecial[] = {"Library", "Caches", "node_modules", ".git", ".cache", ".hidden", "Player.app",
                                "Session.logicx", "Cache", "DerivedData"};

std::string word()
{
    return kWords[below(sizeof kWords / sizeof *kWords)];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: gentree DIR [FOLDERS [FILES [SEED]]]\n");
        return 2;
    }
    const std::string root = argv[1];
    const long folders = argc > 2 ? std::atol(argv[2]) : 30000;
    const long files = argc > 3 ? std::atol(argv[3]) : 300000;
    g_state = argc > 4 ? std::strtoull(argv[4], nullptr, 10) * 0x9E3779B97F4A7C15ull + 1 : 1;

    if (mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror("mkdir");
        return 1;
    }
    std::vector<std::string> dirs{root};
    dirs.reserve(size_t(folders) + 1);
    for (long i = 0; i < folders; ++i) {
        // Parents are picked mostly among recent folders, which makes the tree deep.
        const size_t n = dirs.size();
        const size_t parent = below(4) == 0 ? below(uint32_t(n)) : n - 1 - below(uint32_t(std::min<size_t>(n, 40)));
        std::string name = below(100) < 3 ? kSpecial[below(sizeof kSpecial / sizeof *kSpecial)]
                                          : word() + " " + std::to_string(i);
        std::string path = dirs[parent] + "/" + name;
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
            continue;
        dirs.push_back(std::move(path));
    }
    for (long i = 0; i < files; ++i) {
        const std::string &dir = dirs[below(uint32_t(dirs.size()))];
        const bool media = below(100) < 12;
        const char *ext = media ? kMedia[below(sizeof kMedia / sizeof *kMedia)] : kOther[below(sizeof kOther / sizeof *kOther)];
        const std::string prefix = below(50) == 0 ? "." : "";
        const std::string path = dir + "/" + prefix + word() + " - " + word() + " " + std::to_string(i) + "." + ext;
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            continue;
        if (media && ftruncate(fd, off_t(below(4096)) + 1) != 0)
            std::perror("ftruncate");
        close(fd);
    }
    std::printf("%zu folders, %ld files under %s\n", dirs.size() - 1, files, root.c_str());
    return 0;
}
