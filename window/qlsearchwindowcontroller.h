#pragma once

#include "qlmediasearch.h"
#include "qlplayertargets.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <functional>
#include <memory>

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMainWindow;
class QMenu;
class QMimeData;
class QProgressBar;
class QPushButton;
class QLDraggableTableView;
class QLPreview;
class QLResultModel;

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
    void showAndFocus();

    // --- state ---
    QLineEdit *kwField() const { return m_kwField; }
    QComboBox *kindPop() const { return m_kindPop; }
    QComboBox *rootPop() const { return m_rootPop; }
    QLDraggableTableView *table() const { return m_table; }
    QProgressBar *prog() const { return m_prog; }
    QLineEdit *statusLabel() const { return m_statusLabel; }
    QPushButton *searchBtn() const { return m_searchBtn; }
    QPushButton *stopBtn() const { return m_stopBtn; }
    QPushButton *dupBtn() const { return m_dupBtn; }
    QPushButton *revealBtn() const { return m_revealBtn; }
    QPushButton *exportBtn() const { return m_exportBtn; }
    QFrame *dragHint() const { return m_dragHint; }
    QLabel *dragHintLabel() const { return m_dragHintLabel; }
    QLabel *titleLabel() const { return m_title; }
    QMenu *contextMenu() const { return m_contextMenu; }

    const QList<QLMediaItemPtr> &items() const { return m_items; }
    const QList<QByteArray> &roots() const { return m_roots; }
    const QList<QLPlayerTarget> &players() const { return m_players; }
    bool searching() const { return m_searching; }
    bool cancelFlag() const { return m_cancelFlag->load(); }
    quint64 dirsScanned() const { return m_dirsScanned; }

    // --- search run ---
    quint64 currentKinds() const;
    void appendItems(const QList<QLMediaItemPtr> &items);
    void setStatus(const QString &text);

    // --- table and selection ---
    QList<QLMediaItemPtr> selectedItems() const;
    void refreshSelectionStatus();
    QString primaryDJName() const;

    // --- result actions ---
    QList<QByteArray> selectedPaths() const;
    void requireSelection();

    // --- drag-out ---
    // The data one drag carries: each row's file URL and its plain path; rows without a
    // path contribute nothing.
    QMimeData *mimeDataForRows(const QList<int> &rows) const;
    void dragWillBegin(int rowCount);
    void dragEnded();

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
    // Starts the preview of the first selected hit, or stops the one playing.
    void doPreview();
    // Stops the preview, if one plays, and shows the selection again.
    void stopPreview();

Q_SIGNALS:
    // After the finishing step of a search has shown its summary.
    void searchFinished();
    // After a Desktop copy has reported its outcome.
    void copyFinished();

private:
    void buildUI();
    void registerDragHint();
    QMenu *buildContextMenu();
    void layoutControls();
    void layoutDragHint();
    void finishSearch(const QList<QLMediaItemPtr> &rest, double seconds);
    void installPreview();
    friend class QLContentView;

    QMainWindow *m_window = nullptr;
    QWidget *m_content = nullptr;
    QLabel *m_title = nullptr;
    QLineEdit *m_kwField = nullptr;
    QComboBox *m_kindPop = nullptr;
    QComboBox *m_rootPop = nullptr;
    QLDraggableTableView *m_table = nullptr;
    QLResultModel *m_model = nullptr;
    QProgressBar *m_prog = nullptr;
    QLineEdit *m_statusLabel = nullptr;
    QPushButton *m_searchBtn = nullptr;
    QPushButton *m_stopBtn = nullptr;
    QPushButton *m_dupBtn = nullptr;
    QPushButton *m_revealBtn = nullptr;
    QPushButton *m_exportBtn = nullptr;
    QFrame *m_dragHint = nullptr;
    QLabel *m_dragHintLabel = nullptr;
    QMenu *m_contextMenu = nullptr;

    QList<QLMediaItemPtr> m_items;
    QList<QByteArray> m_roots;
    QList<QLPlayerTarget> m_players;
    bool m_searching = false;
    // Shared with the running search, which holds it weakly. The controller raises it
    // when it goes, so that quitting never waits for a whole search.
    std::shared_ptr<std::atomic<bool>> m_cancelFlag = std::make_shared<std::atomic<bool>>(false);
    quint64 m_dirsScanned = 0;
    SavePanel m_savePanel;
    QLPreview *m_preview = nullptr;
};
