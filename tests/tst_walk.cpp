#include "qlmediasearch.h"
#include "qlplatform.h"
#include "skiprules.h"
#include "treefixture.h"
#include "walk.h"

#include <QDir>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <sys/mount.h>
#include <sys/resource.h>

using Paths = QList<QByteArray>;
using Hits = QList<QLMediaItemPtr>;

namespace {

QLSearchOptions walkOnly(const QByteArray &root)
{
    QLSearchOptions o;
    o.setRoots({root});
    o.setUseSpotlight(false);
    return o;
}

Paths sorted(Paths p)
{
    std::sort(p.begin(), p.end());
    return p;
}

// The hits' paths relative to root, sorted, each with its origin when asked.
Paths relative(const QByteArray &root, const Hits &hits, bool origins = false)
{
    Paths out;
    for (const QLMediaItemPtr &i : hits)
        out.append(i->path().mid(root.size() + 1) + (origins ? ' ' + i->origin().toUtf8() : QByteArray()));
    return sorted(out);
}

// Sets the walk's knobs for one scope.
struct Tuning
{
    explicit Tuning(const QLWalkTuning &t) { qlSetWalkTuning(t); }
    ~Tuning() { qlSetWalkTuning({}); }
};

QByteArray joined(const Hits &hits)
{
    QByteArray out;
    for (const QLMediaItemPtr &i : hits)
        out += i->path() + '\0';
    return out;
}

// Searches with the readers and again without any: both must give the same hits in the
// same order.
Hits search(const QLSearchOptions &o, const QLItemCallback &onItem = {})
{
    QByteArray alone;
    {
        const Tuning none({0, 0, {}});
        alone = joined(QLMediaSearch::searchWithOptions(o, {}, {}, {}));
    }
    const Hits hits = QLMediaSearch::searchWithOptions(o, onItem, {}, {});
    return QTest::qCompare(joined(hits), alone, "with readers", "without", __FILE__, __LINE__) ? hits : Hits();
}

// A chain of depth folders "l" below rel, each holding f.mp3 (the deepest bottom.mp3) and
// three empty folders: the walk keeps a folder's descriptor while subfolders of it remain,
// so such a chain needs more descriptors than the walk may keep. Returns its files.
Paths branchyChain(TreeFixture &t, QByteArray rel, int depth)
{
    Paths files;
    for (int i = 0; i < depth; ++i) {
        rel += "/l";
        files.append(rel + (i + 1 == depth ? "/bottom.mp3" : "/f.mp3"));
        t.file(files.last());
        for (const char *s : {"/s1", "/s2", "/s3"})
            t.dir(rel + s);
    }
    return files;
}

} // namespace

class tst_Walk final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void filters_data();
    void filters();
    void hitsAndLinks();
    void rules_data();
    void rules();
    void progressEvery200Directories_data();
    void progressEvery200Directories();
    void limitStopsTheWalk();
    void cancelled_data();
    void cancelled();
    void roots_data();
    void roots();
    void asAnotherUser_data();
    void asAnotherUser();
    void virtualFileSystemInside();
    void deeperThanPathMax();
    void hugeFolder();
    void readersMatchTheWalkAlone();
};

void tst_Walk::filters_data()
{
    QTest::addColumn<Paths>("files");
    QTest::addColumn<Paths>("expected");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<quint64>("kinds");
    QTest::addColumn<qint64>("minSize");
    QTest::addColumn<bool>("skipHidden");
    const auto row = [](const char *name, const Paths &files, const Paths &expected, const QString &keyword = {},
                        quint64 kinds = QLAllKinds, qint64 minSize = 0, bool skipHidden = true) {
        QTest::newRow(name) << files << expected << keyword << kinds << minSize << skipHidden;
    };
    const Paths kinds = {"a.mp3", "b.mp4", "c.m4a", "d.m4b", "e.wav", "f.aiff", "g.aif", "h.m4v", "i.mov", "j.flac",
                         "k.ogg", "l.aac", "m.txt", "noext", "n.MP3.txt", ".mp3"};
    row("all kinds", kinds, {"a.mp3", "b.mp4", "c.m4a", "d.m4b", "e.wav", "f.aiff", "g.aif", "h.m4v", "i.mov", "j.flac"});
    row("a mask; bits above the eight ignored", kinds, {"c.m4a", "d.m4b", "f.aiff", "g.aif", "j.flac"}, {},
        1ull << 40 | QLKindM4A | QLKindAIFF | QLKindFLAC);

    const Paths names = {"Song.MP3", "my song.flac", "SONGBOOK/x.wav", "other.mp3", "Sóng.mp3"};
    row("keyword in capitals", names, {"Song.MP3", "my song.flac"}, QStringLiteral("SONG"));
    row("keyword matches the extension", names, {"Song.MP3", "Sóng.mp3", "other.mp3"}, QStringLiteral("mp3"));
    row("accents are not ignored", names, {"Sóng.mp3"}, QStringLiteral("sóng"));
    // é precomposed, and decomposed (e + U+0301) as Mac disks store it.
    const Paths accents = {"Cafe\xcc\x81 del mar.mp3", "Caf\xc3\xa9 live.flac", "Cafe plain.wav"};
    const Paths cafe = {"Caf\xc3\xa9 live.flac", "Cafe\xcc\x81 del mar.mp3"};
    row("precomposed keyword", accents, cafe, QString::fromUtf8("caf\xc3\xa9"));
    row("decomposed keyword", accents, cafe, QString::fromUtf8("CAFE\xcc\x81"));
    row("full lower-case mapping", {"STRASSE.mp3", "İstanbul.mp3", "ΟΔΥΣΣΕΥΣ.flac"}, {"ΟΔΥΣΣΕΥΣ.flac"}, QStringLiteral("σσ"));
    row("minimum size, itself admitted", {"empty.mp3", "big.mp3"}, {"big.mp3"}, {}, QLAllKinds, 4096);

    const Paths hidden = {".music/a.mp3", ".song.mp3", "x/.y/b.mp3", ".Trash/c.mp3", ".git/d.mp3", "visible.mp3", "./e.mp3"};
    row("hidden skipped", hidden, {"e.mp3", "visible.mp3"});
    row("hidden asked for; .Trash and .git still not", hidden,
        {".music/a.mp3", ".song.mp3", "e.mp3", "visible.mp3", "x/.y/b.mp3"}, {}, QLAllKinds, 0, false);
    Paths kept = {"m/Caches2/e.mp3", "m/System Files/f.mp3", "m/library/d.mp3", "m/Apps/song.app.mp3", "m/Apps/notes.appx/x.mp3"};
#ifndef Q_OS_MACOS
    kept += {"m/Library/a.mp3", "m/home/g.mp3"}; // only macOS skips its own folders everywhere
#endif
    row("skip names, exact and case-sensitive; packages",
        {"m/Library/a.mp3", "m/deep/er/Caches/b.mp3", "m/node_modules/c.mp3", "m/library/d.mp3", "m/Caches2/e.mp3",
         "m/System Files/f.mp3", "m/home/g.mp3", "m/DerivedData/h.mp3", "m/Mobile Documents/i.mp3",
         "m/Apps/Player.app/Contents/jingle.mp3", "m/Apps/Plug.VST3/demo.wav", "m/Apps/song.app.mp3", "m/Apps/notes.appx/x.mp3"},
        kept);

    // Two GBK names that differ only in bytes no decoder takes, and a Latin-1 one.
    const Paths odd = {"new\nline.mp3", "tab\there.mp3", "-rf.mp3", "esc\x1b[31m.mp3", "back\\slash.mp3", "a'b\"c$(d).mp3",
                       QByteArray(251, 'x') + ".mp3", "trailing space .mp3", "\xc7\xe0\xc4\xf1.mp3", "\xc7\xe0\xc4\xf2.mp3",
                       "caf\xe9 live.flac"};
    row("odd names and names that are not UTF-8", odd, odd);
    row("keyword on a name that is not UTF-8", odd, {"caf\xe9 live.flac"}, QStringLiteral("LIVE"));
}

void tst_Walk::filters()
{
    QFETCH(Paths, files);
    QFETCH(Paths, expected);
    QFETCH(QString, keyword);
    QFETCH(quint64, kinds);
    QFETCH(qint64, minSize);
    QFETCH(bool, skipHidden);
    TreeFixture t;
    for (const QByteArray &f : files)
        t.file(f, f.startsWith("big") ? 4096 : 0);
    QLSearchOptions o = walkOnly(t.root());
    o.setKeyword(keyword);
    o.setKinds(kinds);
    o.setMinSize(minSize);
    o.setSkipHidden(skipHidden);
    int calls = 0;
    const Hits hits = search(o, [&](const QLMediaItemPtr &) { ++calls; });
    QCOMPARE(relative(t.root(), hits), sorted(expected));
    QCOMPARE(calls, hits.size());
}

void tst_Walk::hitsAndLinks()
{
    TreeFixture t;
    t.file("Sub Dir/Song.MP3", 1536);
    t.file("real/target.wav", 3000);
    t.file("elsewhere/inside.mp3");
    t.setMTime("Sub Dir/Song.MP3", 1700000000);
    t.setMTime("real/target.wav", 1600000000);
    t.setMTime("elsewhere/inside.mp3", 1500000000);
    t.symlink("links/to-file.mp3", t.path("real/target.wav"));
    t.symlink("links/dangling.mp3", t.path("nowhere.mp3"));
    t.symlink("links/to-dir", t.path("elsewhere"));
    t.symlink("links/loop", "../links");
    t.symlink("links/folder-link.mp3", t.path("elsewhere"));
    t.fifo("special/pipe.mp3");
    t.dir("special/folder.mp3");
    Hits streamed;
    const Hits hits = search(walkOnly(t.root()), [&](const QLMediaItemPtr &i) { streamed.append(i); });
    QCOMPARE(streamed, hits); // the very objects
    Paths got;
    for (const QLMediaItemPtr &i : hits) {
        got.append(i->path().mid(t.root().size() + 1) + ' ' + i->name().toUtf8() + ' ' + i->ext().toUtf8() + ' '
                   + QByteArray::number(i->sizeBytes()) + ' ' + QByteArray::number(i->modified().toSecsSinceEpoch())
                   + ' ' + i->origin().toUtf8());
    }
    QCOMPARE(sorted(got), (Paths{"Sub Dir/Song.MP3 Song.MP3 mp3 1536 1700000000 walk",
                                 "elsewhere/inside.mp3 inside.mp3 mp3 0 1500000000 walk",
                                 "links/to-file.mp3 to-file.mp3 mp3 3000 1600000000 walk",
                                 "real/target.wav target.wav wav 3000 1600000000 walk"}));
}

void tst_Walk::rules_data()
{
    // For a user whose home is /home/me, on Linux unless flags has m (macOS); h: hidden
    // files asked for; v: the parent is a volume's top. A folder (the last component of
    // path, its parent reached from the first root) is skipped (S), reported as a
    // package (R) or entered (E); an index path is dropped (D) or kept (K).
    QTest::addColumn<Paths>("roots");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("flags");
    QTest::addColumn<char>("expected");
    const auto row = [](const char *name, const Paths &roots, const QByteArray &path, const char *flags, char expected) {
        QTest::newRow(name) << roots << path << QByteArray(flags) << expected;
    };
    const Paths slash{"/"}, usb{"/media/usb"}, home{"/home/me"}, all{"/", "/media/usb", "/home/me"};
    row("usr under /", slash, "/usr", "", 'S');
    row("home under / is searched", slash, "/home", "", 'E');
    row("a home that is a root of its own", all, "/home/me", "", 'S');
    row("another user's home", all, "/home/other", "", 'E');
    row("a volume that is a root of its own", all, "/media/usb", "", 'S');
    row("usr deep on a stick", usb, "/media/usb/music/usr", "", 'E');
    row("Library deep on a stick", usb, "/media/usb/music/Library", "", 'E');
    row("Library at a volume's top", usb, "/media/usb/Library", "v", 'S');
    row("Library in the home folder", home, "/home/me/Library", "", 'S');
    row("Library in another home", slash, "/home/other/Library", "", 'S');
    row("Cache anywhere", usb, "/media/usb/music/Cache", "", 'S');
    row(".git, hidden files asked for", usb, "/media/usb/music/.git", "h", 'S');
    row("the user's Trash, hidden files asked for", home, "/home/me/.local/share/Trash", "h", 'S');
    row("a volume's .Trash-1000", usb, "/media/usb/.Trash-1000", "hv", 'S');
    row(".Trash-me is no user number", usb, "/media/usb/.Trash-me", "hv", 'E');
    row("a package", usb, "/media/usb/music/Player.APP", "", 'R');
    row("macOS: Library deep", usb, "/media/usb/music/Library", "m", 'S');
    row("macOS: home under /", slash, "/home", "m", 'S');
    const QByteArray trashed = "/home/me/.local/share/Trash/files/x.flac";
    row("index: in the Trash", home, trashed, "", 'D');
    row("index: in the Trash, hidden files asked for", home, trashed, "h", 'D');
    row("index: a volume's .Trash-1000", usb, "/media/usb/.Trash-1000/files/a.mp3", "h", 'D');
    row("index: a hidden folder", home, "/home/me/.pyenv/x.mp3", "", 'D');
    row("index: a hidden file", home, "/home/me/.song.mp3", "", 'D');
    row("index: hidden files asked for", home, "/home/me/.pyenv/x.mp3", "h", 'K');
    row("index: a hidden root", {"/home/me/.music"}, "/home/me/.music/a.mp3", "", 'K');
    row("index: a hidden root beside /", {"/", "/home/me/.music"}, "/home/me/.music/a.mp3", "", 'K');
    row("index: hidden above the root only", {"/home/me/.m/x"}, "/home/me/.m/x/a.mp3", "", 'K');
    row("index, macOS: a hidden folder", home, "/home/me/.pyenv/x.mp3", "m", 'K');
}

void tst_Walk::rules()
{
    QFETCH(Paths, roots);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, flags);
    QFETCH(char, expected);
    QLPlatform::SearchFolderRules system;
    if (!flags.contains('m')) {
        system.systemNamesEverywhere = false;
        system.indexListsHidden = true;
        system.userTrash = "/home/me/.local/share/Trash";
        system.trashFoldersWithUid = true;
    }
    const QLSkipRules rules(roots, !flags.contains('h'), system, "/home/me");
    if (expected == 'D' || expected == 'K') {
        QCOMPARE(rules.dropsIndexPath(path) ? 'D' : 'K', expected);
        return;
    }
    // The parent's place as the walk builds it, folder by folder from the root.
    QLFolderPlace place = rules.placeOfRoot(roots.first().toStdString());
    const Paths parts = path.mid(roots.first().size()).split('/');
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        if (!parts[i].isEmpty())
            place = rules.placeOf(place, parts[i].toStdString());
    }
    place.volumeTop = flags.contains('v');
    QCOMPARE("?SRE"[rules.verdict(place, parts.last().toStdString())], expected);
}

void tst_Walk::progressEvery200Directories_data()
{
    // One chain d1/d2/.../d401, so that the order in which folders are met is fixed,
    // searched from below its first folders; its 200th folder named as the row says.
    QTest::addColumn<int>("above"); // folders of the chain above the root searched
    QTest::addColumn<QByteArray>("name200");
    QTest::addColumn<Paths>("reports");
    const QByteArray done = " 并入索引结果…";
    QTest::newRow("199 folders") << 202 << QByteArray("d200") << Paths{"199" + done};
    QTest::newRow("200 folders") << 201 << QByteArray("d200") << Paths{"200 d401", "200" + done};
    QTest::newRow("401 folders") << 0 << QByteArray("d200") << Paths{"200 d200", "400 d400", "401" + done};
    QTest::newRow("the 200th is node_modules") << 0 << QByteArray("node_modules") << Paths{"200" + done};
    QTest::newRow("the 200th is hidden") << 0 << QByteArray(".hidden") << Paths{"200" + done};
    QTest::newRow("the 200th is a package") << 0 << QByteArray("Player.APP") << Paths{"200 Player.APP", "200" + done};
}

void tst_Walk::progressEvery200Directories()
{
    QFETCH(int, above);
    QFETCH(QByteArray, name200);
    QFETCH(Paths, reports);
    TreeFixture t;
    QByteArray chain = t.root(), root = t.root();
    for (int i = 1; i <= 401; ++i) {
        chain += '/' + (i == 200 ? name200 : "d" + QByteArray::number(i));
        root = i == above ? chain : root;
    }
    t.dir(chain.mid(t.root().size() + 1));
    Paths got;
    QLMediaSearch::searchWithOptions(walkOnly(root), {},
                                     [&](quint64 n, const QString &text) { got.append(QByteArray::number(n) + ' ' + text.toUtf8()); }, {});
    QCOMPARE(got, reports);
}

void tst_Walk::limitStopsTheWalk()
{
    // The first hit lies in the first root; 100 folders follow it in walk order. Slow
    // reads keep the readers close behind, so that reading on after the limit would show.
    TreeFixture t;
    t.files({"first/a.mp3", "first/b.mp3", "second/c.mp3"});
    for (int i = 0; i < 100; ++i)
        t.file("first/f" + QByteArray::number(i) + "/x.mp3");
    const QByteArray mark = t.path("index-ran");
    QLSearchOptions o = walkOnly(t.path("first"));
    o.setRoots({t.path("first"), t.path("second")});
    o.setUseSpotlight(true);
    o.setIndexTool(t.write("tool.sh", "#!/bin/sh\ntouch '" + mark + "'\nexit 1\n", true));
    o.setLimit(1);
    std::atomic<int> calls{0};
    std::atomic<int> openedAfter{0};
    const Tuning tuning({4, 0, [&](const QByteArray &, quint64 listed) {
        if (listed == 0) {
            openedAfter += calls > 0 ? 1 : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    }});
    const Hits hits = QLMediaSearch::searchWithOptions(o, [&](const QLMediaItemPtr &) { ++calls; }, {}, {});
    QCOMPARE(hits.size(), 1);
    QCOMPARE(calls, 1);
    QVERIFY(hits[0]->path().startsWith(t.path("first/")));
    QVERIFY2(access(mark.constData(), F_OK) != 0, "the index phase ran after the limit");
    // Between the last hit and the stop each reader may start a folder, a few if the
    // walking thread loses the processor meanwhile; reading on would open about 100.
    QVERIFY2(openedAfter <= 16, QByteArray::number(openedAfter.load()).constData());
    o.setLimit(104);
    QCOMPARE(QLMediaSearch::searchWithOptions(o, {}, {}, {}).size(), 103);
    QVERIFY(access(mark.constData(), F_OK) == 0);
}

void tst_Walk::cancelled_data()
{
    QTest::addColumn<int>("after"); // hits
    QTest::newRow("from the start") << 0;
    QTest::newRow("at the first hit") << 1;
}

void tst_Walk::cancelled()
{
    QFETCH(int, after);
    TreeFixture t;
    t.files({"a.mp3", "b.mp3", "c/d.mp3"});
    int items = 0;
    Paths reports;
    const Hits hits = QLMediaSearch::searchWithOptions(
        walkOnly(t.root()), [&](const QLMediaItemPtr &) { ++items; },
        [&](quint64 n, const QString &s) { reports.append(QByteArray::number(n) + ' ' + s.toUtf8()); },
        [&] { return items >= after; });
    QCOMPARE(hits.size(), after);
    QCOMPARE(items, after);
    QCOMPARE(reports, Paths{"0 并入索引结果…"});
}

void tst_Walk::roots_data()
{
    // "@" stands for the tree's root, which is the current folder; the index knows every
    // file in a folder of the tree. Virtual file systems are known by the file system itself, however
    // the path to them is spelled.
    QTest::addColumn<Paths>("roots");
    QTest::addColumn<Paths>("expected");
    QTest::addColumn<quint64>("folders");
    const Paths all = {"music/a.mp3 both", "music/sub/b.mp3 both", "ok/a.mp3 both", "plain-file.mp3 walk"};
    QTest::newRow("overlapping") << Paths{"@/", "@/music"} << all << quint64(3);
    QTest::newRow("overlapping, the inner first") << Paths{"@/music", "@"} << all << quint64(3);
    QTest::newRow("missing, virtual, a file, then a folder")
        << Paths{"@/missing", "/proc", "/sys/", "@/plain-file.mp3", "@/ok"} << Paths{"ok/a.mp3 both"} << quint64(0);
    for (const char *proc : {"//proc", "/proc/.", "/tmp/../proc", "@/proc-link", "/proc/self", "/proc/self/root/proc",
                             "//sys", "/sys/kernel", "/dev"})
        QTest::newRow(proc) << Paths{proc} << Paths{} << quint64(0);
    const Paths music = {"music/a.mp3 both", "music/sub/b.mp3 both"};
    for (const Paths &roots : {Paths{"./music"}, Paths{"music/"}, Paths{"@//music"}, Paths{"@/./music"}, Paths{"@/ok/../music/"},
                               Paths{"@/music", "@/music/."}, Paths{"", "@/music"}})
        QTest::newRow(roots.join(' ').constData()) << roots << music << quint64(1);
}

void tst_Walk::roots()
{
    QFETCH(Paths, roots);
    QFETCH(Paths, expected);
    QFETCH(quint64, folders);
    TreeFixture t;
    QByteArray list;
    for (const char *f : {"music/a.mp3", "music/sub/b.mp3", "ok/a.mp3"})
        list += "printf '%s\\0' '" + t.file(f) + "'\n";
    t.file("plain-file.mp3");
    t.symlink("proc-link", "/proc");
    for (QByteArray &r : roots)
        r.replace('@', t.root());
    QLSearchOptions o = walkOnly({});
    o.setRoots(roots);
    o.setUseSpotlight(true);
    o.setIndexTool(t.write("tool.sh", "#!/bin/sh\n" + list, true));
    const QString oldCwd = QDir::currentPath();
    QDir::setCurrent(QString::fromUtf8(t.root()));
    quint64 counted = 1;
    const Hits hits = QLMediaSearch::searchWithOptions(o, {}, [&](quint64 n, const QString &) { counted = n; }, {});
    QDir::setCurrent(oldCwd);
    QCOMPARE(relative(t.root(), hits, true), expected);
    QCOMPARE(counted, folders);
}

void tst_Walk::asAnotherUser_data()
{
    QTest::addColumn<int>("soft");
    QTest::addColumn<int>("hard");
    QTest::addColumn<QByteArray>("change"); // made at the first bottom.mp3, or the first hit
    QTest::newRow("20 of 20 descriptors") << 20 << 20 << QByteArray();
    QTest::newRow("20 of 4096: raised") << 20 << 4096 << QByteArray();
    QTest::newRow("all taken during the walk") << 64 << 64 << QByteArray("exhaust");
    QTest::newRow("a folder moved away") << 48 << 48 << QByteArray("move");
    QTest::newRow("a folder made unreadable") << 48 << 48 << QByteArray("lock");
}

void tst_Walk::asAnotherUser()
{
    // In a child process as the user nobody (root reads anything), who owns the tree:
    // folders that cannot be read, and four chains deeper than the descriptors allow.
    // The first chain met is changed when the walk reaches its bottom, its upper folders
    // closed by then for want of descriptors.
    QFETCH(int, soft);
    QFETCH(int, hard);
    QFETCH(QByteArray, change);
    TreeFixture t;
    t.files({"w/open/a.mp3", "w/locked/b.mp3", "w/locked/inner/c.mp3", "w/noexec/e.mp3"});
    t.dir("parking");
    Paths files = {"open/a.mp3"};
    for (int i = 0; i < 4; ++i) {
        for (const QByteArray &f : branchyChain(t, "w/c" + QByteArray::number(i), 60))
            files.append(f.mid(2));
    }
    t.chmod("w/locked", 0);
    t.chmod("w/noexec", 0644); // listable, not enterable
    if (TreeFixture::isRoot())
        QCOMPARE(QProcess::execute(QStringLiteral("chown"), {QStringLiteral("-hR"), QStringLiteral("nobody"), QString::fromUtf8(t.root())}), 0);
    const QByteArray root = t.path("w");
    const QByteArray out = TreeFixture::runInChild([&](int fd) {
#if defined(__SANITIZE_THREAD__)
        qlSetWalkTuning({0, 0, {}}); // ThreadSanitizer cannot follow threads started in a forked child
#endif
        rlimit rl{rlim_t(soft), rlim_t(hard)};
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
            _exit(5);
        bool changed = false;
        QByteArray hits;
        for (const QLMediaItemPtr &i : QLMediaSearch::searchWithOptions(walkOnly(root), [&](const QLMediaItemPtr &hit) {
                 if (change.isEmpty() || changed || (change != "exhaust" && hit->fileNameBytes() != "bottom.mp3"))
                     return;
                 changed = true;
                 if (change == "exhaust") { // every descriptor but three taken, as another part of the program might
                     std::vector<int> taken;
                     for (int fd; (fd = dup(0)) >= 0;)
                         taken.push_back(fd);
                     for (int i = 0; i < 3 && !taken.empty(); ++i, taken.pop_back())
                         close(taken.back());
                     return;
                 }
                 const QByteArray chain = hit->path().left(hit->path().indexOf("/l/"));
                 const QByteArray target = chain + (change == "move" ? "/l/l" : "/l/l/l");
                 if ((change == "move" ? rename(target.constData(), t.path("parking/l").constData())
                                       : ::chmod(target.constData(), 0)) != 0)
                     _exit(6);
             }, {}, {}))
            hits += i->path().mid(root.size() + 1) + '\n';
        getrlimit(RLIMIT_NOFILE, &rl);
        hits += "soft " + QByteArray::number(qulonglong(rl.rlim_cur));
        if (write(fd, hits.constData(), size_t(hits.size())) != hits.size())
            _exit(4);
    });
    Paths got = out.split('\n');
    QCOMPARE(got.takeLast(), "soft " + QByteArray::number(hard));
    // Every file was listed before the change or lies in another chain: all are found.
    QCOMPARE(sorted(got), sorted(files));
}

void tst_Walk::virtualFileSystemInside()
{
    // A virtual file system mounted below a searched folder is not entered, even where it
    // holds a regular file with a media name: a POSIX message queue is one.
    TreeFixture t;
    t.file("a.mp3");
    const QByteArray mq = t.dir("mq");
    const QByteArray out = TreeFixture::runInChild([&](int fd) {
#if defined(__SANITIZE_THREAD__)
        qlSetWalkTuning({0, 0, {}});
#endif
        QByteArray hits = "skip";
        if (unshare(CLONE_NEWNS | CLONE_NEWIPC) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
            && mount("mqueue", mq.constData(), "mqueue", 0, nullptr) == 0
            && close(open((mq + "/song.mp3").constData(), O_CREAT | O_WRONLY, 0644)) == 0) {
            hits.clear();
            for (const QLMediaItemPtr &i : QLMediaSearch::searchWithOptions(walkOnly(t.root()), {}, {}, {}))
                hits += i->path().mid(t.root().size() + 1) + ' ';
        }
        if (write(fd, hits.constData(), size_t(hits.size())) != hits.size())
            _exit(4);
    }, false);
    if (out == "skip")
        QSKIP("no mount namespace here (needs root)");
    QCOMPARE(out, QByteArray("a.mp3 "));
}

void tst_Walk::deeperThanPathMax()
{
    // 450 levels of 9-byte names, 4,500 bytes, beyond PATH_MAX; a side chain from the
    // second level makes the walk climb back up the first. Without readers the walker
    // opens every folder itself, and would keep them all.
    TreeFixture t;
    t.deepChain("deep", "level-xyz", 450, "bottom.mp3");
    t.deepChain("deep/level-xyz/level-xyz", "side", 50, "side.flac");
    t.file("deep/top.wav");
    const auto openDescriptors = [] { return int(QDir(QStringLiteral("/proc/self/fd")).count()); };
    const int before = openDescriptors();
    Paths runs[2];
    for (const int readers : {0, 4}) {
        const Tuning tuning({readers, 0, {}});
        int most = 0;
        for (const QLMediaItemPtr &i : QLMediaSearch::searchWithOptions(walkOnly(t.root()), [&](const QLMediaItemPtr &) {
                 most = std::max(most, openDescriptors() - before);
             }, {}, {}))
            runs[readers > 0].append(i->fileNameBytes() + ' ' + QByteArray::number(i->path().size() - t.root().size()));
        QVERIFY2(most <= 160, QByteArray::number(most).constData());
    }
    QCOMPARE(runs[1], runs[0]);
    QCOMPARE(sorted(runs[0]), (Paths{"bottom.mp3 4516", "side.flac 285", "top.wav 13"}));
    QCOMPARE(openDescriptors(), before);
}

void tst_Walk::hugeFolder()
{
    const int entries = 4000; // a few batches of listing; every 100th a hit
    TreeFixture t;
    t.file("a.mp3");
    for (int i = 0; i < entries; ++i)
        t.file("crate/" + QByteArray::number(i) + (i % 100 == 0 ? ".Mp3" : ".dat"));
    QCOMPARE(search(walkOnly(t.root())).size(), 1 + entries / 100);

    // Stopped at the first hit in the folder: the reader that lists it gives up too, long
    // before its end. Slow batches keep it from getting there first; the walker lingers
    // over a.mp3 so that a reader, not the walker, takes the folder.
    std::atomic<quint64> listed{0};
    const Tuning tuning({4, 0, [&](const QByteArray &folder, quint64 n) {
        if (folder.endsWith("/crate") && n > 0) {
            listed = std::max<quint64>(listed, n);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    }});
    bool stop = false;
    const Hits hits = QLMediaSearch::searchWithOptions(walkOnly(t.root()), [&](const QLMediaItemPtr &i) {
        if (i->fileNameBytes() == "a.mp3")
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        else
            stop = true;
    }, {}, [&] { return stop; });
    QCOMPARE(hits.size(), 2);
    QVERIFY2(listed > 0 && listed < quint64(entries), QByteArray::number(listed.load()).constData());
}

void tst_Walk::readersMatchTheWalkAlone()
{
    // A tree like a collection: folders of mixed names (some skipped, hidden or packages),
    // media files among others, a folder of two batches, one of 120 subfolders and a
    // chain deeper than the descriptors the walk keeps. Hits and progress must match
    // those of the walk alone, with the readers close behind the walk or held back.
    TreeFixture t;
    std::minstd_rand random(7);
    const auto next = [&](quint32 n) { return quint32(random() % n); };
    const char *names[] = {"house", "Library", "node_modules", ".hidden", "Session.logicx", "mix", "Café", "夜曲"};
    const char *exts[] = {"mp3", "FLAC", "wav", "txt", "m4b", "jpg", "mov"};
    Paths dirs{"c"};
    for (int i = 0; i < 400; ++i) {
        const QByteArray parent = dirs[next(4) == 0 ? next(uint(dirs.size())) : dirs.size() - 1 - next(qMin<quint32>(dirs.size(), 20))];
        dirs.append(t.dir(parent + '/' + names[next(8)] + ' ' + QByteArray::number(i)).mid(t.root().size() + 1));
    }
    for (int i = 0; i < 1200; ++i)
        t.file(dirs[next(uint(dirs.size()))] + "/t" + QByteArray::number(i) + '.' + exts[next(7)]);
    for (int i = 0; i < 1100; ++i)
        t.file("c/crate/" + QByteArray::number(i) + (i % 3 ? ".mp3" : ".dat"));
    for (int i = 0; i < 120; ++i)
        t.file("c/wide/" + QByteArray::number(i) + "/w.mp3");
    t.deepChain("c/deep", "level", 140, "bottom.wav");
    const auto run = [&](const QLWalkTuning &tuning) {
        const Tuning scope(tuning);
        QByteArray out;
        QLMediaSearch::searchWithOptions(
            walkOnly(t.root()), [&](const QLMediaItemPtr &i) { out += i->path() + '\0'; },
            [&](quint64 dirs, const QString &name) { out += QByteArray::number(dirs) + ' ' + name.toUtf8() + '\0'; }, {});
        return out;
    };
    const QByteArray alone = run({0, 0, {}});
    QVERIFY(alone.count("bottom.wav") == 1 && alone.count("/crate/") == 733 && alone.contains(QByteArrayView("\0" "400 ", 5)));
    for (const QLWalkTuning &tuning : {QLWalkTuning{4, 0, {}}, QLWalkTuning{4, 16 * 1024, {}}, QLWalkTuning{1, 1024, {}}})
        QCOMPARE(run(tuning), alone);
}

QTEST_GUILESS_MAIN(tst_Walk)
#include "tst_walk.moc"
