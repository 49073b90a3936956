// The result table's context menu.

#include "preview.h"
#include "qlplatform.h"
#include "qlsearchwindowcontroller.h"

#include <QMainWindow>
#include <QMenu>

QMenu *QLSearchWindowController::buildContextMenu()
{
    auto *menu = new QMenu(m_window);
    menu->addAction(QStringLiteral("播放（系统默认应用）"), this, &QLSearchWindowController::doOpenDefault);
    QAction *preview = menu->addAction(QStringLiteral("试听"), this, &QLSearchWindowController::doPreview);
    connect(menu, &QMenu::aboutToShow, preview, [this, preview] { preview->setText(m_preview->actionTitle()); });
    menu->addAction(QLPlatform::fileManagerTexts().menuItem, this, &QLSearchWindowController::doReveal);
    menu->addAction(QStringLiteral("复制到桌面"), this, &QLSearchWindowController::doCopy);
    menu->addSeparator();
    menu->addAction(QStringLiteral("复制完整路径"), this, &QLSearchWindowController::doCopyPath);
    // The known players, then below a separator the other applications the system offers
    // for these files.
    const QList<QLPlayerTarget> others = QLPlayerTargets::otherPlayers();
    if (!m_players.isEmpty() || !others.isEmpty()) {
        menu->addSeparator();
        QMenu *sub = menu->addMenu(QStringLiteral("用播放器打开"));
        const auto addPlayer = [this, sub](const QLPlayerTarget &p) {
            QAction *a = sub->addAction(p.name());
            a->setData(QVariant::fromValue(p)); // the player travels with its item
            connect(a, &QAction::triggered, this, [this, a] { doOpenWithPlayer(a->data().value<QLPlayerTarget>()); });
        };
        for (const QLPlayerTarget &p : std::as_const(m_players))
            addPlayer(p);
        if (!m_players.isEmpty() && !others.isEmpty())
            sub->addSeparator();
        for (const QLPlayerTarget &p : others)
            addPlayer(p);
    }
    return menu;
}
