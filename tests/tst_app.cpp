#include "qlappdelegate.h"
#include "qlsearchwindowcontroller.h"
#include "testitems.h"
#include "treefixture.h"

#include <QClipboard>
#include <QImage>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimeZone>

class tst_App final : public QObject
{
    Q_OBJECT

    std::unique_ptr<TreeFixture> m_home;
    std::unique_ptr<QLAppDelegate> m_app;

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TZ", "CST-8");
        m_home = std::make_unique<TreeFixture>();
        qputenv("HOME", m_home->root());
        qputenv("XDG_DATA_HOME", m_home->path(".local/share"));
        QLAppDelegate::applyDarkLook();
        QVERIFY(QLAppDelegate::loadQtTranslations());
        m_app = std::make_unique<QLAppDelegate>();
        m_app->buildMenu();
    }

    void menuBar()
    {
        QStringList items;
        for (const QAction *menu : m_app->menuBar()->actions()) {
            items.append(menu->text() + u':');
            for (const QAction *a : menu->menu()->actions())
                items.append(a->isSeparator() ? QStringLiteral("---") : a->text() + u'|' + a->shortcut().toString());
        }
        QCOMPARE(items.join(u' '), QStringLiteral("青鸾寻曲: 关于青鸾寻曲| --- 隐藏青鸾寻曲|Ctrl+H --- 退出青鸾寻曲|Ctrl+Q "
                                                   "文件: 搜索|Ctrl+F 在文件管理器中显示选中文件|Ctrl+R 复制选中文件到桌面|Ctrl+D 试听|Space "
                                                   "编辑: 全选|Ctrl+A 复制完整路径|Ctrl+C 窗口: 最小化|Ctrl+M 缩放|"));
    }

    void launchShowsTheWindowAndWritesTheMarker()
    {
        const QString marker = QLAppDelegate::readinessMarkerPath();
        QCOMPARE(marker, QString::fromUtf8(m_home->path(".local/share/QingLuanXunQu/ui_ready.txt")));
        m_home->write(".local/share/QingLuanXunQu/ui_ready.txt", "ui_ready of an earlier start\n");
        m_app->applicationDidFinishLaunching();
        QVERIFY(QTest::qWaitForWindowExposed(m_app->win()->window()));
        // Rewritten, never appended to: the time of this start, in UTC (eight hours behind the
        // test's time zone).
        const QString text = QString::fromUtf8(TreeFixture::readFile(QFile::encodeName(marker)));
        QDateTime when = QDateTime::fromString(text, QStringLiteral("'ui_ready 'yyyy-MM-dd HH:mm:ss' +0000\n'"));
        when.setTimeZone(QTimeZone::utc());
        QVERIFY2(when.isValid() && std::abs(when.secsTo(QDateTime::currentDateTimeUtc())) < 60, qPrintable(text));
    }

    void keysActForTheWholeApplication()
    {
        QLSearchWindowController *w = m_app->win();
        w->window()->activateWindow();
        w->kwField()->setFocus();
        QTRY_VERIFY(w->kwField()->hasFocus());
        w->kwField()->setText(QStringLiteral("typed"));
        // Every menu key reaches the window from the keyword field; the field keeps none.
        for (const Qt::Key key : {Qt::Key_R, Qt::Key_D}) {
            w->setStatus(QString());
            QTest::keyClick(w->kwField(), key, Qt::ControlModifier);
            QCOMPARE(w->statusLabel()->text(), QStringLiteral("请先在列表里选中文件"));
        }
        w->appendItems({item("/m/a.mp3"), item("/m/b.mp3")});
        QTest::keyClick(w->kwField(), Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(w->selectedItems().size(), 2);
        QTest::keyClick(w->kwField(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("/m/a.mp3\n/m/b.mp3"));
        QCOMPARE(w->kwField()->text(), QStringLiteral("typed"));
        // Ctrl+F searches; it does not move the focus.
        QSignalSpy finished(w, &QLSearchWindowController::searchFinished);
        w->rootPop()->setCurrentIndex(int(w->roots().indexOf(m_home->root())) + 1);
        QTest::keyClick(w->kwField(), Qt::Key_F, Qt::ControlModifier);
        QVERIFY(w->searching());
        QVERIFY(finished.wait(60000));
        QVERIFY(w->kwField()->hasFocus());
    }

    void qtTextsAreChineseAndSeparatorsShow()
    {
        // The save dialog's and a text field's own texts.
        for (const auto &[context, text] : {std::pair{"QFileDialog", "File &name:"}, std::pair{"QLineEdit", "&Undo"}}) {
            const QString shown = QCoreApplication::translate(context, text);
            QVERIFY2(shown.contains(QRegularExpression(QStringLiteral("\\p{Han}"))), qPrintable(shown));
        }

        QMenu menu;
        menu.addAction(QStringLiteral("甲"));
        QAction *separator = menu.addSeparator();
        menu.addAction(QStringLiteral("乙"));
        const QImage image = menu.grab().toImage();
        const QRect r = menu.actionGeometry(separator);
        const int background = qGray(image.pixel(r.left() + 1, r.top()));
        int contrast = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            contrast = std::max(contrast, std::abs(qGray(image.pixel(r.center().x(), y)) - background));
        QVERIFY2(contrast >= 48, qPrintable(QString::number(contrast)));
    }
};

QTEST_MAIN(tst_App)
#include "tst_app.moc"
