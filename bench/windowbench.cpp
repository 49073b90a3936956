// Runs the search window offscreen over a tree and prints what the user would feel:
// the time from the search request to the summary, the longest stall of the main
// thread's event loop meanwhile, and the process's peak memory.
//
//   windowbench TREE KEYWORD      (prints "wall_s stall_ms peak_kib hits")

#include "qlsearchwindowcontroller.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: windowbench TREE KEYWORD\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("HOME", argv[1]); // the tree becomes a root of the scope pop-up
    QApplication app(argc, argv);
    QLSearchWindowController c;
    c.rootPop()->setCurrentIndex(int(c.roots().indexOf(QByteArray(argv[1]))) + 1);
    c.kwField()->setText(QString::fromUtf8(argv[2]));
    if (!qEnvironmentVariableIsSet("WINDOWBENCH_HIDDEN"))
        c.showAndFocus();

    QElapsedTimer clock, sinceTick;
    qint64 longest = 0;
    QTimer ticker;
    ticker.setInterval(2);
    QList<QPair<qint64, qint64>> gaps; // (gap, when)
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 gap = sinceTick.restart();
        longest = std::max(longest, gap);
        if (qEnvironmentVariableIsSet("WINDOWBENCH_GAPS") && gap > 10)
            gaps.append({gap, clock.elapsed()});
    });
    QObject::connect(&c, &QLSearchWindowController::searchFinished, [&] {
        const double wall = double(clock.nsecsElapsed()) / 1e9;
        ticker.stop();
        rusage ru{};
        getrusage(RUSAGE_SELF, &ru);
        std::printf("%.3f %lld %ld %lld\n", wall, static_cast<long long>(longest), ru.ru_maxrss,
                    static_cast<long long>(c.items().size()));
        for (const auto &g : gaps)
            std::fprintf(stderr, "gap %lld ms at %lld ms\n", static_cast<long long>(g.first), static_cast<long long>(g.second));
        app.quit();
    });
    QTimer::singleShot(200, [&] {
        sinceTick.start();
        ticker.start();
        clock.start();
        c.doSearch();
    });
    return app.exec();
}
