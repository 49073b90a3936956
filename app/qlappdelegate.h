#pragma once

#include <QObject>

#include <memory>

class QMenuBar;
class QLSearchWindowController;

// The application's start-up: the menu bar, the one search window, the readiness marker.
class QLAppDelegate final : public QObject
{
    Q_OBJECT
public:
    QLAppDelegate();
    ~QLAppDelegate() override;

    // Fusion with a dark palette, so that standard controls sit well on the dark window.
    static void applyDarkLook();
    // Qt's own texts (dialogs, a text field's context menu, ...) in Chinese, whatever the
    // user's language, like every other text of the program. False when Qt's Chinese
    // translations are not installed.
    static bool loadQtTranslations();

    QLSearchWindowController *win() const { return m_win.get(); }
    QMenuBar *menuBar() const { return m_menuBar; }

    // Builds the menu bar. Called once, before the event loop runs.
    void buildMenu();
    // Creates, shows and focuses the window, then writes the readiness marker.
    void applicationDidFinishLaunching();

    // The marker file: QingLuanXunQu/ui_ready.txt in the user's application-data folder.
    static QString readinessMarkerPath();
    static void writeReadinessMarker();

public Q_SLOTS:
    void menuSearch();
    void menuReveal();
    void menuCopy();
    void menuCopyPath();
    void menuPreview();
    void selectAllRows();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    std::unique_ptr<QLSearchWindowController> m_win;
    QMenuBar *m_menuBar = nullptr;
};
