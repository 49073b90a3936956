#pragma once

// The thin layer between the program and the operating system. Each function has one
// implementation per system (qlplatform_linux.cpp, qlplatform_macos.cpp); callers never
// test which system they run on. Paths cross this layer as the file system's own bytes.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

struct stat;

namespace QLPlatform {

// Mount points of the volumes the system's file manager shows the user, in the system's
// order. The start-up volume "/" is not among them.
QList<QByteArray> userVisibleVolumes();

// Device numbers (st_dev) of the virtual file systems mounted now (proc, sysfs, cgroup,
// devtmpfs, ...), read afresh on every call. A search never enters them.
QList<quint64> virtualFileSystemDevices();

// True when the open directory lies on a virtual file system, as the file system itself
// says (its type), whatever path led to it.
bool isOnVirtualFileSystem(int dirFd);

// Whether a folder opened by openSubdirectory lies on its parent's file system.
enum class MountCrossing { No, Yes, Unknown };

// Opens the subfolder name of the open folder parentFd for listing, never through a
// symbolic link. Tells whether it is the root of another mount when the system can say so
// without a further call (Linux: openat2 with RESOLVE_NO_XDEV); Unknown otherwise. Returns
// -1 with errno as openat(2) sets it.
int openSubdirectory(int parentFd, const char *name, MountCrossing *crossing);

// Raises the soft limit on open descriptors to the hard limit (when it is below; cheap,
// so every search asks) and returns how many more descriptors the process can open now.
int availableDescriptors();

// Where this system's rules for the folders of a search differ.
struct SearchFolderRules
{
    // The system folder names of the skip list (System, Library, usr, home, ...) mark
    // system folders at every depth (macOS), or only where the system keeps them (Linux:
    // directly under "/", and Library also directly in a home folder or at the top of a
    // volume, where a Mac disk keeps it; /home itself is searched there).
    bool systemNamesEverywhere = true;
    // The file-name index also lists hidden folders and the Trash (plocate does;
    // Spotlight leaves them out), so the engine drops such index paths itself.
    bool indexListsHidden = false;
    // The user's Trash folder, absolute (Linux: $XDG_DATA_HOME/Trash); empty for none.
    // Never listed, walked or taken from the index.
    QByteArray userTrash;
    // Volumes keep a Trash folder per user named ".Trash-UID" beside ".Trash".
    bool trashFoldersWithUid = false;
};
SearchFolderRules searchFolderRules();

// True when the file carries the system's own "hidden" flag. Linux has no such flag.
bool hasHiddenFlag(const struct stat &st);

// The disk name shown for a path that is not under /Volumes/.
QString localVolumeName(const QByteArray &path);

// The file's content modification time, in milliseconds since 1970 (UTC).
qint64 modificationMSecs(const struct stat &st);

// Gives the open file the access and modification times of st.
void copyFileTimes(int fd, const struct stat &st);

// The user's home folder.
QByteArray homeDirectory();

// Reads the entries of an open directory in large batches, without an allocation per
// entry. "." and ".." are left out. The type is the listing's DT_* value, DT_UNKNOWN when
// the file system does not say. The reader does not own the descriptor.
class DirectoryReader final
{
public:
    struct Entry
    {
        const char *name = nullptr; // NUL-terminated, valid until the next call
        size_t length = 0;
        unsigned char type = 0;
    };

    DirectoryReader();
    ~DirectoryReader();
    DirectoryReader(const DirectoryReader &) = delete;
    DirectoryReader &operator=(const DirectoryReader &) = delete;

    void reset(int fd);
    // False at the end of the listing or when it cannot be read further.
    bool next(Entry &entry);

private:
    struct Impl;
    Impl *m_impl;
};

// The question put to the system's file-name index: file names ending in "." and one of
// extensions, and containing keyword when it is not empty, both ignoring case.
struct IndexQuery
{
    QString spotlightQuery; // the same question in Spotlight's query language
    QStringList extensions; // lower case, in clause order
    QString keyword;
    QByteArray tool;        // empty: the system's own tool
    QByteArray database;    // empty: the system's own database
    qsizetype cap = 0;      // at most this many paths come back
};

// Runs the index tool and returns the paths it reports, in its order, at most cap. Any
// failure (no tool, no database, non-zero exit, no output, a cancellation) gives none.
QList<QByteArray> queryFileNameIndex(const IndexQuery &query, const std::function<bool()> &cancelled);

// --- file actions ---

// What the window calls the system's file manager, which is Finder only on macOS.
struct FileManagerTexts
{
    QString button;         // the reveal button
    QString menuItem;       // the context menu's reveal item
    QString fileMenuItem;   // the File menu's reveal item
    QString revealedFormat; // the report after a reveal; %1 is the number of selected files
};
const FileManagerTexts &fileManagerTexts();

// Shows the file's folder in the system's file manager with the file selected, without
// waiting for the file manager. An empty path does nothing.
void revealFile(const QByteArray &path);

// Copies the contents of one open file into another (from the current offsets). Returns
// 0 or the errno of the failure.
int copyFileData(int srcFd, int dstFd);

// Renames from to to, failing with EEXIST instead of replacing an existing to. Returns 0
// or the errno of the failure.
int renameNoReplace(const char *from, const char *to);

// True where the system has a "Full Disk Access" privacy setting that a failed read can
// be blamed on (macOS).
bool hasFullDiskAccessSetting();

// --- player applications ---

// Where an application was found: its bundle (macOS) or desktop entry file (Linux), and
// its bundle identifier or desktop ID ("" when it cannot be read).
struct AppLocation
{
    QByteArray path;
    QString id;
};

// Looks for an application: on macOS the bundle bundleName + ".app" in the given folders
// in order; on Linux the first of desktopIds that is installed (its entry found in the
// XDG data folders, not hidden, and its program present).
bool findApplication(const QString &bundleName, const QStringList &folders, const QStringList &desktopIds,
                     AppLocation *found);

// Starts the application at path (as found by findApplication) with the files, all in
// one request; with no files it only launches it and brings it forward. Returns false
// with the system's description in reason when it could not be asked.
bool openWithApplication(const QByteArray &appPath, const QList<QByteArray> &files, int timeoutMs, QString *reason);

// --- shared helpers, the same on every system ---

// A file: URI for the path's exact bytes, everything but unreserved characters and "/"
// percent-encoded.
QByteArray fileUri(const QByteArray &path);

// Starts argv[0] (an absolute path) with argv, detached: standard streams on the null
// device, in a session of its own, never waited for. Returns 0 once the program runs, or
// the errno of the failure to start it.
int spawnDetached(const QList<QByteArray> &argv);

// The system's description of an errno value.
QString errorText(int error);

enum class ToolOutcome { Exited, Stopped, Failed, Cancelled };

// Runs program (an absolute path) with args; standard input and error go to the null
// device, so the child can never block on them. Standard output is handed to onData in
// chunks; when onData answers false the child is killed and the outcome is Stopped.
// cancelled is polled about every 100 ms: when it answers true the child is killed and
// the outcome is Cancelled. Exited sets exitStatus (a signal death counts as Failed).
ToolOutcome runTool(const QByteArray &program, const QList<QByteArray> &args,
                    const std::function<bool(const char *data, size_t size)> &onData,
                    const std::function<bool()> &cancelled, int *exitStatus);

// True for file system types that hold no user files (proc, sysfs, cgroup, ...).
bool isVirtualFileSystemType(const QByteArray &type);

} // namespace QLPlatform
