#pragma once

#include "qlcontrols.h"
#include "qlmediasearch.h"
#include "qlplayertargets.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>

class QFrame;
class QLabel;
class QMainWindow;
class QMenu;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QLDraggableTableView;
class QLPreview;
class QLResultModel;

namespace QLPlatform {
class MountWatch;
}

// The controller of the one search window: it owns the window, its controls and every
// piece of state the user sees. Everything here runs on the main thread; the search
// runs on a worker thread and reports back through queued calls.
class QLSearchWindowController final : public QObject
{
    Q_OBJECT
public:
    QLSearchWindowController();
    ~QLSearchWindowController() override;

    QMainWindow *window() const { return m_window; }
    // Gives the window its menu bar; the area below the bar keeps the window's content size.
    void setMenuBar(QMenuBar *bar);
    void showAndFocus();

    QLKeywordField *kwField() const { return m_kwField; }
    QLPopUp *kindPop() const { return m_kindPop; }
    QLPopUp *rootPop() const { return m_rootPop; }
    QLDraggableTableView *table() const { return m_table; }
    QProgressBar *prog() const { return m_prog; }
    QLStatusLine *statusLabel() const { return m_statusLabel; }
    QPushButton *searchBtn() const { return m_searchBtn; }
    QPushButton *stopBtn() const { return m_stopBtn; }
    QPushButton *dupBtn() const { return m_dupBtn; }
    QPushButton *revealBtn() const { return m_revealBtn; }
    QPushButton *exportBtn() const { return m_exportBtn; }
    QFrame *dragHint() const { return m_dragHint; }
    QLabel *dragHintLabel() const { return m_dragHintLabel; }
    QLabel *titleLabel() const { return m_title; }
    QMenu *contextMenu() const { return m_contextMenu; }

    const QList<QLMediaItemPtr> &items() const;
    const QList<QByteArray> &roots() const { return m_roots; }
    const QList<QLPlayerTarget> &players() const { return m_players; }
    bool searching() const { return m_searching; }
    bool cancelFlag() const { return m_cancelFlag->load(); }
    quint64 dirsScanned() const { return m_dirsScanned; }

    quint64 currentKinds() const;
    void appendItems(const QList<QLMediaItemPtr> &items);
    void setStatus(const QString &text);

    QList<QLMediaItemPtr> selectedItems() const;
    void refreshSelectionStatus();
    QString primaryDJName() const;

    QList<QByteArray> selectedPaths() const;
    void requireSelection();

    // Where the scope pop-up's roots come from: the system's disks and the home folder,
    // unless a test puts its own in place.
    using RootsSource = std::function<QList<QByteArray>()>;
    void setRootsSource(RootsSource source) { m_rootsSource = std::move(source); }

    // The save panel of the export. Tests put their own in place.
    using SavePanel = std::function<QString(QWidget *parent, const QString &title, const QString &proposedName)>;
    void setSavePanel(SavePanel panel) { m_savePanel = std::move(panel); }

    // Replaces the players found at start-up (tests).
    void setPlayers(const QList<QLPlayerTarget> &players);

    // The text of the whole export file for the current items (without writing it).
    QByteArray exportText() const;

    // --- preview ---
    QLPreview *preview() const { return m_preview; }

public Q_SLOTS:
    void doSearch();
    void doStop();
    void doCopy();
    void doReveal();
    void doCopyPath();
    void doOpenDefault();
    void doOpenWithPlayer(const QLPlayerTarget &target);
    void doExport();
    void selectAllRows();
    // Reads the roots again and rebuilds the scope pop-up, keeping the chosen root when it
    // is still there (else all disks). Called whenever a disk comes or goes; a running
    // search keeps the roots it started with.
    void rootsChanged();
    // Starts the preview of the first selected hit, or stops the one playing.
    void doPreview();
    // Stops the preview, if one plays, and shows the selection again.
    void stopPreview();

Q_SIGNALS:
    // After the finishing step of a search has shown its summary.
    void searchFinished();
    // After a Desktop copy has reported its outcome.
    void copyFinished();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildUI();
    void fillRootPop();
    void registerDragHint();
    void dragWillBegin(int rowCount);
    void dragEnded();
    QMenu *buildContextMenu();
    void layoutControls();
    void layoutDragHint();
    void finishSearch(const QList<QLMediaItemPtr> &rest, double seconds);
    void installPreview();

    QMainWindow *m_window = nullptr;
    QWidget *m_content = nullptr;
    QLabel *m_title = nullptr;
    QLKeywordField *m_kwField = nullptr;
    QLPopUp *m_kindPop = nullptr;
    QLPopUp *m_rootPop = nullptr;
    QLDraggableTableView *m_table = nullptr;
    QLResultModel *m_model = nullptr;
    QProgressBar *m_prog = nullptr;
    QLStatusLine *m_statusLabel = nullptr;
    QPushButton *m_searchBtn = nullptr;
    QPushButton *m_stopBtn = nullptr;
    QPushButton *m_dupBtn = nullptr;
    QPushButton *m_revealBtn = nullptr;
    QPushButton *m_exportBtn = nullptr;
    QFrame *m_dragHint = nullptr;
    QLabel *m_dragHintLabel = nullptr;
    QMenu *m_contextMenu = nullptr;

    QList<QByteArray> m_roots;
    RootsSource m_rootsSource = &QLMediaSearch::searchableRoots;
    std::unique_ptr<QLPlatform::MountWatch> m_mountWatch;
    QList<QLPlayerTarget> m_players;
    bool m_searching = false;
    // Shared with the running search, which holds it weakly. The controller raises it
    // when it goes, so that quitting never waits for a whole search.
    std::shared_ptr<std::atomic<bool>> m_cancelFlag = std::make_shared<std::atomic<bool>>(false);
    quint64 m_dirsScanned = 0;
    SavePanel m_savePanel;
    QLPreview *m_preview = nullptr;
};
