#include "modaldriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDebug>
#include <QFileDialog>
#include <QLineEdit>
#include <QProgressDialog>

SeenBox SeenBox::of(const QMessageBox *box)
{
    SeenBox seen{box->windowTitle(), box->text(), {}};
    for (const QAbstractButton *b : box->buttons())
        seen.buttons.append(b->text());
    return seen;
}

ModalDriver::ModalDriver()
{
    connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
    m_timer.start(20);
}

void ModalDriver::chooseFile(const QString &path)
{
    add([this, path](QWidget *w) {
        // The dialog's own overwrite question: the user means it.
        if (auto *box = qobject_cast<QMessageBox *>(w); box && qobject_cast<QFileDialog *>(box->parentWidget())) {
            box->button(QMessageBox::Yes)->click();
            return Handled::Retry;
        }
        auto *dialog = qobject_cast<QFileDialog *>(w);
        if (!dialog)
            return Handled::NotMine;
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

void ModalDriver::answerBox(const QString &click)
{
    add([this, click](QWidget *w) {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (!box)
            return Handled::NotMine;
        boxes.append(SeenBox::of(box));
        for (QAbstractButton *b : box->buttons()) {
            if (!click.isEmpty() && b->text() == click) {
                b->click();
                return Handled::Done;
            }
        }
        box->done(-1);
        return Handled::Done;
    });
}

void ModalDriver::poll()
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
    // A progress box asks nothing; it closes by itself when its work is done.
    if (qobject_cast<QProgressDialog *>(w))
        return;
    const Handled h = m_steps.empty() ? Handled::NotMine : m_steps.front()(w);
    if (h == Handled::Retry && ++m_retries < 500)
        return;
    m_retries = 0;
    m_waiting = false;
    if (h != Handled::Done) {
        ++unexpected;
        qWarning() << "unexpected dialog" << w->metaObject()->className() << w->windowTitle();
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            boxes.append(SeenBox::of(box));
            box->done(-1);
        } else if (auto *dialog = qobject_cast<QDialog *>(w)) {
            dialog->reject();
        }
        return;
    }
    m_steps.pop_front();
}
