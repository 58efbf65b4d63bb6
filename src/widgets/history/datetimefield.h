#pragma once

#include <QDateTimeEdit>

/// A date-time editor that takes a typed or pasted date-time whole. The
/// stock editor fits typed characters into its sections one by one, so
/// "2026-11-20 10:15:30" typed over the field came out as another time. Here
/// typing edits the text as text; Enter, leaving the field or finish()
/// reads it as a whole date-time, or refuses it with a message and keeps
/// the text for mending. The arrow keys and the wheel still step the
/// section under the cursor.
class DateTimeField : public QDateTimeEdit
{
    Q_OBJECT

public:
    explicit DateTimeField(QWidget *parent = nullptr);

    /// Reads a date-time being typed, if any. False, after saying so, when
    /// the text is no date-time; the field then keeps it and the focus.
    bool finish();
    /// Whether text typed into the field is still to be read.
    bool isTyping() const { return m_typing; }
    /// The date-time a typed text stands for (invalid when none): the
    /// field's own format, also with "/" or "." between the date's parts,
    /// "T" between date and time, or without seconds. Its fields are the
    /// ones typed (a UTC date-time), whatever the local zone makes of them.
    static QDateTime parse(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    QValidator::State validate(QString &input, int &pos) const override;
    QDateTime dateTimeFromText(const QString &text) const override;

private:
    QDateTime inOwnSpec(const QDateTime &typed) const;
    bool m_typing = false;
    bool m_refusing = false;
};
