#pragma once

#include <QComboBox>
#include <QLineEdit>

class QKeyEvent;

// Return or Enter (the keypad's too), with no modifier: the key that searches.
bool qlIsReturn(const QKeyEvent *event);

// The keyword field. Return searches (the field keeps the key, so the window does not act
// on it a second time). When the field is too narrow for its hint, the whole hint is its
// tooltip.
class QLKeywordField final : public QLineEdit
{
    Q_OBJECT
public:
    explicit QLKeywordField(QWidget *parent = nullptr);

    void setHint(const QString &hint);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // True when the hint does not fit into the field as it is now.
    bool hintIsCut() const;
    void updateToolTip();
};

// A pop-up button. Return or Enter on it opens its list, as Space does, so that choosing an
// item with the keyboard never reaches the window's default button. A current text wider
// than the button loses its middle; the open list is as wide as its longest item (within
// the screen) and shows every item whole.
class QLPopUp final : public QComboBox
{
    Q_OBJECT
public:
    explicit QLPopUp(QWidget *parent = nullptr);

    // The text the closed button shows for its current item at its present width.
    QString shownText() const;
    void showPopup() override;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};

// The status line: an ordinary text field that can be clicked into, selected and copied
// from, always holding the whole text. While it does not have the focus, a text too long
// for it is drawn with its middle left out (its start and end, where a warning or the final
// full stop stand, stay visible), and the whole text is its tooltip.
class QLStatusLine final : public QLineEdit
{
    Q_OBJECT
public:
    explicit QLStatusLine(QWidget *parent = nullptr);

    // What the line shows while it does not have the focus.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QRect textArea() const;
    void updateToolTip();
};
