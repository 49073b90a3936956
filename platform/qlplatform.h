#pragma once

// The thin layer between the program and the operating system. Each function has one
// implementation per system (linux/, one file per concern; qlplatform_macos.cpp); callers never
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

// Watches the system's table of mounted file systems. onChange runs on the thread that
// made the watch, from its event loop, after each change (a disk plugged in or removed, a
// mount made by hand). Destroying the watch ends the watching.
class MountWatch final
{
public:
    explicit MountWatch(std::function<void()> onChange);
    ~MountWatch();
    MountWatch(const MountWatch &) = delete;
    MountWatch &operator=(const MountWatch &) = delete;

private:
    struct Impl;
    Impl *m_impl;
};

// True when the file carries the system's own "hidden" flag. Linux has no such flag.
bool hasHiddenFlag(const struct stat &st);

// The disk name shown for a path that is not under /Volumes/.
QString localVolumeName(const QByteArray &path);

// The file's content modification time, in milliseconds since 1970 (UTC).
qint64 modificationMSecs(const struct stat &st);

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

// --- the file-name index ---

// The system's file-name index, asked by running its program: plocate on Linux, which
// takes name patterns; Spotlight's mdfind on macOS, which takes one query text. What to
// ask and how to read the answer is the caller's.
struct FileNameIndex
{
    enum class Language { Locate, Spotlight };
    Language language;
    QByteArray program; // absolute path
};
FileNameIndex fileNameIndex();

// --- file actions ---

// What the window calls the system's file manager, which is Finder only on macOS.
struct FileManagerTexts
{
    QString button;             // the reveal button
    QString menuItem;           // the context menu's reveal item
    QString fileMenuItem;       // the File menu's reveal item
    QString revealedFormat;     // the report after a reveal; %1 is the number of selected files
    QString revealFailedFormat; // the report when nothing could show the file; %1 is the reason
};
const FileManagerTexts &fileManagerTexts();

// How an asynchronous request ended: ok, or not with the reason, ready to show. It is
// called exactly once, on the thread that made the request (the main thread, whose event
// loop must run), and never before the request function has returned.
using Completion = std::function<void(bool ok, const QString &reason)>;

// Shows the file's folder in the system's file manager with the file selected. Where the
// file manager does not answer, the folder is opened with the default application for
// folders. Waits for neither on the calling thread.
void revealFile(const QByteArray &path, Completion done);

// Hands the file to the default application for its type, without waiting for it. Fails
// when the system knows no application for the type or cannot start it.
void openWithDefaultApplication(const QByteArray &path, Completion done);

// Copies the regular file source into the folder dir under the path freePath gives,
// without ever replacing anything: when another program takes that name first, freePath
// is asked again. Permission bits and times are kept. A copy that fails leaves nothing
// behind. Returns the new path, or an empty one with the reason in error.
QByteArray copyIntoFolder(const QByteArray &source, const QByteArray &dir, const std::function<QByteArray()> &freePath,
                          QString *error = nullptr);

// True where the system has a "Full Disk Access" privacy setting that a failed read can
// be blamed on (macOS).
bool hasFullDiskAccessSetting();

// A file: URI by which this process can open once more the file that fd holds open (path
// being the name it was opened by). It reaches that very file even through libraries that
// carry a URL's path as text, which a name that is not UTF-8 would not survive.
QByteArray openFileUri(int fd, const QByteArray &path);

// --- player applications ---

// An application the program knows by name: its bundle's name without ".app" (macOS),
// whether it is one the system itself ships, and the desktop IDs under which it comes on
// Linux.
struct ApplicationQuery
{
    QString bundleName;
    bool systemApp = false;
    QStringList desktopIds;
};

// An installed application: its bundle (macOS) or desktop entry file (Linux), its bundle
// identifier or desktop ID ("" when it cannot be read), and the name the system shows.
struct AppLocation
{
    QByteArray path;
    QString id;
    QString name;
};

// Looks for the application among the installed ones. On Linux an entry hidden from the
// desktop's menus, or whose program is missing, does not count.
bool findApplication(const ApplicationQuery &query, AppLocation *found);

// The installed applications that the system offers for opening files of any of the MIME
// types, each once, in no particular order.
QList<AppLocation> applicationsForTypes(const QStringList &mimeTypes);

// Asks the application to open the files, waiting up to 20 seconds for the system's
// answer; a program started from a desktop entry that takes one file per start is
// started once per file. False when it could not be asked, with the system's description
// in message, which stays empty when no answer came in time.
bool openWithApplication(const AppLocation &app, const QList<QByteArray> &files, QString *message);

// Starts the application or brings it forward, waiting up to 15 seconds for the system's
// answer; false and message as above.
bool launchApplication(const AppLocation &app, QString *message);

// The copies of an application beyond one that opening fileCount files (none for a
// launch) would leave running. The system hands a request to the copy already running
// on macOS, and over D-Bus for desktop entries activated that way; otherwise a program
// started from a desktop entry is a new copy beside any running one, and one per file
// when its entry takes one file per start.
enum class ExtraCopies { None, BesideRunning, OnePerFile };
ExtraCopies extraCopies(const AppLocation &app, qsizetype fileCount);

// --- shared helpers, the same on every system ---

// A file: URI for the path's exact bytes, everything but unreserved characters and "/"
// percent-encoded.
QByteArray fileUri(const QByteArray &path);

// The system's description of an errno value, in Chinese for the common failures of
// file operations.
QString errorText(int error);

// Runs program (an absolute path) with args; standard input and error go to the null
// device, so the child can never block on them. Standard output is handed to onData in
// chunks; when onData answers false the child is ended at once, which counts as success.
// cancelled is polled about every 100 ms; when it answers true the child is killed.
// Returns true when the child exited with status 0 or was ended by onData; otherwise
// false, with what happened in error.
bool runTool(const QByteArray &program, const QList<QByteArray> &args,
             const std::function<bool(const char *data, size_t size)> &onData,
             const std::function<bool()> &cancelled, QString *error = nullptr);

// True for file system types that hold no user files (proc, sysfs, cgroup, ...).
bool isVirtualFileSystemType(const QByteArray &type);

} // namespace QLPlatform
