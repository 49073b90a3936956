#include "qlmediasearch.h"
#include "qlplatform.h"
#include "skiprules.h"
#include "treefixture.h"
#include "walk.h"

#include <QDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using Paths = QList<QByteArray>;

namespace {

QLSearchOptions walkOnly(const TreeFixture &t)
{
    QLSearchOptions o;
    o.setRoots({t.root()});
    o.setUseSpotlight(false);
    return o;
}

// The hits' paths relative to the tree, sorted.
Paths relative(const TreeFixture &t, const QList<QLMediaItemPtr> &items)
{
    Paths out;
    for (const QLMediaItemPtr &i : items)
        out.append(i->path().mid(t.root().size() + 1));
    std::sort(out.begin(), out.end());
    return out;
}

Paths sorted(Paths p)
{
    std::sort(p.begin(), p.end());
    return p;
}

// A chain of depth folders "l" below rel, each holding f.mp3 (the deepest bottom.mp3 instead)
// and three empty sibling folders: the walk keeps a folder's descriptor while siblings
// remain, so a deep chain needs more descriptors than it may keep.
void branchyChain(TreeFixture &t, const QByteArray &rel, int depth)
{
    QByteArray dir = rel;
    for (int i = 0; i < depth; ++i) {
        dir += "/l";
        t.file(dir + (i + 1 == depth ? "/bottom.mp3" : "/f.mp3"));
        for (const char *s : {"/s1", "/s2", "/s3"})
            mkdir(t.path(dir + s).constData(), 0755);
    }
}

// In a forked child. ThreadSanitizer cannot follow threads started there, so under it the
// child's walk reads every folder itself.
void walkInChild()
{
#if defined(__SANITIZE_THREAD__)
    qlSetWalkTuning({0, 0, {}});
#endif
}

// Runs a walk-only search of root in a child as the user nobody, with the descriptor limit
// set to soft/hard, calling onHit for each hit. Returns one line per hit and a last line
// with the soft limit after the search.
QByteArray searchInChild(const QByteArray &root, rlim_t soft, rlim_t hard,
                         const std::function<void(const QLMediaItemPtr &)> &onHit = {})
{
    if (TreeFixture::isRoot()) {
        // nobody must own the tree to change it from inside the search.
        const passwd *pw = getpwnam("nobody");
        static uid_t uid;
        uid = pw ? pw->pw_uid : 65534;
        nftw(root.constData(), [](const char *p, const struct stat *, int, FTW *) { return lchown(p, uid, gid_t(-1)); },
             64, FTW_PHYS);
    }
    return TreeFixture::runInChild([&](int fd) {
        walkInChild();
        const rlimit rl{soft, hard};
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
            _exit(5);
        QLSearchOptions o;
        o.setRoots({root});
        o.setUseSpotlight(false);
        QByteArray out;
        for (const QLMediaItemPtr &i : QLMediaSearch::searchWithOptions(o, onHit, {}, {}))
            out += i->path().mid(root.size() + 1) + '\n';
        rlimit after;
        getrlimit(RLIMIT_NOFILE, &after);
        out += "soft " + QByteArray::number(qulonglong(after.rlim_cur));
        if (write(fd, out.constData(), size_t(out.size())) != out.size())
            _exit(4);
    });
}

// Sets the walk's knobs for one scope.
struct Tuning
{
    explicit Tuning(const QLWalkTuning &t) { qlSetWalkTuning(t); }
    ~Tuning() { qlSetWalkTuning({}); }
};

// A tree like a collection: folders of mixed names (some skipped, hidden or packages),
// media files among others, a folder of 3000 entries, one of 400 subfolders and a chain
// 300 deep.
void buildCollection(TreeFixture &t)
{
    quint32 seed = 7;
    const auto next = [&seed](quint32 n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    const char *names[] = {"house", "Library", "node_modules", ".hidden", "Session.logicx", "mix", "Café", "夜曲"};
    const char *exts[] = {"mp3", "FLAC", "wav", "txt", "m4b", "jpg", "mov"};
    QList<QByteArray> dirs{"c"};
    t.dir("c");
    for (int i = 0; i < 1500; ++i) {
        const QByteArray parent = dirs[next(4) == 0 ? next(uint(dirs.size())) : dirs.size() - 1 - next(qMin<quint32>(dirs.size(), 20))];
        dirs.append(t.dir(parent + '/' + names[next(8)] + ' ' + QByteArray::number(i)).mid(t.root().size() + 1));
    }
    for (int i = 0; i < 5000; ++i)
        t.file(dirs[next(uint(dirs.size()))] + "/t" + QByteArray::number(i) + '.' + exts[next(7)]);
    for (int i = 0; i < 3000; ++i)
        t.file("c/crate/" + QByteArray::number(i) + (i % 3 ? ".mp3" : ".dat"));
    for (int i = 0; i < 400; ++i)
        t.file("c/wide/" + QByteArray::number(i) + "/w.mp3");
    t.deepChain("c/deep", "level", 300, "bottom.wav");
}

int openDescriptors()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

} // namespace

class tst_Walk final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void filters_data();
    void filters();
    void itemFields();
    void symlinksAndSpecialFiles();
    void namesThatAreNotUtf8();
    void oddNames();
    void folderRules_data();
    void folderRules();
    void indexPathsDropped_data();
    void indexPathsDropped();
    void linuxFolders_data();
    void linuxFolders();
    void progressEvery200Directories_data();
    void progressEvery200Directories();
    void packagesAreCountedNotEntered();
    void limitStopsTheWalk();
    void cancelledFromTheStart();
    void cancelledMidWalk();
    void overlappingRoots();
    void rootsThatWalkNothing_data();
    void rootsThatWalkNothing();
    void unreadableFoldersAreSkipped();
    void changesBelowTheWalk_data();
    void changesBelowTheWalk();
    void lowDescriptorLimit_data();
    void lowDescriptorLimit();
    void deepTreeWithBoundedDescriptors();
    void hugeDirectory();
    void parallelMatchesSequential_data();
    void parallelMatchesSequential();
    void limitStopsTheReaders();

private:
    std::unique_ptr<TreeFixture> m_collection;
};

void tst_Walk::filters_data()
{
    QTest::addColumn<Paths>("files");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<quint64>("kinds");
    QTest::addColumn<qint64>("minSize");
    QTest::addColumn<bool>("skipHidden");
    QTest::addColumn<Paths>("expected");

    const Paths kinds = {"a.mp3", "b.mp4", "c.m4a", "d.m4b", "e.wav", "f.aiff", "g.aif", "h.m4v", "i.mov", "j.flac",
                         "k.ogg", "l.aac", "m.txt", "noext", "n.MP3.txt"};
    QTest::newRow("all kinds") << kinds << QString() << QLAllKinds << qint64(0) << true
                               << Paths{"a.mp3", "b.mp4", "c.m4a", "d.m4b", "e.wav", "f.aiff", "g.aif", "h.m4v", "i.mov", "j.flac"};
    QTest::newRow("mask 24: wav and aiff") << kinds << QString() << quint64(24) << qint64(0) << true
                                           << Paths{"e.wav", "f.aiff", "g.aif"};
    QTest::newRow("mask 98: video") << kinds << QString() << quint64(98) << qint64(0) << true
                                    << Paths{"b.mp4", "h.m4v", "i.mov"};
    QTest::newRow("mask 4: m4a and m4b") << kinds << QString() << quint64(4) << qint64(0) << true
                                         << Paths{"c.m4a", "d.m4b"};
    QTest::newRow("bits above the eight are ignored") << kinds << QString() << quint64(1ull << 40 | 128) << qint64(0) << true
                                                      << Paths{"j.flac"};

    const Paths names = {"Song.MP3", "my song.flac", "SONGBOOK/x.wav", "other.mp3", "Sóng.mp3"};
    QTest::newRow("keyword in capitals") << names << QStringLiteral("SONG") << QLAllKinds << qint64(0) << true
                                         << Paths{"Song.MP3", "my song.flac"};
    QTest::newRow("keyword matches the extension") << names << QStringLiteral("mp3") << QLAllKinds << qint64(0) << true
                                                   << Paths{"Song.MP3", "Sóng.mp3", "other.mp3"};
    QTest::newRow("accents are not ignored") << names << QStringLiteral("sóng") << QLAllKinds << qint64(0) << true
                                             << Paths{"Sóng.mp3"};

    // é written decomposed (e + U+0301), as Mac disks store it, and precomposed.
    const Paths accents = {"Cafe\xcc\x81 del mar.mp3", "Caf\xc3\xa9 live.flac", "Cafe plain.wav"};
    QTest::newRow("precomposed keyword finds decomposed names") << accents << QString::fromUtf8("caf\xc3\xa9") << QLAllKinds
                                                                << qint64(0) << true
                                                                << Paths{"Caf\xc3\xa9 live.flac", "Cafe\xcc\x81 del mar.mp3"};
    QTest::newRow("decomposed keyword finds precomposed names") << accents << QString::fromUtf8("CAFE\xcc\x81") << QLAllKinds
                                                                << qint64(0) << true
                                                                << Paths{"Caf\xc3\xa9 live.flac", "Cafe\xcc\x81 del mar.mp3"};
    QTest::newRow("full lower-case mapping") << Paths{"STRASSE.mp3", "İstanbul.mp3", "ΟΔΥΣΣΕΥΣ.flac"} << QStringLiteral("σσ")
                                             << QLAllKinds << qint64(0) << true << Paths{"ΟΔΥΣΣΕΥΣ.flac"};

    const Paths sizes = {"empty.mp3", "big.mp3"};
    QTest::newRow("minSize 1 drops empty files") << sizes << QString() << QLAllKinds << qint64(1) << true << Paths{"big.mp3"};
    QTest::newRow("negative minSize: no filter") << sizes << QString() << QLAllKinds << qint64(-5) << true
                                                 << Paths{"big.mp3", "empty.mp3"};

    const Paths hidden = {".music/a.mp3", ".song.mp3", "x/.y/b.mp3", ".Trash/c.mp3", ".git/d.mp3", "visible.mp3", ".mp3",
                          "./e.mp3"};
    QTest::newRow("hidden skipped") << hidden << QString() << QLAllKinds << qint64(0) << true
                                    << Paths{"e.mp3", "visible.mp3"};
    QTest::newRow("hidden searched, .Trash and .git still not") << hidden << QString() << QLAllKinds << qint64(0) << false
                                                                << Paths{".music/a.mp3", ".song.mp3", "e.mp3", "visible.mp3",
                                                                         "x/.y/b.mp3"};

    const Paths skip = {"music/Library/a.mp3", "music/deep/er/Caches/b.mp3", "music/node_modules/c.mp3",
                        "music/library/d.mp3", "music/Caches2/e.mp3", "music/System Files/f.mp3", "music/home/g.mp3",
                        "music/DerivedData/h.mp3", "music/Mobile Documents/i.mp3"};
    Paths kept = {"music/Caches2/e.mp3", "music/System Files/f.mp3", "music/library/d.mp3"};
#ifndef Q_OS_MACOS
    kept += {"music/Library/a.mp3", "music/home/g.mp3"}; // only macOS keeps its own folders everywhere
#endif
    QTest::newRow("skip names, exact and case-sensitive") << skip << QString() << QLAllKinds << qint64(0) << true << kept;
}

void tst_Walk::filters()
{
    QFETCH(Paths, files);
    QFETCH(QString, keyword);
    QFETCH(quint64, kinds);
    QFETCH(qint64, minSize);
    QFETCH(bool, skipHidden);
    QFETCH(Paths, expected);

    TreeFixture t;
    for (const QByteArray &f : files)
        t.file(f, f.startsWith("big") ? 4096 : 0);
    QLSearchOptions o = walkOnly(t);
    o.setKeyword(keyword);
    o.setKinds(kinds);
    o.setMinSize(minSize);
    o.setSkipHidden(skipHidden);
    int calls = 0;
    const QList<QLMediaItemPtr> hits = QLMediaSearch::searchWithOptions(
        o, [&](const QLMediaItemPtr &) { ++calls; }, {}, {});
    QCOMPARE(relative(t, hits), sorted(expected));
    QCOMPARE(calls, hits.size());
}

void tst_Walk::itemFields()
{
    TreeFixture t;
    t.file("Sub Dir/Song.MP3", 1536);
    t.setMTime("Sub Dir/Song.MP3", 1700000000);
    QLMediaItemPtr streamed;
    const auto hits = QLMediaSearch::searchWithOptions(walkOnly(t), [&](const QLMediaItemPtr &i) { streamed = i; }, {}, {});
    QCOMPARE(hits.size(), 1);
    const QLMediaItemPtr &i = hits.first();
    QCOMPARE(streamed.get(), i.get()); // the same object goes to onItem and into the result
    QCOMPARE(i->path(), t.root() + "/Sub Dir/Song.MP3");
    QCOMPARE(i->name(), QStringLiteral("Song.MP3"));
    QCOMPARE(i->ext(), QStringLiteral("mp3"));
    QCOMPARE(i->sizeBytes(), qint64(1536));
    QCOMPARE(i->modified().toSecsSinceEpoch(), qint64(1700000000));
    QCOMPARE(i->origin(), QStringLiteral("walk"));
}

void tst_Walk::symlinksAndSpecialFiles()
{
    TreeFixture t;
    t.file("real/target.wav", 3000);
    t.file("elsewhere/inside.mp3");
    t.symlink("links/to-file.mp3", t.path("real/target.wav"));
    t.symlink("links/dangling.mp3", t.path("nowhere.mp3"));
    t.symlink("links/to-dir", t.path("elsewhere"));
    t.symlink("links/loop", "../links");
    t.symlink("links/folder-link.mp3", t.path("elsewhere"));
    t.fifo("special/pipe.mp3");
    t.dir("special/folder.mp3");
    QLSearchOptions o = walkOnly(t);
    QList<QLMediaItemPtr> hits = QLMediaSearch::searchWithOptions(o, {}, {}, {});
    QCOMPARE(relative(t, hits), (Paths{"elsewhere/inside.mp3", "links/to-file.mp3", "real/target.wav"}));
    for (const QLMediaItemPtr &i : hits) {
        if (i->name() == QLatin1String("to-file.mp3")) {
            QCOMPARE(i->sizeBytes(), qint64(3000)); // the size of the file the link leads to
            QCOMPARE(i->ext(), QStringLiteral("mp3"));
        }
    }
}

void tst_Walk::namesThatAreNotUtf8()
{
    // Two GBK-encoded names that differ only in undecodable bytes, and a Latin-1 one.
    TreeFixture t;
    const QByteArray a = "\xc7\xe0\xc4\xf1.mp3";
    const QByteArray b = "\xc7\xe0\xc4\xf2.mp3";
    const QByteArray c = "caf\xe9 live.flac";
    t.file("gbk/" + a, 10);
    t.file("gbk/" + b, 20);
    t.file("gbk/" + c, 30);
    QLSearchOptions o = walkOnly(t);
    QCOMPARE(relative(t, QLMediaSearch::searchWithOptions(o, {}, {}, {})), sorted({"gbk/" + a, "gbk/" + b, "gbk/" + c}));

    o.setKeyword(QStringLiteral("LIVE"));
    const auto hits = QLMediaSearch::searchWithOptions(o, {}, {}, {});
    QCOMPARE(hits.size(), 1);
    QCOMPARE(hits[0]->path(), t.path("gbk/" + c));
    QCOMPARE(hits[0]->fileNameBytes(), c);
    QVERIFY(hits[0]->name().contains(QChar(0xFFFD)));
    QVERIFY(access(hits[0]->path().constData(), F_OK) == 0);
}

void tst_Walk::oddNames()
{
    const Paths odd = {"new\nline.mp3", "tab\there.mp3", "-rf.mp3", "esc\x1b[31m.mp3", "back\\slash.mp3",
                       QByteArray(251, 'x') + ".mp3", "a'b\"c$(d).mp3", "trailing space .mp3"};
    TreeFixture t;
    for (const QByteArray &n : odd)
        t.file("odd/" + n);
    Paths expected;
    for (const QByteArray &n : odd)
        expected.append("odd/" + n);
    QCOMPARE(relative(t, QLMediaSearch::searchWithOptions(walkOnly(t), {}, {}, {})), sorted(expected));
}

namespace {

// The rules as Linux has them, for a user whose home is /home/me.
QLSkipRules rulesFor(const Paths &roots, bool skipHidden, bool linux)
{
    QLPlatform::SearchFolderRules system;
    if (linux) {
        system.systemNamesEverywhere = false;
        system.indexListsHidden = true;
        system.userTrash = "/home/me/.local/share/Trash";
        system.trashFoldersWithUid = true;
    }
    return QLSkipRules(roots, skipHidden, system, "/home/me");
}

} // namespace

void tst_Walk::folderRules_data()
{
    // The first root is walked; parent lies below it.
    QTest::addColumn<bool>("linux");
    QTest::addColumn<Paths>("roots");
    QTest::addColumn<QByteArray>("parent");
    QTest::addColumn<bool>("volumeTop");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("skipHidden");
    QTest::addColumn<char>("verdict"); // Skip, Report or Enter

    const Paths slash{"/"};
    const Paths usb{"/media/usb"};
    const Paths all{"/", "/media/usb", "/home/me"};
    QTest::newRow("usr under /") << true << slash << QByteArray() << false << QByteArray("usr") << true << 'S';
    QTest::newRow("home under / is searched") << true << slash << QByteArray() << false << QByteArray("home") << true << 'E';
    QTest::newRow("a home that is a root of its own") << true << all << QByteArray("home") << false << QByteArray("me") << true << 'S';
    QTest::newRow("another user's home") << true << all << QByteArray("home") << false << QByteArray("other") << true << 'E';
    QTest::newRow("a volume that is a root of its own") << true << all << QByteArray("media") << false << QByteArray("usb") << true << 'S';
    QTest::newRow("usr deep on a stick") << true << usb << QByteArray("music") << false << QByteArray("usr") << true << 'E';
    QTest::newRow("Library deep on a stick") << true << usb << QByteArray("music") << false << QByteArray("Library") << true << 'E';
    QTest::newRow("Library at a volume's top") << true << usb << QByteArray() << true << QByteArray("Library") << true << 'S';
    QTest::newRow("Library in the home folder") << true << Paths{"/home/me"} << QByteArray() << false << QByteArray("Library") << true << 'S';
    QTest::newRow("Library in another home") << true << slash << QByteArray("home/other") << false << QByteArray("Library") << true << 'S';
    QTest::newRow("Cache anywhere") << true << usb << QByteArray("music") << false << QByteArray("Cache") << true << 'S';
    QTest::newRow(".git, hidden files asked for") << true << usb << QByteArray("music") << false << QByteArray(".git") << false << 'S';
    QTest::newRow("the user's Trash, hidden files asked for") << true << Paths{"/home/me"} << QByteArray(".local/share")
                                                              << false << QByteArray("Trash") << false << 'S';
    QTest::newRow("a volume's .Trash-1000") << true << usb << QByteArray() << true << QByteArray(".Trash-1000") << false << 'S';
    QTest::newRow(".Trash-me is no user number") << true << usb << QByteArray() << true << QByteArray(".Trash-me") << false << 'E';
    QTest::newRow("a package") << true << usb << QByteArray("music") << false << QByteArray("Player.APP") << true << 'R';
    QTest::newRow("macOS: Library deep") << false << usb << QByteArray("music") << false << QByteArray("Library") << true << 'S';
    QTest::newRow("macOS: home under /") << false << slash << QByteArray() << false << QByteArray("home") << true << 'S';
}

void tst_Walk::folderRules()
{
    QFETCH(bool, linux);
    QFETCH(Paths, roots);
    QFETCH(QByteArray, parent);
    QFETCH(bool, volumeTop);
    QFETCH(QByteArray, name);
    QFETCH(bool, skipHidden);
    QFETCH(char, verdict);
    const QLSkipRules rules = rulesFor(roots, skipHidden, linux);
    // The place of the parent as the walk builds it, folder by folder from the root.
    QLFolderPlace place = rules.placeOfRoot(roots.first().toStdString());
    for (const QByteArray &part : parent.split('/')) {
        if (!part.isEmpty())
            place = rules.placeOf(place, part.toStdString());
    }
    place.volumeTop = volumeTop;
    const QLSkipRules::Verdict v = rules.verdict(place, name.toStdString());
    QCOMPARE("?SRE"[v], verdict);
}

void tst_Walk::indexPathsDropped_data()
{
    QTest::addColumn<bool>("linux");
    QTest::addColumn<Paths>("roots");
    QTest::addColumn<bool>("skipHidden");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("dropped");
    const Paths home{"/home/me"};
    const QByteArray trashed = "/home/me/.local/share/Trash/files/x.flac";
    QTest::newRow("in the Trash") << true << home << true << trashed << true;
    QTest::newRow("in the Trash, hidden files asked for") << true << home << false << trashed << true;
    QTest::newRow("a volume's .Trash-1000") << true << Paths{"/media/usb"} << false << QByteArray("/media/usb/.Trash-1000/files/a.mp3") << true;
    QTest::newRow("a hidden folder") << true << home << true << QByteArray("/home/me/.pyenv/x.mp3") << true;
    QTest::newRow("a hidden file") << true << home << true << QByteArray("/home/me/.song.mp3") << true;
    QTest::newRow("hidden files asked for") << true << home << false << QByteArray("/home/me/.pyenv/x.mp3") << false;
    QTest::newRow("a hidden root") << true << Paths{"/home/me/.music"} << true << QByteArray("/home/me/.music/a.mp3") << false;
    QTest::newRow("a hidden root beside /") << true << Paths{"/", "/home/me/.music"} << true << QByteArray("/home/me/.music/a.mp3") << false;
    QTest::newRow("hidden above the root only") << true << Paths{"/home/me/.m/x"} << true << QByteArray("/home/me/.m/x/a.mp3") << false;
    QTest::newRow("macOS: a hidden folder") << false << home << true << QByteArray("/home/me/.pyenv/x.mp3") << false;
}

void tst_Walk::indexPathsDropped()
{
    QFETCH(bool, linux);
    QFETCH(Paths, roots);
    QFETCH(bool, skipHidden);
    QFETCH(QByteArray, path);
    QFETCH(bool, dropped);
    QCOMPARE(rulesFor(roots, skipHidden, linux).dropsIndexPath(path), dropped);
}

void tst_Walk::linuxFolders_data()
{
    QTest::addColumn<bool>("skipHidden");
    QTest::addColumn<Paths>("expected");
    // Library in the home folder is left to the index, which knows it; Trash folders are
    // never listed; hidden ones only when asked for, from the walk and the index alike.
    QTest::newRow("hidden skipped") << true << Paths{"home/me/Library/a.mp3 spotlight", "music/Library/b.mp3 both"};
    QTest::newRow("hidden asked for") << false << Paths{"home/me/.pyenv/f.mp3 both", "home/me/Library/a.mp3 spotlight",
                                                        "music/.hidden/e.mp3 both", "music/Library/b.mp3 both"};
}

void tst_Walk::linuxFolders()
{
    if (QLPlatform::searchFolderRules().systemNamesEverywhere)
        QSKIP("macOS keeps its folder names everywhere");
    QFETCH(bool, skipHidden);
    QFETCH(Paths, expected);
    TreeFixture t;
    const Paths files = {"home/me/Library/a.mp3", "music/Library/b.mp3", "home/me/.local/share/Trash/files/c.flac",
                         "music/.Trash-1000/d.mp3", "music/.hidden/e.mp3", "home/me/.pyenv/f.mp3"};
    QByteArray list;
    for (const QByteArray &f : files)
        list += "printf '%s\\0' '" + t.file(f) + "'\n";
    QLSearchOptions o = walkOnly(t);
    o.setUseSpotlight(true);
    o.setIndexTool(t.write("tool.sh", "#!/bin/sh\n" + list, true));
    o.setSkipHidden(skipHidden);
    const QByteArray oldHome = qgetenv("HOME");
    const QByteArray oldData = qgetenv("XDG_DATA_HOME");
    qputenv("HOME", t.path("home/me"));
    qunsetenv("XDG_DATA_HOME");
    const QList<QLMediaItemPtr> hits = QLMediaSearch::searchWithOptions(o, {}, {}, {});
    qputenv("HOME", oldHome);
    if (!oldData.isEmpty())
        qputenv("XDG_DATA_HOME", oldData);
    Paths got;
    for (const QLMediaItemPtr &i : hits)
        got.append(i->path().mid(t.root().size() + 1) + ' ' + i->origin().toUtf8());
    std::sort(got.begin(), got.end());
    QCOMPARE(got, expected);
}

void tst_Walk::progressEvery200Directories_data()
{
    QTest::addColumn<int>("dirs");
    QTest::addColumn<QByteArray>("name200");
    QTest::addColumn<QList<quint64>>("reports");
    QTest::newRow("199 directories") << 199 << QByteArray() << QList<quint64>{199};
    QTest::newRow("200 directories") << 200 << QByteArray() << QList<quint64>{200, 200};
    QTest::newRow("the 200th is node_modules") << 200 << QByteArray("node_modules") << QList<quint64>{200};
    QTest::newRow("the 200th is hidden") << 201 << QByteArray(".hidden") << QList<quint64>{201};
    QTest::newRow("401 directories") << 401 << QByteArray() << QList<quint64>{200, 400, 401};
}

void tst_Walk::progressEvery200Directories()
{
    QFETCH(int, dirs);
    QFETCH(QByteArray, name200);
    QFETCH(QList<quint64>, reports);

    // A chain: the order in which directories are met is then fixed.
    TreeFixture t;
    QByteArray rel;
    for (int i = 1; i <= dirs; ++i) {
        const QByteArray name = i == 200 && !name200.isEmpty() ? name200 : "d" + QByteArray::number(i);
        rel += (rel.isEmpty() ? "" : "/") + name;
        if (i == 200 && !name200.isEmpty())
            break;
    }
    t.dir(rel);
    // A sibling chain makes up the count when the chain stopped at a skipped directory.
    const int made = rel.count('/') + 1;
    QByteArray rest;
    for (int i = made + 1; i <= dirs; ++i)
        rest += (rest.isEmpty() ? "" : "/") + ("z" + QByteArray::number(i));
    if (!rest.isEmpty())
        t.dir("d1/" + rest);

    QList<quint64> got;
    QStringList texts;
    QLMediaSearch::searchWithOptions(walkOnly(t), {}, [&](quint64 n, const QString &text) {
        got.append(n);
        texts.append(text);
    }, {});
    QCOMPARE(got, reports);
    QCOMPARE(texts.last(), QStringLiteral("并入索引结果…"));
    if (got.size() > 1)
        QVERIFY(texts.first().startsWith(QLatin1Char('d')) || texts.first().startsWith(QLatin1Char('z')));
}

void tst_Walk::packagesAreCountedNotEntered()
{
    TreeFixture t;
    t.file("Apps/Player.app/Contents/Resources/jingle.mp3");
    t.file("Apps/Plug.VST3/demo.wav");
    t.file("Apps/Project.logicx/Audio Files/take.aif");
    t.file("Apps/song.app.mp3");
    t.file("Apps/notes.appx/x.mp3");
    quint64 total = 0;
    const auto hits = QLMediaSearch::searchWithOptions(walkOnly(t), {}, [&](quint64 n, const QString &) { total = n; }, {});
    QCOMPARE(relative(t, hits), (Paths{"Apps/notes.appx/x.mp3", "Apps/song.app.mp3"}));
    QCOMPARE(total, quint64(5)); // Apps, the three packages (once each), notes.appx
}

void tst_Walk::limitStopsTheWalk()
{
    TreeFixture t;
    t.files({"first/a.mp3", "first/b.mp3", "second/c.mp3"});
    // A tool that leaves a mark shows whether the index phase ran.
    const QByteArray mark = t.path("index-ran");
    const QByteArray tool = t.write("tool.sh", "#!/bin/sh\ntouch '" + mark + "'\nexit 1\n", true);

    QLSearchOptions o = walkOnly(t);
    o.setRoots({t.path("first"), t.path("second")});
    o.setUseSpotlight(true);
    o.setIndexTool(tool);
    o.setLimit(1);
    int calls = 0;
    const auto hits = QLMediaSearch::searchWithOptions(o, [&](const QLMediaItemPtr &) { ++calls; }, {}, {});
    QCOMPARE(hits.size(), 1);
    QCOMPARE(calls, 1);
    QVERIFY(hits[0]->path().startsWith(t.path("first/")));
    QVERIFY2(access(mark.constData(), F_OK) != 0, "the index phase must not run once the limit is reached");

    o.setLimit(4);
    QCOMPARE(QLMediaSearch::searchWithOptions(o, {}, {}, {}).size(), 3);
    QVERIFY2(access(mark.constData(), F_OK) == 0, "below the limit the index phase runs");
}

void tst_Walk::cancelledFromTheStart()
{
    TreeFixture t;
    t.files({"a.mp3", "b/c.mp3"});
    int items = 0;
    QList<quint64> counts;
    QStringList texts;
    const auto hits = QLMediaSearch::searchWithOptions(
        walkOnly(t), [&](const QLMediaItemPtr &) { ++items; },
        [&](quint64 n, const QString &s) {
            counts.append(n);
            texts.append(s);
        },
        [] { return true; });
    QVERIFY(hits.isEmpty());
    QCOMPARE(items, 0);
    QCOMPARE(counts, QList<quint64>{0});
    QCOMPARE(texts, QStringList{QStringLiteral("并入索引结果…")});
}

void tst_Walk::cancelledMidWalk()
{
    TreeFixture t;
    for (int i = 0; i < 50; ++i)
        t.file("d" + QByteArray::number(i) + "/x.mp3");
    bool cancel = false;
    const auto hits = QLMediaSearch::searchWithOptions(walkOnly(t), [&](const QLMediaItemPtr &) { cancel = true; }, {},
                                                       [&] { return cancel; });
    QCOMPARE(hits.size(), 1);
}

void tst_Walk::overlappingRoots()
{
    TreeFixture t;
    t.files({"music/a.mp3", "music/sub/b.mp3", "c.mp3"});
    QLSearchOptions o = walkOnly(t);
    o.setRoots({t.root() + "/", t.path("music")});
    const auto hits = QLMediaSearch::searchWithOptions(o, {}, {}, {});
    QCOMPARE(relative(t, hits), (Paths{"c.mp3", "music/a.mp3", "music/sub/b.mp3"}));

    // The path first met wins: the sub-root first gives the same files once each.
    o.setRoots({t.path("music"), t.root()});
    QCOMPARE(QLMediaSearch::searchWithOptions(o, {}, {}, {}).size(), 3);
}

void tst_Walk::rootsThatWalkNothing_data()
{
    // "@" stands for the tree's root. Virtual file systems are known by the file system
    // itself, however the path to them is spelled.
    QTest::addColumn<Paths>("roots");
    QTest::addColumn<Paths>("expected");
    QTest::newRow("missing, virtual, a file, then a folder")
        << Paths{"@/missing", "/proc", "/sys/", "@/plain-file.mp3", "@/ok"} << Paths{"ok/a.mp3"};
    for (const char *proc : {"//proc", "/proc/.", "/tmp/../proc", "@/proc-link", "/proc/self", "/proc/self/root/proc",
                             "//sys", "/sys/kernel", "/dev"})
        QTest::newRow(proc) << Paths{proc} << Paths{};
}

void tst_Walk::rootsThatWalkNothing()
{
    QFETCH(Paths, roots);
    QFETCH(Paths, expected);
    TreeFixture t;
    t.file("ok/a.mp3");
    t.file("plain-file.mp3");
    t.symlink("proc-link", "/proc");
    QLSearchOptions o = walkOnly(t);
    for (QByteArray &r : roots)
        r.replace('@', t.root());
    o.setRoots(roots);
    quint64 folders = 1;
    QCOMPARE(relative(t, QLMediaSearch::searchWithOptions(o, {}, [&](quint64 n, const QString &) { folders = n; }, {})),
             expected);
    QCOMPARE(folders, quint64(0));
}

void tst_Walk::unreadableFoldersAreSkipped()
{
    TreeFixture t;
    t.files({"open/a.mp3", "locked/b.mp3", "locked/inner/c.mp3", "after/d.mp3", "noexec/e.mp3"});
    t.chmod("", 0755);
    t.chmod("locked", 0000);
    t.chmod("noexec", 0644); // listable but not enterable
    const QByteArray root = t.root();
    const QByteArray out = TreeFixture::runInChild([root](int fd) {
        walkInChild();
        QLSearchOptions o;
        o.setRoots({root});
        o.setUseSpotlight(false);
        for (const QLMediaItemPtr &i : QLMediaSearch::searchWithOptions(o, {}, {}, {})) {
            const QByteArray line = i->path() + '\n';
            if (write(fd, line.constData(), size_t(line.size())) < 0)
                _exit(4);
        }
    });
    Paths got = out.split('\n');
    got.removeAll(QByteArray());
    QCOMPARE(sorted(got), sorted({t.path("after/d.mp3"), t.path("open/a.mp3")}));
}

void tst_Walk::changesBelowTheWalk_data()
{
    // Done to the first chain the walk meets when it reaches that chain's bottom, with
    // the chain's upper folders closed for want of descriptors.
    QTest::addColumn<QByteArray>("change");
    QTest::newRow("a folder moved elsewhere") << QByteArray("move");
    QTest::newRow("a folder made unreadable") << QByteArray("lock");
}

void tst_Walk::changesBelowTheWalk()
{
    QFETCH(QByteArray, change);
    TreeFixture t;
    t.chmod("", 0755);
    for (int i = 0; i < 8; ++i)
        branchyChain(t, "c" + QByteArray::number(i), 60);
    t.dir("parking");
    bool changed = false;
    const QByteArray root = t.root();
    const QByteArray out = searchInChild(root, 48, 48, [&](const QLMediaItemPtr &hit) {
        if (changed || hit->fileNameBytes() != "bottom.mp3")
            return;
        changed = true;
        const QByteArray chain = hit->path().left(hit->path().indexOf("/l/"));
        const QByteArray target = chain + (change == "move" ? "/l/l" : "/l/l/l");
        const int rc = change == "move" ? rename(target.constData(), (root + "/parking/l").constData())
                                        : ::chmod(target.constData(), 0);
        if (rc != 0)
            _exit(6);
    });
    // Every file was listed before the change or lies in another chain: all are found.
    QCOMPARE(out.count("bottom.mp3\n"), 8);
    QCOMPARE(out.count("f.mp3\n"), 8 * 59);
}

void tst_Walk::lowDescriptorLimit_data()
{
    QTest::addColumn<int>("soft");
    QTest::addColumn<int>("hard");
    QTest::addColumn<bool>("exhaust"); // the search finds the process out of descriptors
    QTest::newRow("20 of 20") << 20 << 20 << false;
    QTest::newRow("20 of 4096: raised") << 20 << 4096 << false;
    QTest::newRow("all taken during the walk") << 64 << 64 << true;
}

void tst_Walk::lowDescriptorLimit()
{
    QFETCH(int, soft);
    QFETCH(int, hard);
    QFETCH(bool, exhaust);
    TreeFixture t;
    t.chmod("", 0755);
    branchyChain(t, "deep", 300);
    bool exhausted = false;
    const QByteArray out = searchInChild(t.root(), rlim_t(soft), rlim_t(hard), [&](const QLMediaItemPtr &) {
        if (!exhaust || exhausted)
            return;
        // Everything but three descriptors taken, as another part of the program might.
        exhausted = true;
        std::vector<int> taken;
        for (int fd; (fd = dup(0)) >= 0;)
            taken.push_back(fd);
        for (int i = 0; i < 3 && !taken.empty(); ++i) {
            close(taken.back());
            taken.pop_back();
        }
    });
    QCOMPARE(out.count("f.mp3\n") + out.count("bottom.mp3\n"), 300);
    QVERIFY2(out.endsWith("soft " + QByteArray::number(hard)), out.right(20).constData());
}

void tst_Walk::deepTreeWithBoundedDescriptors()
{
    // 2500 levels of 9-byte names: a path of 25,000 bytes, far beyond PATH_MAX.
    TreeFixture t;
    t.deepChain("deep", "level-xyz", 2500, "bottom.mp3");
    t.deepChain("deep/level-xyz/level-xyz", "side", 300, "side.flac");
    t.file("deep/top.wav");
    const int before = openDescriptors();
    int most = 0;
    QList<QByteArray> names;
    const auto hits = QLMediaSearch::searchWithOptions(walkOnly(t), [&](const QLMediaItemPtr &i) {
        most = std::max(most, openDescriptors() - before);
        names.append(i->fileNameBytes());
    }, {}, {});
    std::sort(names.begin(), names.end());
    QCOMPARE(names, (Paths{"bottom.mp3", "side.flac", "top.wav"}));
    for (const QLMediaItemPtr &i : hits) {
        if (i->name() == QLatin1String("bottom.mp3"))
            QCOMPARE(i->path().size(), t.root().size() + 6 + 2500 * 10 + 10);
    }
    QVERIFY2(most <= 160, QByteArray::number(most).constData());
    QCOMPARE(openDescriptors(), before);
}

void tst_Walk::hugeDirectory()
{
    TreeFixture t;
    t.file("a.mp3");
    const QByteArray dir = t.dir("crate");
    const int fd = open(dir.constData(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 100000; ++i) {
        const QByteArray name = QByteArray::number(i) + (i % 100 == 0 ? ".Mp3" : ".dat");
        close(openat(fd, name.constData(), O_WRONLY | O_CREAT, 0644));
    }
    close(fd);
    QCOMPARE(QLMediaSearch::searchWithOptions(walkOnly(t), {}, {}, {}).size(), 1001);

    // Stopped at the first hit in the folder: the reader that lists it gives up too, long
    // before its end. Slow batches keep it from getting there first; the walker lingers
    // over a.mp3 so that a reader, not the walker, takes the folder.
    std::atomic<quint64> listed{0};
    const Tuning tuning({4, 0, [&](const QByteArray &folder, quint64 entries) {
        if (folder.endsWith("/crate") && entries > 0) {
            listed = std::max<quint64>(listed, entries);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }});
    bool stop = false;
    const auto hits = QLMediaSearch::searchWithOptions(walkOnly(t), [&](const QLMediaItemPtr &i) {
        if (i->fileNameBytes() == "a.mp3")
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        else
            stop = true;
    }, {}, [&] { return stop; });
    QCOMPARE(hits.size(), 2);
    QVERIFY2(listed > 0 && listed < 100000, QByteArray::number(listed.load()).constData());
}

void tst_Walk::parallelMatchesSequential_data()
{
    QTest::addColumn<int>("readers");
    QTest::addColumn<int>("aheadBytes");
    QTest::newRow("4 readers") << 4 << 0;
    QTest::newRow("4 readers, 16 KiB ahead") << 4 << 16 * 1024;
    QTest::newRow("1 reader, 1 KiB ahead") << 1 << 1024;
}

void tst_Walk::parallelMatchesSequential()
{
    QFETCH(int, readers);
    QFETCH(int, aheadBytes);
    if (!m_collection) {
        m_collection = std::make_unique<TreeFixture>();
        buildCollection(*m_collection);
    }
    const auto run = [&](int n, size_t ahead) {
        const Tuning tuning({n, ahead, {}});
        QByteArray out;
        QLMediaSearch::searchWithOptions(
            walkOnly(*m_collection), [&](const QLMediaItemPtr &i) { out += i->path() + '\0'; },
            [&](quint64 dirs, const QString &name) { out += QByteArray::number(dirs) + ' ' + name.toUtf8() + '\0'; }, {});
        return out;
    };
    const QByteArray sequential = run(0, 0);
    QVERIFY(sequential.count("bottom.wav") == 1 && sequential.count("/crate/") == 2000);
    QCOMPARE(run(readers, size_t(aheadBytes)), sequential);
}

void tst_Walk::limitStopsTheReaders()
{
    // The first hit lies in the root; 300 folders follow it in walk order. Slow reads keep
    // the readers close behind, so that reading on after the limit would show.
    TreeFixture t;
    t.file("hit.mp3");
    for (int i = 0; i < 300; ++i)
        t.file("f" + QByteArray::number(i) + "/x.mp3");
    std::atomic<bool> limitReached{false};
    std::atomic<int> openedAfter{0};
    const Tuning tuning({4, 0, [&](const QByteArray &, quint64 listed) {
        if (listed != 0)
            return;
        openedAfter += limitReached ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }});
    QLSearchOptions o = walkOnly(t);
    o.setLimit(1);
    const auto hits = QLMediaSearch::searchWithOptions(o, [&](const QLMediaItemPtr &) { limitReached = true; }, {}, {});
    QCOMPARE(hits.size(), 1);
    // Between the last hit and the stop each reader may start a folder, a few if the
    // walking thread loses the processor meanwhile; reading on would open about 300.
    QVERIFY2(openedAfter <= 16, QByteArray::number(openedAfter.load()).constData());
}

QTEST_GUILESS_MAIN(tst_Walk)
#include "tst_walk.moc"
