// The directory walk (its contract is in walk.h).
//
// How it is built. Every folder the walk will enter is a Dir, created in walk order as
// soon as its parent's listing names it. The Dirs created but not yet read form the
// frontier, ordered by walk order. Reader threads take the earliest Dir of the frontier,
// open it through its parent's descriptor, list it and stat its candidate files into
// batches. The walker enters Dirs strictly in walk order and handles their batches; a Dir
// that no reader has taken yet it reads itself, so it never waits for work nobody does.
// Everything shared lives under one mutex; system calls are made outside it.
//
// Memory: what readers hold ahead of the walker is bounded in bytes, and the folder the
// walker is in is bounded on its own, so a folder of a million entries is never read
// ahead whole. Descriptors: a Dir keeps its descriptor while subfolders of it remain to
// be opened, in a cache bounded by what the process may still open; a Dir whose
// descriptor was closed is reopened through its parent and checked to be the same folder.

#include "walk.h"

#include "pathutil.h"
#include "qlmediasearch.h"
#include "qlplatform.h"
#include "searchstate.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The lock of the walk's shared state. Its critical sections last well under a
// microsecond, far less than putting a thread to sleep and waking it in the kernel, which
// is what std::mutex does as soon as it is contended: it is tried for a moment first.
class SpinningMutex final
{
public:
    void lock()
    {
        for (int i = 0; i < 100; ++i) {
            if (m_mutex.try_lock())
                return;
            relax();
        }
        m_mutex.lock();
    }
    bool try_lock() { return m_mutex.try_lock(); }
    void unlock() { m_mutex.unlock(); }

private:
    static void relax()
    {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }
    std::mutex m_mutex;
};
using Lock = std::unique_lock<SpinningMutex>;

constexpr quint64 kProgressEvery = 200;
// Measured on the benchmark tree (30,000 folders, 2 cores), page cache dropped: 1.46 s with
// no reader, 0.82 s with 4, 0.73 s with 8; warm: 0.31 s, 0.28 s, 0.31 s. A disk answers
// sooner with more requests outstanding, and those stay close together, being the next
// folders in walk order; on a warm cache more readers only contend for the lock.
constexpr int kDefaultReaders = 4;
constexpr size_t kDefaultAheadBytes = size_t(8) << 20;
// Unhandled bytes of the folder the walker is in, before its reader waits.
constexpr size_t kCurrentFolderBytes = size_t(1) << 20;
constexpr size_t kBatchEntries = 1024;
constexpr int kMaxDirFds = 128;
constexpr size_t kDirBytes = 256; // what a Dir costs besides its names and hits
constexpr auto kPollInterval = std::chrono::milliseconds(20);

QLWalkTuning &walkTuning()
{
    static QLWalkTuning tuning;
    return tuning;
}

struct FileHit
{
    struct stat st;
    uint32_t nameAt;
    uint32_t nameLength;
};

struct Batch
{
    std::vector<FileHit> hits;
    std::string names;
    std::string subdirs; // moved into the Dir when published
    size_t bytes() const { return hits.size() * sizeof(FileHit) + names.size() + 64; }
};

struct Dir
{
    enum class Open : uint8_t { NotYet, Ok, Failed, Virtual };
    enum class Read : uint8_t { Waiting, Reading, Done };

    Dir *parent = nullptr;
    std::string name; // one component; a root's whole path
    QLFolderPlace place;
    uint32_t depth = 0;
    uint32_t index = 0; // among the parent's subfolders to enter
    bool isRoot = false;

    Open open = Open::NotYet;
    Read read = Read::Waiting;
    bool readByWalker = false;
    bool entered = false;
    bool gone = false; // could not be reopened as the same folder
    // Its identity, to tell it again when it is reopened. ino is read only when needed: a
    // folder on its parent's file system needs no stat of its own to be walked.
    bool identityKnown = false;
    dev_t dev = 0;
    ino_t ino = 0;

    std::vector<Batch> batches; // files; the walker has handled the first batchesTaken
    size_t batchesTaken = 0;
    size_t pendingBytes = 0;   // their bytes, once entered
    size_t aheadBytes = 0;     // counted in the look-ahead until entered
    quint64 entriesListed = 0;

    std::string subdirs; // each: the rule byte, the name, NUL; in listing order
    size_t scanAt = 0;   // subdirs looked through for the next kid up to here
    uint32_t enterable = 0;
    std::vector<std::unique_ptr<Dir>> kids; // the subfolders to enter, created in order
    uint32_t kidsOpened = 0;

    int fd = -1;
    int pins = 0;
    bool inCache = false;
    std::list<Dir *>::iterator cachePos;
    // Opened by a reader and not yet published: told with its first batch.
    bool openPending = false;
    bool parentPinned = false;
    bool readerWaits = false; // its reader waits for the walker to catch up

    // Back to a new Dir, its buffers kept for the next one.
    void clear()
    {
        parent = nullptr;
        name.clear();
        place.top = place.home = place.volumeTop = false;
        place.path.clear();
        depth = index = 0;
        isRoot = readByWalker = entered = gone = identityKnown = inCache = openPending = parentPinned = readerWaits = false;
        open = Open::NotYet;
        read = Read::Waiting;
        dev = 0;
        ino = 0;
        batches.clear();
        batchesTaken = pendingBytes = aheadBytes = 0;
        entriesListed = 0;
        subdirs.clear();
        scanAt = 0;
        enterable = kidsOpened = 0;
        kids.clear();
        fd = -1;
        pins = 0;
    }
};

// Walk order: depth-first pre-order. An ancestor comes before its descendants; otherwise
// the order of the two subtrees under their closest common ancestor decides.
struct WalkOrder
{
    bool operator()(const Dir *a, const Dir *b) const
    {
        const Dir *x = a;
        const Dir *y = b;
        while (x->depth > y->depth)
            x = x->parent;
        while (y->depth > x->depth)
            y = y->parent;
        if (x == y)
            return a->depth < b->depth;
        while (x->parent != y->parent) {
            x = x->parent;
            y = y->parent;
        }
        return x->index < y->index;
    }
};

class Walker final
{
public:
    Walker(QLSearchState &state, const QLProgressCallback &onProgress);
    ~Walker();

    void run();

private:
    struct Frame
    {
        Dir *dir;
        size_t at;         // next entry of dir->subdirs
        uint32_t kid;      // next of dir->kids
        size_t prefixLength; // of dir's path with its '/', in m_path
    };

    // Walking thread.
    bool handleBatch(const Batch &batch);
    bool waitOpened(Dir *kid, Lock &lock);
    bool consumeFiles(Dir *dir);
    bool waitFor(Dir *dir, Lock &lock);
    void reportProgress(const char *name, size_t length);
    void freeKid(Dir *parent, uint32_t index);

    // Any thread that reads.
    void readerLoop();
    void take(Dir *dir);
    bool openDir(Dir *dir, bool byReader);
    bool readSome(Dir *dir, QLPlatform::DirectoryReader &reader, Batch &batch);
    bool candidate(int dirFd, const char *name, size_t length, unsigned char type, bool stated, struct stat *st) const;
    int acquire(Dir *dir, bool byReader, bool *outOfFds);
    void release(Dir *dir, bool pinned);
    template<typename Open>
    int openRetry(const Open &open, bool byReader);
    bool isVirtualDevice(dev_t dev) const;
    QByteArray pathOf(const Dir *dir) const;

    // Under m_mutex.
    void advanceFrontier(Dir *parent);
    void publishOpen(Dir *dir, Dir::Open result);
    void wakeIdleReader(size_t takenBySelf);
    void aheadFreed(size_t before);
    size_t lowWater() const { return m_aheadBudget - m_aheadBudget / 4; }
    void unpin(Dir *dir);
    void closeFd(Dir *dir);
    void trimCache();
    bool evictOne();

    QLSearchState &m_state;
    const QLProgressCallback &m_onProgress;
    const QLWalkTuning m_tuning;
    std::vector<quint64> m_virtualDevices;

    SpinningMutex m_mutex;
    std::condition_variable_any m_walkerWake;
    std::condition_variable_any m_idleWake;    // readers waiting for a folder to read
    std::condition_variable_any m_blockedWake; // readers waiting for the walker to catch up
    std::set<Dir *, WalkOrder> m_frontier;
    std::vector<std::unique_ptr<Dir>> m_spareDirs;
    std::list<Dir *> m_cache; // open descriptors nobody uses now, least recently used first
    size_t m_openFds = 0;
    size_t m_fdBudget = 8;
    size_t m_ahead = 0;
    size_t m_aheadBudget = kDefaultAheadBytes;
    Dir *m_waitingOn = nullptr;
    int m_idleReaders = 0;
    int m_blockedReaders = 0;
    int m_busyReaders = 0; // readers with a folder taken
    bool m_stop = false;
    bool m_parallel = false; // readers run: the frontier is kept
    bool m_fdStarved = false; // out of descriptors with none to close
    std::vector<std::thread> m_readers;
    std::vector<Batch> m_spareBatches; // emptied, their buffers kept for the next listings

    Dir m_top; // the roots are its subfolders
    std::string m_path;
    QLPlatform::DirectoryReader m_reader;
    Batch m_batch;
};

Walker::Walker(QLSearchState &state, const QLProgressCallback &onProgress)
    : m_state(state)
    , m_onProgress(onProgress)
    , m_tuning(walkTuning())
{
    for (const quint64 dev : QLPlatform::virtualFileSystemDevices())
        m_virtualDevices.push_back(dev);
    std::sort(m_virtualDevices.begin(), m_virtualDevices.end());

    // Half of what the process may still open, leaving the rest to the program around the
    // search. Each reader holds at most two descriptors at once (a folder and its parent),
    // and so does the walker.
    const int available = QLPlatform::availableDescriptors();
    m_fdBudget = size_t(std::clamp(available / 2, 2, kMaxDirFds));
    int readers = m_tuning.readers >= 0 ? m_tuning.readers : kDefaultReaders;
    readers = std::min(readers, int(m_fdBudget / 2) - 1);
    if (m_tuning.aheadBytes > 0)
        m_aheadBudget = m_tuning.aheadBytes;

    m_top.open = Dir::Open::Ok;
    m_top.read = Dir::Read::Done;
    m_top.entered = true;
    for (const QByteArray &root : std::as_const(state.roots)) {
        if (state.rules.isInTrash(std::string_view(root.constData(), size_t(root.size()))))
            continue;
        m_top.subdirs += char(QLSkipRules::Enter);
        m_top.subdirs.append(root.constData(), size_t(root.size()));
        m_top.subdirs += '\0';
        ++m_top.enterable;
    }
    m_parallel = readers > 0;
    {
        const std::lock_guard lock(m_mutex);
        advanceFrontier(&m_top);
    }
    for (int i = 0; i < readers; ++i)
        m_readers.emplace_back([this] { readerLoop(); });
}

Walker::~Walker()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_idleWake.notify_all();
    m_blockedWake.notify_all();
    for (std::thread &t : m_readers)
        t.join();
    // Without recursion: a chain of Dirs can be thousands deep.
    std::vector<std::unique_ptr<Dir>> pending;
    for (std::unique_ptr<Dir> &k : m_top.kids) {
        if (k)
            pending.push_back(std::move(k));
    }
    while (!pending.empty()) {
        std::unique_ptr<Dir> d = std::move(pending.back());
        pending.pop_back();
        for (std::unique_ptr<Dir> &k : d->kids) {
            if (k)
                pending.push_back(std::move(k));
        }
        if (d->fd >= 0)
            close(d->fd);
    }
}

void Walker::run()
{
    std::vector<Frame> stack{{&m_top, 0, 0, 0}};
    while (!stack.empty()) {
        Frame &f = stack.back();
        Dir *const dir = f.dir;
        if (f.at >= dir->subdirs.size()) {
            const bool top = stack.size() == 1;
            stack.pop_back();
            if (!top) {
                Frame &up = stack.back();
                freeKid(up.dir, up.kid - 1);
            }
            continue;
        }
        const auto rule = QLSkipRules::Verdict(dir->subdirs[f.at]);
        const char *name = dir->subdirs.data() + f.at + 1;
        const size_t length = std::strlen(name);
        f.at += length + 2;

        if (m_state.isCancelled())
            return;
        if (dir != &m_top)
            ++m_state.directoryCount;
        if (rule == QLSkipRules::Skip)
            continue;
        if (rule == QLSkipRules::Report) {
            reportProgress(name, length);
            continue;
        }
        Lock lock(m_mutex);
        Dir *kid = dir->kids[f.kid++].get();
        if (!waitOpened(kid, lock))
            return;
        const Dir::Open open = kid->open;
        lock.unlock();
        // A virtual file system (/proc, /sys, ...) is not even reported: it holds no files.
        if (open == Dir::Open::Virtual) {
            freeKid(dir, f.kid - 1);
            continue;
        }
        if (dir != &m_top)
            reportProgress(name, length);
        if (open != Dir::Open::Ok) {
            freeKid(dir, f.kid - 1);
            continue;
        }
        m_path.resize(f.prefixLength);
        m_path.append(name, length);
        if (m_path != "/")
            m_path += '/';
        stack.push_back({kid, 0, 0, m_path.size()});
        if (!consumeFiles(kid))
            return;
    }
}

void Walker::reportProgress(const char *name, size_t length)
{
    if (m_onProgress && m_state.directoryCount % kProgressEvery == 0)
        m_onProgress(m_state.directoryCount, QString::fromUtf8(name, qsizetype(length)));
}

void Walker::freeKid(Dir *parent, uint32_t index)
{
    Lock lock(m_mutex);
    Dir *const kid = parent->kids[index].get();
    if (!kid)
        return;
    if (kid->inCache) {
        m_cache.erase(kid->cachePos);
        kid->inCache = false;
    }
    const int kidFd = kid->fd;
    kid->fd = -1;
    if (kidFd >= 0)
        --m_openFds;
    // Coming back up a tree deeper than the descriptors allow: the parent was closed and
    // still has subfolders to open. ".." of the folder being left leads back to it in one
    // step, unless the folder was moved meanwhile, which the identity check tells; then
    // the parent is reopened by its path when needed.
    const bool reopenParent = kidFd >= 0 && parent != &m_top && parent->fd < 0 && !parent->gone
        && parent->kidsOpened < parent->enterable;
    int parentFd = -1;
    if (reopenParent) {
        lock.unlock();
        parentFd = openRetry([&] { return openat(kidFd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }, false);
        struct stat st;
        if (parentFd >= 0 && (fstat(parentFd, &st) != 0 || st.st_dev != parent->dev || st.st_ino != parent->ino)) {
            close(parentFd);
            parentFd = -1;
        }
        close(kidFd);
        lock.lock();
        if (parentFd >= 0 && parent->fd >= 0) {
            close(parentFd); // reopened by a reader meanwhile
        } else if (parentFd >= 0) {
            parent->fd = parentFd;
            ++m_openFds;
            ++parent->pins;
            unpin(parent);
        }
    } else if (kidFd >= 0) {
        close(kidFd);
    }
    const size_t before = m_ahead;
    m_ahead -= kid->aheadBytes;
    aheadFreed(before);
    // Looked up now: readers add to the parent's kids (and so may move them) while the lock
    // is released above.
    std::unique_ptr<Dir> &slot = parent->kids[index];
    if (m_spareDirs.size() < 1024) {
        kid->clear();
        m_spareDirs.push_back(std::move(slot));
    } else {
        slot.reset();
    }
}

bool Walker::waitFor(Dir *dir, Lock &lock)
{
    m_waitingOn = dir;
    m_walkerWake.wait_for(lock, kPollInterval);
    m_waitingOn = nullptr;
    lock.unlock();
    const bool cancelled = m_state.isCancelled();
    lock.lock();
    return !cancelled;
}

bool Walker::waitOpened(Dir *kid, Lock &lock)
{
    for (;;) {
        // Also when a reader that took it gave it back for want of descriptors.
        if (kid->read == Dir::Read::Waiting) {
            take(kid);
            kid->readByWalker = true;
            lock.unlock();
            openDir(kid, false);
            lock.lock();
            return true;
        }
        if (kid->open != Dir::Open::NotYet)
            return true;
        if (!waitFor(kid, lock))
            return false;
    }
}

bool Walker::consumeFiles(Dir *dir)
{
    Lock lock(m_mutex);
    dir->entered = true;
    const size_t before = m_ahead;
    m_ahead -= dir->aheadBytes;
    dir->aheadBytes = 0;
    dir->pendingBytes = 0;
    for (size_t i = dir->batchesTaken; i < dir->batches.size(); ++i)
        dir->pendingBytes += dir->batches[i].bytes();
    aheadFreed(before);
    if (dir->readerWaits)
        m_blockedWake.notify_all(); // now bound by the current folder's own limit
    if (dir->readByWalker)
        m_reader.reset(dir->fd);
    for (;;) {
        if (dir->batchesTaken < dir->batches.size()) {
            Batch batch = std::move(dir->batches[dir->batchesTaken++]);
            const size_t wasPending = dir->pendingBytes;
            dir->pendingBytes -= batch.bytes();
            if (dir->readerWaits && wasPending >= kCurrentFolderBytes / 2 && dir->pendingBytes < kCurrentFolderBytes / 2)
                m_blockedWake.notify_all();
            lock.unlock();
            if (!handleBatch(batch))
                return false;
            batch.hits.clear();
            batch.names.clear();
            lock.lock();
            if (m_spareBatches.size() < 16)
                m_spareBatches.push_back(std::move(batch));
            continue;
        }
        if (dir->read == Dir::Read::Done)
            return true;
        if (dir->readByWalker) {
            lock.unlock();
            readSome(dir, m_reader, m_batch);
            lock.lock();
            continue;
        }
        if (!waitFor(dir, lock))
            return false;
    }
}

bool Walker::handleBatch(const Batch &batch)
{
    // A batch stands for up to kBatchEntries entries, candidate or not.
    if (m_state.isCancelled())
        return false;
    for (const FileHit &h : batch.hits) {
        if (m_state.isCancelled())
            return false;
        const std::string_view name(batch.names.data() + h.nameAt, h.nameLength);
        const QByteArrayView ext = qlNameExtension(QByteArrayView(name.data(), qsizetype(name.size())));
        QByteArray path;
        path.reserve(qsizetype(m_path.size() + name.size()));
        path.append(m_path.data(), qsizetype(m_path.size()));
        path.append(name.data(), qsizetype(name.size()));
        const QLMediaItemPtr item = qlMakeItem(path, QByteArrayView(name.data(), qsizetype(name.size())),
                                               ext, h.st,
                                               QLMediaItem::Origin::Walk);
        m_state.accept(item);
        if (m_state.limitReached())
            return false;
    }
    return true;
}

void Walker::readerLoop()
{
    QLPlatform::DirectoryReader reader;
    Batch batch;
    Lock lock(m_mutex);
    for (;;) {
        while (!m_stop && (m_frontier.empty() || m_ahead >= m_aheadBudget || m_fdStarved)) {
            ++m_idleReaders;
            m_idleWake.wait(lock);
            --m_idleReaders;
        }
        if (m_stop)
            return;
        Dir *dir = *m_frontier.begin();
        take(dir);
        ++m_busyReaders;
        lock.unlock();
        if (openDir(dir, true)) {
            reader.reset(dir->fd);
            while (readSome(dir, reader, batch)) {
                lock.lock();
                // Far enough ahead: wait for the walker. The folder the walker is in has a
                // bound of its own, so that the walker can always go on. Reading resumes
                // only once the walker has made good room, not after every batch it takes.
                if (!m_stop && !m_fdStarved
                    && (dir->entered ? dir->pendingBytes >= kCurrentFolderBytes : m_ahead >= m_aheadBudget)) {
                    dir->readerWaits = true;
                    ++m_blockedReaders;
                    m_blockedWake.wait(lock, [&] {
                        return m_stop || m_fdStarved
                            || (dir->entered ? dir->pendingBytes < kCurrentFolderBytes / 2 : m_ahead < lowWater());
                    });
                    --m_blockedReaders;
                    dir->readerWaits = false;
                }
                const bool stop = m_stop;
                lock.unlock();
                if (stop)
                    break;
            }
        }
        lock.lock();
        --m_busyReaders;
    }
}

void Walker::take(Dir *dir)
{
    if (m_parallel)
        m_frontier.erase(dir);
    dir->read = Dir::Read::Reading;
    advanceFrontier(dir->parent);
    wakeIdleReader(0);
}

void Walker::wakeIdleReader(size_t takenBySelf)
{
    // A sleeping reader is woken only for work that the thread at hand leaves to others.
    if (m_idleReaders > 0 && m_frontier.size() > takenBySelf && m_ahead < m_aheadBudget && !m_fdStarved)
        m_idleWake.notify_one();
}

void Walker::aheadFreed(size_t before)
{
    if (before >= lowWater() && m_ahead < lowWater()) {
        if (m_blockedReaders > 0)
            m_blockedWake.notify_all();
        wakeIdleReader(0);
    }
}

void Walker::advanceFrontier(Dir *parent)
{
    if (!parent->kids.empty()) {
        const Dir *last = parent->kids.back().get();
        if (last && last->read == Dir::Read::Waiting)
            return;
    }
    while (parent->kids.size() < parent->enterable && parent->scanAt < parent->subdirs.size()) {
        const auto rule = QLSkipRules::Verdict(parent->subdirs[parent->scanAt]);
        const char *name = parent->subdirs.data() + parent->scanAt + 1;
        const size_t length = std::strlen(name);
        parent->scanAt += length + 2;
        if (rule != QLSkipRules::Enter)
            continue;
        std::unique_ptr<Dir> kid;
        if (!m_spareDirs.empty()) {
            kid = std::move(m_spareDirs.back());
            m_spareDirs.pop_back();
        } else {
            kid = std::make_unique<Dir>();
        }
        kid->parent = parent;
        kid->name.assign(name, length);
        kid->place = parent == &m_top ? m_state.rules.placeOfRoot(kid->name)
                                      : m_state.rules.placeOf(parent->place, kid->name);
        kid->depth = parent->depth + 1;
        kid->index = uint32_t(parent->kids.size());
        kid->isRoot = parent == &m_top;
        kid->aheadBytes = kDirBytes + length;
        m_ahead += kid->aheadBytes;
        if (m_parallel)
            m_frontier.insert(kid.get());
        parent->kids.push_back(std::move(kid));
        return;
    }
}

QByteArray Walker::pathOf(const Dir *dir) const
{
    std::vector<const Dir *> chain;
    for (const Dir *d = dir; d && d != &m_top; d = d->parent)
        chain.push_back(d);
    QByteArray path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.isEmpty() && !path.endsWith('/'))
            path += '/';
        path.append((*it)->name.data(), qsizetype((*it)->name.size()));
    }
    return path;
}

bool Walker::isVirtualDevice(dev_t dev) const
{
    return std::binary_search(m_virtualDevices.begin(), m_virtualDevices.end(), quint64(dev));
}

template<typename Open>
int Walker::openRetry(const Open &open, bool byReader)
{
    // Out of descriptors is no reason to skip a folder: close cached ones and try again.
    // When none of ours is idle, the others are in use. A reader then gives up its folder
    // at once (EMFILE) rather than wait while it holds a parent's descriptor, which others
    // may be waiting for in turn. Only the walker waits, and only while readers hold
    // descriptors that they are bound to release; with none held by them and none to
    // close, the shortage lies outside the walk and the folder cannot be read.
    for (int attempt = 0;; ++attempt) {
        const int fd = open();
        if (fd >= 0 && attempt > 0) {
            const std::lock_guard lock(m_mutex);
            if (m_fdStarved) {
                m_fdStarved = false;
                wakeIdleReader(0);
            }
        }
        if (fd >= 0 || (errno != EMFILE && errno != ENFILE))
            return fd;
        const int openError = errno;
        bool evicted;
        {
            const std::lock_guard lock(m_mutex);
            m_fdBudget = std::max<size_t>(2, std::min(m_fdBudget, m_openFds > 1 ? m_openFds - 1 : 1));
            evicted = evictOne();
            if (!evicted && !m_fdStarved) {
                // Every descriptor of ours is in use. Readers waiting for the walker hold
                // theirs: let them read on to the end of their folders and let go of them,
                // and start no new folder meanwhile.
                m_fdStarved = true;
                m_blockedWake.notify_all();
            }
            if (!evicted && (byReader || m_busyReaders == 0)) {
                errno = openError;
                return -1;
            }
        }
        if (!evicted) {
            if (m_state.isCancelled()) {
                errno = openError;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

bool Walker::openDir(Dir *dir, bool byReader)
{
    if (m_tuning.onRead)
        m_tuning.onRead(pathOf(dir), 0);
    int fd;
    bool outOfFds = false;
    QLPlatform::MountCrossing crossing = QLPlatform::MountCrossing::Unknown;
    if (dir->isRoot) {
        // A root may be a symbolic link (a user's "Music" pointing at another disk).
        fd = openRetry([&] { return open(dir->name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }, byReader);
        outOfFds = fd < 0 && (errno == EMFILE || errno == ENFILE);
    } else {
        const int parentFd = acquire(dir->parent, byReader, &outOfFds);
        // Never through a symbolic link: a folder swapped for one since it was listed is
        // not entered.
        fd = parentFd < 0 ? -1 : openRetry([&] {
            return QLPlatform::openSubdirectory(parentFd, dir->name.c_str(), &crossing);
        }, byReader);
        outOfFds = outOfFds || (parentFd >= 0 && fd < 0 && (errno == EMFILE || errno == ENFILE));
        dir->parentPinned = parentFd >= 0;
    }
    if (byReader && outOfFds) {
        // Given back untouched, to be read later by whoever comes to it first, the walker
        // at the latest.
        const std::lock_guard lock(m_mutex);
        if (dir->parentPinned)
            unpin(dir->parent);
        dir->parentPinned = false;
        dir->read = Dir::Read::Waiting;
        if (m_parallel)
            m_frontier.insert(dir);
        if (m_waitingOn == dir)
            m_walkerWake.notify_one();
        return false;
    }
    Dir::Open result = Dir::Open::Failed; // EACCES, EPERM, vanished, ELOOP: skipped silently
    struct stat st;
    if (fd >= 0 && crossing == QLPlatform::MountCrossing::No) {
        result = Dir::Open::Ok;
        dir->dev = dir->parent->dev;
    } else if (fd >= 0 && fstat(fd, &st) == 0) {
        // Only a mount point changes the device; that is where a walk may step onto /proc or
        // /sys, under whatever name. devtmpfs and FUSE file systems are told by the devices
        // of the mount table, the others by the file system's type.
        const bool crossed = dir->isRoot || st.st_dev != dir->parent->dev;
        if (crossed && (isVirtualDevice(st.st_dev) || QLPlatform::isOnVirtualFileSystem(fd))) {
            result = Dir::Open::Virtual;
        } else {
            result = Dir::Open::Ok;
            dir->dev = st.st_dev;
            dir->ino = st.st_ino;
            dir->identityKnown = true;
            struct stat up;
            dir->place.volumeTop = dir->isRoot ? fstatat(fd, "..", &up, 0) == 0 && up.st_dev != st.st_dev : crossed;
        }
    }
    if (result != Dir::Open::Ok && fd >= 0) {
        close(fd);
        fd = -1;
    }
    dir->fd = fd;
    dir->openPending = true;
    // A reader tells the walker with the first batch: nobody asks for this folder before
    // its listing names its subfolders.
    if (byReader && fd >= 0)
        return true;
    const std::lock_guard lock(m_mutex);
    publishOpen(dir, result);
    if (fd < 0)
        dir->read = Dir::Read::Done;
    if (m_waitingOn == dir)
        m_walkerWake.notify_one();
    return fd >= 0; // dir may be gone from here on when it is not
}

void Walker::publishOpen(Dir *dir, Dir::Open result)
{
    dir->openPending = false;
    dir->open = result;
    if (!dir->isRoot)
        release(dir->parent, dir->parentPinned);
    if (dir->fd >= 0) {
        dir->pins = 1; // until the listing is read
        ++m_openFds;
        trimCache();
    }
}

bool Walker::candidate(int dirFd, const char *name, size_t length, unsigned char type, bool stated,
                       struct stat *st) const
{
    const QLSearchOptions &opt = m_state.options;
    if (opt.skipHidden() && name[0] == '.')
        return false;
    const QByteArrayView ext = qlNameExtension(QByteArrayView(name, qsizetype(length)));
    const quint64 bit = QLKindForExtBytes(ext.data(), ext.size());
    if (bit == 0 || (bit & opt.kinds()) == 0 || !m_state.nameMatches(QByteArrayView(name, qsizetype(length))))
        return false;
    if (type != DT_REG || !stated) {
        if (fstatat(dirFd, name, st, type == DT_LNK ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
            return false; // vanished since it was listed, or a dangling link
        // Became a link after the listing: follow it as a link is followed.
        if (S_ISLNK(st->st_mode) && fstatat(dirFd, name, st, 0) != 0)
            return false;
    }
    if (!S_ISREG(st->st_mode))
        return false; // a link to a folder or a device, or a FIFO named x.mp3
    return !(opt.skipHidden() && QLPlatform::hasHiddenFlag(*st));
}

bool Walker::readSome(Dir *dir, QLPlatform::DirectoryReader &reader, Batch &batch)
{
    std::string &subdirs = batch.subdirs; // its buffer is reused
    uint32_t enterable = 0;
    size_t entries = 0;
    bool more = true;
    QLPlatform::DirectoryReader::Entry e;
    while (entries < kBatchEntries) {
        if (!reader.next(e)) {
            more = false;
            break;
        }
        ++entries;
        unsigned char type = e.type;
        struct stat st;
        const bool stated = type == DT_UNKNOWN;
        if (stated) {
            // Some file systems (older XFS, many FUSE and network ones) leave the type out.
            if (fstatat(dir->fd, e.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            const QLSkipRules::Verdict rule = m_state.rules.verdict(dir->place, std::string_view(e.name, e.length));
            subdirs += char(rule);
            subdirs.append(e.name, e.length + 1); // with its NUL
            enterable += rule == QLSkipRules::Enter;
            continue;
        }
        if (type != DT_REG && type != DT_LNK)
            continue; // FIFOs, sockets and devices are never hits
        if (!candidate(dir->fd, e.name, e.length, type, stated, &st))
            continue;
        batch.hits.push_back({st, uint32_t(batch.names.size()), uint32_t(e.length)});
        batch.names.append(e.name, e.length);
    }

    Lock lock(m_mutex);
    if (dir->openPending)
        publishOpen(dir, Dir::Open::Ok);
    dir->entriesListed += entries;
    const quint64 listed = dir->entriesListed;
    const QByteArray observed = m_tuning.onRead ? pathOf(dir) : QByteArray();
    if (!subdirs.empty()) {
        if (!dir->entered) {
            dir->aheadBytes += subdirs.size();
            m_ahead += subdirs.size();
        }
        dir->subdirs += subdirs;
        subdirs.clear();
        dir->enterable += enterable;
        advanceFrontier(dir);
    }
    // Published even when it holds no hit: the walker polls for a cancellation per batch.
    const size_t bytes = batch.bytes();
    if (dir->entered) {
        dir->pendingBytes += bytes;
    } else {
        dir->aheadBytes += bytes;
        m_ahead += bytes;
    }
    dir->batches.push_back(std::move(batch));
    if (!m_spareBatches.empty()) {
        batch = std::move(m_spareBatches.back());
        m_spareBatches.pop_back();
    } else {
        batch = Batch();
    }
    if (!more || m_stop) {
        dir->read = Dir::Read::Done;
        unpin(dir);
        more = false;
    }
    if (m_waitingOn == dir)
        m_walkerWake.notify_one();
    if (m_parallel)
        wakeIdleReader(!more && !dir->readByWalker ? 1 : 0);
    lock.unlock();
    if (m_tuning.onRead)
        m_tuning.onRead(observed, listed);
    return more; // dir may be gone from here on when it is false
}

int Walker::acquire(Dir *dir, bool byReader, bool *outOfFds)
{
    // The nearest folder on the way up that is open, or else the root: from there each
    // closed folder is reopened by name and checked to be the folder met before. One that
    // was moved away, replaced or made unreadable is gone, and with it only what lies
    // below it.
    Lock lock(m_mutex);
    std::vector<Dir *> chain;
    Dir *d = dir;
    while (d->fd < 0) {
        if (d->gone)
            return -1;
        chain.push_back(d);
        if (d->isRoot)
            break;
        d = d->parent;
    }
    Dir *base = nullptr;
    if (d->fd >= 0) {
        base = d;
        if (base->pins++ == 0 && base->inCache) {
            m_cache.erase(base->cachePos);
            base->inCache = false;
        }
    }
    lock.unlock();
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        Dir *next = *it;
        const int fd = openRetry([&] {
            return next->isRoot ? open(next->name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                : openat(base->fd, next->name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }, byReader);
        const int openError = fd < 0 ? errno : 0;
        struct stat st;
        // A folder passed through on the way, closed when nothing more was wanted of it,
        // has no identity recorded: the folder wanted at the end is checked all the same.
        const bool same = fd >= 0
            && (!next->identityKnown || (fstat(fd, &st) == 0 && st.st_dev == next->dev && st.st_ino == next->ino));
        lock.lock();
        if (base)
            unpin(base);
        if (!same) {
            if (fd >= 0)
                close(fd);
            if (openError != EMFILE && openError != ENFILE)
                next->gone = true;
            else
                *outOfFds = true;
            return -1;
        }
        if (next->fd >= 0) {
            close(fd); // another reader reopened it meanwhile
            if (next->inCache) {
                m_cache.erase(next->cachePos);
                next->inCache = false;
            }
        } else {
            next->fd = fd;
            ++m_openFds;
        }
        ++next->pins;
        base = next;
        trimCache();
        lock.unlock();
    }
    return base->fd;
}

void Walker::release(Dir *dir, bool pinned)
{
    ++dir->kidsOpened;
    if (pinned)
        unpin(dir);
}

void Walker::unpin(Dir *dir)
{
    if (--dir->pins > 0)
        return;
    // Its descriptor is kept while subfolders of it remain to be opened, and while the
    // walker is inside it, to lead back to its parent.
    if (dir->read == Dir::Read::Done && dir->kidsOpened >= dir->enterable && !dir->entered) {
        closeFd(dir);
        return;
    }
    m_cache.push_back(dir);
    dir->cachePos = std::prev(m_cache.end());
    dir->inCache = true;
    trimCache();
}

void Walker::closeFd(Dir *dir)
{
    if (dir->inCache) {
        m_cache.erase(dir->cachePos);
        dir->inCache = false;
    }
    struct stat st;
    if (dir->fd >= 0 && !dir->identityKnown && (dir->read != Dir::Read::Done || dir->kidsOpened < dir->enterable)
        && fstat(dir->fd, &st) == 0) {
        // It may have to be reopened: remember what it is.
        dir->ino = st.st_ino;
        dir->identityKnown = true;
    }
    if (dir->fd >= 0) {
        close(dir->fd);
        dir->fd = -1;
        --m_openFds;
    }
}

bool Walker::evictOne()
{
    if (m_cache.empty())
        return false;
    closeFd(m_cache.front());
    return true;
}

void Walker::trimCache()
{
    while (m_openFds > m_fdBudget && evictOne()) {
    }
}

} // namespace

void qlSetWalkTuning(const QLWalkTuning &tuning)
{
    walkTuning() = tuning;
}

void qlWalkRoots(QLSearchState &state, const QLProgressCallback &onProgress)
{
    Walker walker(state, onProgress);
    walker.run();
}
