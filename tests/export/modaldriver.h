#pragma once

// Answers the modal dialogs an export opens, one scripted step at a time,
// and records what each message box said.
#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QDebug>
#include <QPointer>
#include <QTimer>

#include <deque>
#include <functional>

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons; // texts as shown
    QMessageBox::StandardButtons standard;
};

class ModalDriver : public QObject
{
public:
    enum class Handled { Done, Retry, NotMine };
    /// A step gets the modal widget on top and says what it made of it.
    using Step = std::function<Handled(QWidget *)>;

    ModalDriver()
    {
        connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
        m_timer.start(20);
    }

    void add(Step step) { m_steps.push_back(std::move(step)); }

    /// Picks `path` in the next file dialog, or cancels it when `path` is empty.
    void chooseFile(const QString &path)
    {
        add([this, path](QWidget *w) {
            // The dialog's own overwrite question: the user means it.
            if (auto *box = qobject_cast<QMessageBox *>(w);
                box && qobject_cast<QFileDialog *>(box->parentWidget())) {
                box->button(QMessageBox::Yes)->click();
                return Handled::Retry;
            }
            auto *dialog = qobject_cast<QFileDialog *>(w);
            if (!dialog)
                return Handled::NotMine;
            fileCaption = dialog->windowTitle();
            fileFilters = dialog->nameFilters();
            fileDirectory = dialog->directory().absolutePath();
            if (path.isEmpty()) {
                dialog->reject();
                return Handled::Done;
            }
            if (m_waiting && m_pending == dialog)
                return Handled::Retry; // accepted already, still closing
            // Typed into the name field, as a user would: selectFile() would
            // rebase a path whose folder does not exist onto the current one.
            auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            if (!edit)
                return Handled::NotMine;
            edit->setText(path);
            // Queued: an overwrite question would otherwise run inside this poll.
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
            m_pending = dialog;
            m_waiting = true;
            return Handled::Retry;
        });
    }

    /// Records the next message box and clicks the button labelled `click`
    /// (empty: closes it with Escape, as the window's close button would).
    void answerBox(const QString &click)
    {
        add([this, click](QWidget *w) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box)
                return Handled::NotMine;
            SeenBox seen{box->windowTitle(), box->text(), box->icon(), {}, box->standardButtons()};
            QAbstractButton *target = nullptr;
            for (QAbstractButton *b : box->buttons()) {
                seen.buttons.append(b->text());
                if (b->text() == click)
                    target = b;
            }
            boxes.append(seen);
            if (target)
                target->click();
            else
                box->done(-1);
            return Handled::Done;
        });
    }

    bool done() const { return m_steps.empty(); }

    QList<SeenBox> boxes;
    QString fileCaption;
    QStringList fileFilters;
    QString fileDirectory;
    int unexpected = 0;

private:
    void poll()
    {
        if (m_waiting && (!m_pending || !m_pending->isVisible())) {
            // The retried dialog closed after all: that step is done.
            m_waiting = false;
            m_retries = 0;
            m_steps.pop_front();
        }
        QWidget *w = QApplication::activeModalWidget();
        if (!w || !w->isVisible())
            return;
        const Handled h = m_steps.empty() ? Handled::NotMine : m_steps.front()(w);
        if (h == Handled::Retry && ++m_retries < 500)
            return;
        m_retries = 0;
        m_waiting = false;
        if (h != Handled::Done) {
            // A dialog nobody expected: note it and close it so the test ends.
            ++unexpected;
            qWarning() << "unexpected dialog" << w->metaObject()->className() << w->windowTitle();
            if (auto *box = qobject_cast<QMessageBox *>(w)) {
                boxes.append({box->windowTitle(), box->text(), box->icon(), {}, {}});
                box->done(-1);
            } else if (auto *dialog = qobject_cast<QDialog *>(w)) {
                dialog->reject();
            }
            return;
        }
        m_steps.pop_front();
    }

    QTimer m_timer;
    std::deque<Step> m_steps;
    int m_retries = 0;
    QPointer<QWidget> m_pending;
    bool m_waiting = false;
};
