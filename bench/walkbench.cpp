// The search's walk with its knobs exposed: prints each hit's path followed by NUL, as
// `qlfind --no-index -0` does, so that outputs can be compared byte for byte.
//
// walkbench [--readers N] [--ahead BYTES] DIR...

#include "qlmediasearch.h"
#include "walk.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    QLWalkTuning tuning;
    QList<QByteArray> roots;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--readers") == 0 && i + 1 < argc)
            tuning.readers = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--ahead") == 0 && i + 1 < argc)
            tuning.aheadBytes = size_t(std::atoll(argv[++i]));
        else
            roots.append(QByteArray(argv[i]));
    }
    if (roots.isEmpty()) {
        std::fprintf(stderr, "usage: walkbench [--readers N] [--ahead BYTES] DIR...\n");
        return 2;
    }
    static char out[1 << 16];
    std::setvbuf(stdout, out, _IOFBF, sizeof out);
    qlSetWalkTuning(tuning);
    QLSearchOptions options;
    options.setRoots(roots);
    options.setUseSpotlight(false);
    QLMediaSearch::searchWithOptions(
        options, [](const QLMediaItemPtr &item) { std::fwrite(item->path().constData(), 1, size_t(item->path().size()) + 1, stdout); },
        {}, {});
    return 0;
}
