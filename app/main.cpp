#include "qlappdelegate.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>
#include <QTimer>

namespace {

// Fusion with a dark palette, so that standard controls sit well on the dark window.
void applyDarkLook(QApplication &app)
{
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette p;
    const QColor window = QColor::fromRgbF(0.13f, 0.13f, 0.13f);
    const QColor base = QColor::fromRgbF(0.09f, 0.09f, 0.09f);
    const QColor text = QColor(230, 230, 230);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor::fromRgbF(0.16f, 0.16f, 0.16f));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::PlaceholderText, QColor(140, 140, 140));
    p.setColor(QPalette::Button, QColor::fromRgbF(0.22f, 0.22f, 0.22f));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, QColor(50, 50, 50));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Highlight, QColor(62, 110, 190));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(110, 110, 110));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(110, 110, 110));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(110, 110, 110));
    app.setPalette(p);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("青鸾寻曲"));
    QApplication::setApplicationVersion(QStringLiteral(QINGLUAN_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("qingluan"));
    applyDarkLook(app);

    QLAppDelegate delegate;
    delegate.buildMenu();
    // Launching has finished once the event loop runs.
    QTimer::singleShot(0, &delegate, &QLAppDelegate::applicationDidFinishLaunching);
    return app.exec();
}
