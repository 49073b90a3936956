#include "qlcontrols.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QStyleOptionFrame>
#include <QStylePainter>

namespace {

// QLineEdit keeps its text this far from the contents rectangle, left and right.
constexpr int kLineEditTextMargin = 2;

// Where a line edit draws its text.
QRect lineEditTextArea(const QLineEdit *edit)
{
    QStyleOptionFrame opt;
    opt.initFrom(edit);
    opt.lineWidth = edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, edit) : 0;
    QRect r = edit->style()->subElementRect(QStyle::SE_LineEditContents, &opt, edit);
    r = r.marginsRemoved(edit->textMargins());
    return r.adjusted(kLineEditTextMargin, 0, -kLineEditTextMargin, 0);
}

} // namespace

bool qlIsReturn(const QKeyEvent *event)
{
    return (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

QLKeywordField::QLKeywordField(QWidget *parent)
    : QLineEdit(parent)
{
}

void QLKeywordField::setHint(const QString &hint)
{
    setPlaceholderText(hint);
    updateToolTip();
}

bool QLKeywordField::hintIsCut() const
{
    return fontMetrics().horizontalAdvance(placeholderText()) > lineEditTextArea(this).width();
}

void QLKeywordField::keyPressEvent(QKeyEvent *event)
{
    QLineEdit::keyPressEvent(event); // emits returnPressed
    if (qlIsReturn(event))
        event->accept();
}

void QLKeywordField::resizeEvent(QResizeEvent *event)
{
    QLineEdit::resizeEvent(event);
    updateToolTip();
}

void QLKeywordField::updateToolTip()
{
    setToolTip(hintIsCut() ? placeholderText() : QString());
}

QLPopUp::QLPopUp(QWidget *parent)
    : QComboBox(parent)
{
    view()->setTextElideMode(Qt::ElideMiddle); // only where even the screen is too narrow
}

QString QLPopUp::shownText() const
{
    QStyleOptionComboBox opt;
    initStyleOption(&opt);
    const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, this);
    // The label is drawn one pixel in from each side of the field.
    return fontMetrics().elidedText(opt.currentText, Qt::ElideMiddle, field.width() - 2);
}

void QLPopUp::showPopup()
{
    QComboBox::showPopup();
    QWidget *list = view()->window();
    const int wanted = view()->sizeHintForColumn(0) + 2 * view()->frameWidth()
        + view()->verticalScrollBar()->sizeHint().width() + (list->width() - view()->width());
    if (wanted <= list->width())
        return;
    const QRect screen = list->screen()->availableGeometry();
    QRect r = list->geometry();
    r.setWidth(std::min(wanted, screen.width()));
    if (r.right() > screen.right())
        r.moveRight(screen.right());
    list->setGeometry(r);
}

void QLPopUp::keyPressEvent(QKeyEvent *event)
{
    if (qlIsReturn(event)) {
        showPopup();
        event->accept();
        return;
    }
    QComboBox::keyPressEvent(event);
}

void QLPopUp::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox opt;
    initStyleOption(&opt);
    painter.drawComplexControl(QStyle::CC_ComboBox, opt);
    opt.currentText = shownText();
    painter.drawControl(QStyle::CE_ComboBoxLabel, opt);
}

QLStatusLine::QLStatusLine(QWidget *parent)
    : QLineEdit(parent)
{
    connect(this, &QLineEdit::textChanged, this, &QLStatusLine::updateToolTip);
}

QRect QLStatusLine::textArea() const
{
    return lineEditTextArea(this);
}

QString QLStatusLine::shownText() const
{
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, textArea().width());
}

void QLStatusLine::paintEvent(QPaintEvent *event)
{
    // With the focus the field is an ordinary line edit: the text scrolls under the cursor
    // and can be selected whole.
    if (hasFocus() || shownText() == text()) {
        QLineEdit::paintEvent(event);
        return;
    }
    QPainter painter(this);
    QStyleOptionFrame panel;
    initStyleOption(&panel);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &painter, this);
    painter.setPen(palette().color(QPalette::Text));
    painter.setFont(font());
    painter.drawText(textArea(), Qt::AlignLeft | Qt::AlignVCenter, shownText());
}

void QLStatusLine::resizeEvent(QResizeEvent *event)
{
    QLineEdit::resizeEvent(event);
    updateToolTip();
}

void QLStatusLine::updateToolTip()
{
    setToolTip(shownText() == text() ? QString() : text());
}
