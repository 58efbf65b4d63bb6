#include "rowwindowscroller.h"

#include "models/rowwindowmodel.h"

#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTableView>

#include <algorithm>

RowWindowScroller::RowWindowScroller(QTableView *view, QScrollBar *bar, RowWindowModel *window, QObject *parent)
    : QObject(parent), m_view(view), m_bar(bar), m_window(window)
{
    view->setModel(window);
    // The window's rows are counted in whole rows, as the bar over the model is.
    view->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    bar->setOrientation(Qt::Vertical);
    bar->hide();
    QScrollBar *own = view->verticalScrollBar();
    connect(own, &QScrollBar::valueChanged, this, &RowWindowScroller::viewMoved);
    connect(own, &QScrollBar::rangeChanged, this, &RowWindowScroller::sync);
    connect(bar, &QScrollBar::valueChanged, this, &RowWindowScroller::barMoved);
    connect(window, &QAbstractItemModel::modelReset, this, &RowWindowScroller::sync);
    view->installEventFilter(this);
    sync();
}

int RowWindowScroller::margin() const
{
    return m_window->windowRows() / 4;
}

int RowWindowScroller::topRow() const
{
    return m_window->first() + m_view->verticalScrollBar()->value();
}

void RowWindowScroller::sync()
{
    const bool windowed = m_window->isWindowed();
    m_view->setVerticalScrollBarPolicy(windowed ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
    m_bar->setVisible(windowed);
    if (!windowed)
        return;
    QScrollBar *own = m_view->verticalScrollBar();
    // The rows that fit in the view are the view's page; the rest of the
    // model beyond the window lengthens the range.
    const QSignalBlocker block(m_bar);
    m_bar->setRange(0, own->maximum() + m_window->sourceRows() - m_window->rowCount());
    m_bar->setPageStep(own->pageStep());
    m_bar->setSingleStep(own->singleStep());
    m_bar->setValue(topRow());
}

void RowWindowScroller::viewMoved(int value)
{
    if (m_moving || !m_window->isWindowed())
        return;
    const int top = m_window->first() + value;
    const int last = m_view->verticalScrollBar()->maximum();
    if (!m_centrePending && ((value < margin() && m_window->first() > 0) ||
                             (value > last - margin() &&
                              m_window->first() + m_window->rowCount() < m_window->sourceRows()))) {
        // Not from within the view's own scrolling: once it has done.
        m_centrePending = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_centrePending = false;
                centreOn(topRow());
            },
            Qt::QueuedConnection);
    }
    const QSignalBlocker block(m_bar);
    m_bar->setValue(top);
}

void RowWindowScroller::barMoved(int value)
{
    if (m_moving)
        return;
    const int inWindow = value - m_window->first();
    const int last = m_view->verticalScrollBar()->maximum();
    const bool atEdge = (inWindow < margin() && m_window->first() > 0) ||
                        (inWindow > last - margin() &&
                         m_window->first() + m_window->rowCount() < m_window->sourceRows());
    if (inWindow < 0 || inWindow > last || atEdge)
        centreOn(value);
    m_moving = true;
    m_view->verticalScrollBar()->setValue(value - m_window->first());
    m_moving = false;
}

void RowWindowScroller::centreOn(int sourceRow)
{
    QItemSelectionModel *selection = m_view->selectionModel();
    const QItemSelection before = selection ? selection->selection() : QItemSelection();
    const int current = selection && selection->currentIndex().isValid()
                            ? m_window->first() + selection->currentIndex().row()
                            : -1;
    const int top = m_window->first() + m_view->verticalScrollBar()->value();
    const int moved = m_window->setFirst(sourceRow - m_window->windowRows() / 2);
    if (moved == 0)
        return;
    m_moving = true;
    m_view->verticalScrollBar()->setValue(top - m_window->first());
    m_moving = false;
    if (!selection)
        return;
    // The same readings stay selected: their rows in the window moved.
    QItemSelection after;
    const int rows = m_window->rowCount();
    for (const QItemSelectionRange &range : before) {
        const int from = std::max(range.top() - moved, 0);
        const int to = std::min(range.bottom() - moved, rows - 1);
        if (from <= to)
            after.select(m_window->index(from, range.left()), m_window->index(to, range.right()));
    }
    const int currentRow = current >= 0 ? m_window->windowRowOf(current) : -1;
    selection->setCurrentIndex(currentRow >= 0 ? m_window->index(currentRow, selection->currentIndex().column())
                                               : QModelIndex(),
                               QItemSelectionModel::NoUpdate);
    selection->select(after, QItemSelectionModel::ClearAndSelect);
}

void RowWindowScroller::scrollToRow(int sourceRow, QAbstractItemView::ScrollHint hint)
{
    if (m_window->windowRowOf(sourceRow) < 0 || (m_window->isWindowed() && sourceRow - m_window->first() < margin()) ||
        (m_window->isWindowed() && m_window->first() + m_window->rowCount() - sourceRow < margin()))
        centreOn(sourceRow);
    const int row = m_window->windowRowOf(sourceRow);
    if (row >= 0)
        m_view->scrollTo(m_window->index(row, 0), hint);
}

void RowWindowScroller::selectRow(int sourceRow)
{
    scrollToRow(sourceRow);
    const int row = m_window->windowRowOf(sourceRow);
    if (row >= 0)
        m_view->selectRow(row);
}

void RowWindowScroller::scrollToBottom()
{
    centreOn(m_window->sourceRows() - 1);
    m_view->scrollToBottom();
}

bool RowWindowScroller::eventFilter(QObject *watched, QEvent *event)
{
    // Ctrl+Home and Ctrl+End go to the ends of the model, not of the window.
    if (watched == m_view && event->type() == QEvent::KeyPress && m_window->isWindowed()) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->modifiers() == Qt::ControlModifier && (key->key() == Qt::Key_Home || key->key() == Qt::Key_End)) {
            selectRow(key->key() == Qt::Key_Home ? 0 : m_window->sourceRows() - 1);
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
