#pragma once

// Answers the modal dialogs a window opens, one scripted step at a time,
// and records what each message box said.
#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>

/// The visible top-level windows of type T.
template <typename T> QList<T *> visibleWindows()
{
    QList<T *> found;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *t = qobject_cast<T *>(w); t && t->isVisible())
            found << t;
    }
    return found;
}

/// What a message box showed.
struct SeenBox {
    QString title;
    QString text;
    QStringList buttons; ///< texts as shown

    static SeenBox of(const QMessageBox *box);
};

/// Polls for the active modal widget every 20 ms and hands it to the next
/// step. Dialogs no step claims are counted in `unexpected`, recorded (message
/// boxes) and closed, so a test never hangs on them.
class ModalDriver : public QObject
{
public:
    enum class Handled { Done, Retry, NotMine };
    /// A step gets the modal widget on top and says what it made of it.
    using Step = std::function<Handled(QWidget *)>;

    ModalDriver();

    void add(Step step) { m_steps.push_back(std::move(step)); }

    /// Picks `path` in the next file dialog (confirming its overwrite
    /// question), or cancels the dialog when `path` is empty.
    void chooseFile(const QString &path);

    /// Records the next message box and clicks the button labelled `click`
    /// (empty or no such button: closes it as Escape would).
    void answerBox(const QString &click);

    /// Whether every step has run.
    bool done() const { return m_steps.empty(); }

    QList<SeenBox> boxes;
    QString fileDirectory;
    int unexpected = 0;

private:
    void poll();

    QTimer m_timer;
    std::deque<Step> m_steps;
    int m_retries = 0;
    QPointer<QWidget> m_pending;
    bool m_waiting = false;
};
