#include "tooldialog.h"

#include "core/app/windowplacement.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QWidget>

#include <algorithm>

namespace {

class DialogKeys : public QObject
{
public:
    DialogKeys(QWidget *dialog, QAbstractButton *accept, QAbstractButton *reject)
        : QObject(dialog), m_dialog(dialog), m_accept(accept), m_reject(reject)
    {
        dialog->installEventFilter(this);
    }

    // Keys reach the dialog only when the widget with the focus left them.
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_dialog || event->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier))
            return false;
        switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (auto *focused = qobject_cast<QPushButton *>(m_dialog->focusWidget()); focused && focused->isEnabled())
                focused->click();
            else if (m_accept && m_accept->isEnabled())
                m_accept->click();
            return true;
        case Qt::Key_Escape:
            if (m_reject)
                m_reject->click();
            else
                m_dialog->close();
            return true;
        default:
            return false;
        }
    }

private:
    QWidget *m_dialog;
    QAbstractButton *m_accept;
    QAbstractButton *m_reject;
};

// How far a text's ink reaches: its advance, less the blank a last glyph
// such as the full-width colon "：" leaves on its right.
int inkWidth(const QFontMetrics &metrics, const QString &text)
{
    return text.isEmpty() ? 0 : metrics.horizontalAdvance(text) - metrics.rightBearing(text.back());
}

// How much higher a line of `height` pixels must be for the ink of `text`,
// centred in it as a label centres it, to show whole.
int inkOverflow(const QFontMetrics &metrics, const QString &text, int height)
{
    if (text.isEmpty())
        return 0;
    const QRect ink = metrics.tightBoundingRect(text);
    const int baseline = (height - metrics.height()) / 2 + metrics.ascent();
    const int over = std::max(-(baseline + ink.top()), baseline + ink.bottom() - (height - 1));
    return over > 0 ? 2 * over : 0;
}

// The width a widget needs to show its text uncut; 0 for widgets whose text
// does not depend on it (wrapping labels, fields, containers).
int neededWidth(const QWidget *w)
{
    if (const auto *label = qobject_cast<const QLabel *>(w)) {
        if (label->wordWrap() || label->text().isEmpty() || label->textFormat() == Qt::RichText)
            return 0;
        return inkWidth(label->fontMetrics(), label->text()) + label->width() - label->contentsRect().width();
    }
    if (qobject_cast<const QCheckBox *>(w) || qobject_cast<const QPushButton *>(w)) {
        const auto *button = static_cast<const QAbstractButton *>(w);
        if (button->text().isEmpty())
            return 0;
        // A push button's size hint has a floor of its own; only the text counts.
        if (qobject_cast<const QPushButton *>(w)) {
            const int margins = 2 * (w->style()->pixelMetric(QStyle::PM_ButtonMargin) +
                                     w->style()->pixelMetric(QStyle::PM_DefaultFrameWidth));
            return inkWidth(w->fontMetrics(), QString(button->text()).remove(QLatin1Char('&'))) + margins;
        }
        return w->sizeHint().width();
    }
    // A field that shows its text in a line edit of its own (an editable
    // combo box, a date) needs as much more as that text lacks there.
    if (qobject_cast<const QComboBox *>(w) || qobject_cast<const QDateTimeEdit *>(w)) {
        if (const auto *edit = w->findChild<const QLineEdit *>()) {
            const int lacking = inkWidth(w->fontMetrics(), edit->text()) + 6 - edit->width();
            return lacking > 0 ? w->width() + lacking : 0;
        }
        const auto *combo = static_cast<const QComboBox *>(w);
        QStyleOptionComboBox option;
        option.initFrom(combo);
        const int text = combo->fontMetrics().horizontalAdvance(combo->currentText()) + 8;
        return combo->style()->sizeFromContents(QStyle::CT_ComboBox, &option, QSize(text, combo->height()), combo).width();
    }
    if (const auto *group = qobject_cast<const QGroupBox *>(w))
        return group->title().isEmpty() ? 0
                                        : inkWidth(group->fontMetrics(), group->title()) + 16;
    return 0;
}

bool onSameLine(const QWidget *a, const QWidget *b)
{
    return a->geometry().top() <= b->geometry().bottom() && a->geometry().bottom() >= b->geometry().top();
}

// A plain container laid out by hand (a group box, a frame), not a compound
// widget such as a combo box whose parts are its children.
bool isContainer(const QWidget *w)
{
    return !w->layout() && (qobject_cast<const QGroupBox *>(w) || w->metaObject() == &QWidget::staticMetaObject ||
                            w->metaObject() == &QFrame::staticMetaObject);
}

// Grows the children of `parent` that cut their texts and moves what stands
// to their right on the same line; returns how much further right the
// children reach now.
int fitChildren(QWidget *parent)
{
    QList<QWidget *> children;
    for (QObject *o : parent->children()) {
        if (auto *w = qobject_cast<QWidget *>(o); w && !w->isWindow())
            children << w;
    }
    const auto reach = [&children] {
        int right = 0;
        for (const QWidget *w : children)
            right = std::max(right, w->geometry().right());
        return right;
    };
    const int before = reach();
    std::sort(children.begin(), children.end(), [](const QWidget *a, const QWidget *b) { return a->x() < b->x(); });
    for (QWidget *w : children) {
        // A line whose ink is taller than its label (Latin descenders in a
        // size made for Chinese) grows about its middle, over the space around.
        if (qobject_cast<QLabel *>(w) || qobject_cast<QCheckBox *>(w)) {
            const auto *label = qobject_cast<QLabel *>(w);
            const QString text = label ? label->text() : static_cast<QCheckBox *>(w)->text();
            const int lacking = inkOverflow(w->fontMetrics(), text, w->contentsRect().height());
            if (lacking > 0 && !(label && label->wordWrap()))
                w->setGeometry(w->x(), w->y() - lacking / 2, w->width(), w->height() + lacking);
        }
        // What a widget shows is what no sibling to its right covers.
        int room = w->width();
        for (const QWidget *other : children) {
            if (other != w && other->x() > w->x() && other->x() <= w->geometry().right() && onSameLine(w, other))
                room = std::min(room, other->x() - w->x());
        }
        int grow = std::max(0, neededWidth(w) - room);
        if (isContainer(w))
            grow = std::max(grow, fitChildren(w));
        if (grow == 0)
            continue;
        const int x = w->x();
        w->resize(std::max(w->width() + (isContainer(w) ? grow : 0), room + grow), w->height());
        for (QWidget *other : children) {
            if (other != w && other->x() > x && onSameLine(w, other))
                other->move(other->x() + grow, other->y());
        }
    }
    return std::max(0, reach() - before);
}

} // namespace

int fitTextsToWidth(QWidget *form)
{
    if (form->layout())
        return 0;
    const int grow = fitChildren(form);
    if (grow > 0)
        form->resize(form->width() + grow, form->height());
    return grow;
}

void setDialogKeys(QWidget *dialog, QAbstractButton *accept, QAbstractButton *reject)
{
    (void)new DialogKeys(dialog, accept, reject);
}

void showToolDialog(QWidget *dialog, const QSize &size)
{
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAttribute(Qt::WA_QuitOnClose, false);
    dialog->setFixedSize(size);
    dialog->setWindowFlags(Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    dialog->setWindowModality(Qt::ApplicationModal);
    // Centred on the screen of the window it is opened from: a window with
    // no parent and no position is put wherever the window manager finds
    // room, often a corner.
    const QWidget *from = QApplication::activeWindow();
    const QScreen *screen = from ? from->screen() : QGuiApplication::primaryScreen();
    // The title bar and borders a window manager adds, as the frame is
    // known only once shown.
    const QMargins frame(4, 32, 4, 4);
    const auto centre = [&](const QSize &inner) {
        if (!screen)
            return;
        const QRect at = windowWithin(screen->availableGeometry(), inner, inner, frame);
        dialog->move(at.topLeft() - QPoint(frame.left(), frame.top()));
    };
    centre(size);
    dialog->show();
    // Measured once shown: only then have the fields laid out their parts.
    if (const int grow = fitTextsToWidth(dialog)) {
        dialog->setFixedSize(size.width() + grow, size.height());
        centre(dialog->size());
    }
}
