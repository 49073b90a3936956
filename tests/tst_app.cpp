#include "qlappdelegate.h"
#include "qlsearchwindowcontroller.h"
#include "treefixture.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

namespace {

QLMediaItemPtr item(const QByteArray &path)
{
    auto i = std::make_shared<QLMediaItem>();
    i->setPath(path);
    i->setName(QString::fromUtf8(path.mid(path.lastIndexOf('/') + 1)));
    i->setExt(QStringLiteral("mp3"));
    return i;
}

// "title|shortcut" per item, "---" for a separator.
QStringList describe(const QMenu *m)
{
    QStringList out;
    for (const QAction *a : m->actions())
        out.append(a->isSeparator() ? QStringLiteral("---") : a->text() + QLatin1Char('|') + a->shortcut().toString());
    return out;
}

QAction *find(QMenuBar *bar, const QString &title)
{
    for (QAction *top : bar->actions()) {
        for (QAction *a : top->menu()->actions()) {
            if (a->text() == title)
                return a;
        }
    }
    return nullptr;
}

} // namespace

class tst_App final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void menuBar();
    void launchShowsTheWindowAndWritesTheMarker();
    void menuItemsReachTheWindow();
    void keysActForTheWholeApplication();
    void qtTextsAreChineseAndSeparatorsShow();

private:
    std::unique_ptr<TreeFixture> m_home;
    std::unique_ptr<QLAppDelegate> m_app;
};

void tst_App::initTestCase()
{
    m_home = std::make_unique<TreeFixture>();
    qputenv("HOME", m_home->root());
    qputenv("XDG_DATA_HOME", m_home->path(".local/share"));
    QLAppDelegate::applyDarkLook();
    QVERIFY(QLAppDelegate::loadQtTranslations());
    m_app = std::make_unique<QLAppDelegate>();
    m_app->buildMenu();
}

void tst_App::cleanupTestCase()
{
    m_app.reset();
    m_home.reset();
}

void tst_App::menuBar()
{
    QMenuBar *bar = m_app->menuBar();
    QVERIFY(bar);
    QStringList titles;
    for (const QAction *a : bar->actions())
        titles.append(a->text());
    QCOMPARE(titles, (QStringList{QStringLiteral("青鸾寻曲"), QStringLiteral("文件"), QStringLiteral("编辑"), QStringLiteral("窗口")}));
    const QList<QAction *> top = bar->actions();
    QCOMPARE(describe(top[0]->menu()), (QStringList{QStringLiteral("关于青鸾寻曲|"), QStringLiteral("---"), QStringLiteral("隐藏青鸾寻曲|Ctrl+H"),
                                                    QStringLiteral("---"), QStringLiteral("退出青鸾寻曲|Ctrl+Q")}));
    QCOMPARE(describe(top[1]->menu()), (QStringList{QStringLiteral("搜索|Ctrl+F"), QStringLiteral("在文件管理器中显示选中文件|Ctrl+R"),
                                                    QStringLiteral("复制选中文件到桌面|Ctrl+D"), QStringLiteral("试听|Space")}));
    QCOMPARE(describe(top[2]->menu()), (QStringList{QStringLiteral("全选|Ctrl+A"), QStringLiteral("复制完整路径|Ctrl+C")}));
    QCOMPARE(describe(top[3]->menu()), (QStringList{QStringLiteral("最小化|Ctrl+M"), QStringLiteral("缩放|")}));
}

void tst_App::launchShowsTheWindowAndWritesTheMarker()
{
    const QString marker = QLAppDelegate::readinessMarkerPath();
    QCOMPARE(marker, QString::fromUtf8(m_home->path(".local/share/QingLuanXunQu/ui_ready.txt")));
    QVERIFY(!QFile::exists(marker));
    m_app->applicationDidFinishLaunching();
    QVERIFY(m_app->win());
    QVERIFY(QTest::qWaitForWindowExposed(m_app->win()->window()));
    QCOMPARE(m_app->win()->window()->menuBar(), m_app->menuBar());
    // The menu bar sits inside the window, above the content, which keeps its size.
    QMainWindow *w = m_app->win()->window();
    QVERIFY(m_app->menuBar()->height() > 0);
    QCOMPARE(w->centralWidget()->size(), QSize(1080, 680));
    w->resize(100, 100);
    QTRY_COMPARE(w->centralWidget()->size(), QSize(820, 520));
    QFile f(marker);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray first = f.readAll();
    f.close();
    const QRegularExpression shape(QStringLiteral("^ui_ready (\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) \\+0000\\n$"));
    const auto m = shape.match(QString::fromUtf8(first));
    QVERIFY2(m.hasMatch(), first.constData());
    QDateTime when = QDateTime::fromString(m.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    when.setTimeSpec(Qt::UTC);
    QVERIFY(std::abs(when.secsTo(QDateTime::currentDateTimeUtc())) < 120); // UTC, taken now
    // Rewritten, never appended to.
    QTest::qWait(1100);
    QLAppDelegate::writeReadinessMarker();
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray second = f.readAll();
    QCOMPARE(second.count('\n'), 1);
    QVERIFY(second != first);
}

void tst_App::menuItemsReachTheWindow()
{
    QLSearchWindowController *w = m_app->win();
    QVERIFY(w);
    w->setStatus(QString());
    find(m_app->menuBar(), QStringLiteral("在文件管理器中显示选中文件"))->trigger();
    QCOMPARE(w->statusLabel()->text(), QStringLiteral("请先在列表里选中文件"));
    w->setStatus(QString());
    find(m_app->menuBar(), QStringLiteral("复制选中文件到桌面"))->trigger();
    QCOMPARE(w->statusLabel()->text(), QStringLiteral("请先在列表里选中文件"));

    QSignalSpy finished(w, &QLSearchWindowController::searchFinished);
    w->rootPop()->setCurrentIndex(int(w->roots().indexOf(m_home->root())) + 1);
    find(m_app->menuBar(), QStringLiteral("搜索"))->trigger();
    QVERIFY(w->searching());
    QVERIFY(finished.wait(60000));
}

void tst_App::keysActForTheWholeApplication()
{
    QLSearchWindowController *w = m_app->win();
    w->appendItems({item("/m/a.mp3"), item("/m/b.mp3")});
    w->window()->activateWindow();
    w->kwField()->setFocus();
    QTRY_VERIFY(w->kwField()->hasFocus());
    w->kwField()->setText(QStringLiteral("typed"));
    // In the keyword field, Ctrl+A selects every row and Ctrl+C copies their paths.
    QTest::keyClick(w->kwField(), Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(w->selectedItems().size(), 2);
    QTest::keyClick(w->kwField(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("/m/a.mp3\n/m/b.mp3"));
    QCOMPARE(w->kwField()->text(), QStringLiteral("typed"));
    // Ctrl+F searches; it does not move the focus.
    QSignalSpy finished(w, &QLSearchWindowController::searchFinished);
    QTest::keyClick(w->kwField(), Qt::Key_F, Qt::ControlModifier);
    QVERIFY(w->searching());
    QVERIFY(finished.wait(60000));
}

void tst_App::qtTextsAreChineseAndSeparatorsShow()
{
    // The save dialog's and a text field's own texts.
    for (const auto &[context, text] : {std::pair{"QFileDialog", "&Save"}, std::pair{"QFileDialog", "File &name:"},
                                       std::pair{"QLineEdit", "&Undo"}, std::pair{"QLineEdit", "Select All"}}) {
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

QTEST_MAIN(tst_App)
#include "tst_app.moc"
