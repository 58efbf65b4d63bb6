#include "datetimefield.h"

#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSignalBlocker>

DateTimeField::DateTimeField(QWidget *parent) : QDateTimeEdit(parent)
{
    lineEdit()->installEventFilter(this);
}

bool DateTimeField::eventFilter(QObject *watched, QEvent *event)
{
    // A click into text being typed moves the cursor within the text; the
    // stock editor, told of the move, would put its own text back.
    if (watched == lineEdit() && m_typing &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseMove ||
         event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::MouseButtonDblClick)) {
        const QSignalBlocker quiet(lineEdit());
        lineEdit()->event(event);
        return true;
    }
    return QDateTimeEdit::eventFilter(watched, event);
}

QDateTime DateTimeField::parse(const QString &text)
{
    QString t = text.simplified();
    t.replace(QLatin1Char('/'), QLatin1Char('-'));
    t.replace(QLatin1Char('.'), QLatin1Char('-'));
    t.replace(QLatin1Char('T'), QLatin1Char(' '));
    static const QRegularExpression shape(
        QStringLiteral("^(\\d{4})-(\\d{1,2})-(\\d{1,2}) (\\d{1,2}):(\\d{2})(?::(\\d{2}))?$"));
    const QRegularExpressionMatch m = shape.match(t);
    if (!m.hasMatch())
        return QDateTime();
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!date.isValid() || !time.isValid())
        return QDateTime();
    // The fields as typed, also a time the local zone skips at a clock change.
    return QDateTime(date, time, Qt::UTC);
}

QDateTime DateTimeField::inOwnSpec(const QDateTime &typed) const
{
    // The fields as typed, never converted from another zone.
    return QDateTime(typed.date(), typed.time(), timeSpec());
}

bool DateTimeField::finish()
{
    if (!m_typing)
        return true;
    const QString text = lineEdit()->text();
    const QDateTime when = inOwnSpec(parse(text));
    if (when.isValid() && when >= minimumDateTime() && when <= maximumDateTime()) {
        m_typing = false;
        setDateTime(when);
        return true;
    }
    // Said once per attempt: the focus leaving for the message box must not
    // ask again.
    if (m_refusing)
        return false;
    m_refusing = true;
    QMessageBox::warning(this, tr("时间格式错误"),
                         tr("无法识别的时间：“%1”\n请按 %2 的格式输入，例如 %3。")
                             .arg(text, displayFormat(), dateTime().toString(displayFormat())));
    m_refusing = false;
    setFocus();
    lineEdit()->selectAll();
    return false;
}

void DateTimeField::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // A text that is no date-time stays here; one that is, or no typing,
        // lets Enter go on (to the dialog's OK).
        if (!finish()) {
            event->accept();
            return;
        }
    }
    if (event->key() == Qt::Key_Escape && m_typing) {
        m_typing = false;
        setDateTime(dateTime());
        lineEdit()->setText(textFromDateTime(dateTime()));
    }
    const QString text = event->text();
    const bool printable = !text.isEmpty() && text.at(0).isPrint() &&
                           !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    if (printable || event->matches(QKeySequence::Paste)) {
        // Typed as text, read whole later: replaces the selection, or goes in
        // at the cursor. The stock editor is not told: it would fit the text
        // back into its sections as the cursor moves.
        m_typing = true;
        const QSignalBlocker quiet(lineEdit());
        if (printable)
            lineEdit()->insert(text);
        else
            lineEdit()->paste();
        event->accept();
        return;
    }
    if (m_typing && (event->key() == Qt::Key_Backspace || event->key() == Qt::Key_Delete ||
                     event->key() == Qt::Key_Left || event->key() == Qt::Key_Right ||
                     event->key() == Qt::Key_Home || event->key() == Qt::Key_End)) {
        // Text editing keys edit the text being typed.
        const QSignalBlocker quiet(lineEdit());
        lineEdit()->event(event);
        return;
    }
    if (m_typing && (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down ||
                     event->key() == Qt::Key_PageUp || event->key() == Qt::Key_PageDown)) {
        // Stepping works on a date-time: read the text first.
        if (!finish())
            return;
    }
    QDateTimeEdit::keyPressEvent(event);
}

void DateTimeField::focusOutEvent(QFocusEvent *event)
{
    // A text that reads is taken; one that does not waits, as typed, for
    // Enter or the dialog's OK to say so (a message here would come
    // between a click and its button).
    if (m_typing) {
        const QDateTime when = inOwnSpec(parse(lineEdit()->text()));
        if (!when.isValid()) {
            QWidget::focusOutEvent(event);
            return;
        }
        m_typing = false;
        setDateTime(when);
    }
    QDateTimeEdit::focusOutEvent(event);
}

void DateTimeField::contextMenuEvent(QContextMenuEvent *event)
{
    // The menu's paste puts in text like the keys do.
    m_typing = true;
    QDateTimeEdit::contextMenuEvent(event);
    if (parse(lineEdit()->text()).isValid() && lineEdit()->text() == textFromDateTime(dateTime()))
        m_typing = false;
}

QValidator::State DateTimeField::validate(QString &input, int &pos) const
{
    // While text is typed anything goes in; it is read whole at the end.
    if (m_typing)
        return parse(input).isValid() ? QValidator::Acceptable : QValidator::Intermediate;
    return QDateTimeEdit::validate(input, pos);
}

QDateTime DateTimeField::dateTimeFromText(const QString &text) const
{
    const QDateTime whole = inOwnSpec(parse(text));
    return whole.isValid() ? whole : QDateTimeEdit::dateTimeFromText(text);
}
