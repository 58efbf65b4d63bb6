#pragma once

#include <QAbstractItemView>
#include <QObject>
#include <QPointer>

class QScrollBar;
class QTableView;
class RowWindowModel;

/// Lets a table view scroll through a long model seen through a
/// RowWindowModel. While the whole model fits the window the view's own
/// scroll bar serves; beyond it `bar` stands for the whole model, the view's
/// bar is hidden, and moving either (dragging, the wheel, the keys) moves the
/// window before the view reaches its edge. Selections keep to their rows.
class RowWindowScroller : public QObject
{
    Q_OBJECT

public:
    RowWindowScroller(QTableView *view, QScrollBar *bar, RowWindowModel *window, QObject *parent = nullptr);

    /// Shows and selects the row `sourceRow` of the whole model.
    void scrollToRow(int sourceRow, QAbstractItemView::ScrollHint hint = QAbstractItemView::EnsureVisible);
    void selectRow(int sourceRow);
    void scrollToBottom();
    /// The whole model's row at the top of the view.
    int topRow() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void sync();
    void viewMoved(int value);
    void barMoved(int value);
    /// Moves the window so that `sourceRow` is near its middle.
    void centreOn(int sourceRow);
    int margin() const;

    QPointer<QTableView> m_view;
    QPointer<QScrollBar> m_bar;
    RowWindowModel *m_window;
    bool m_moving = false;
    bool m_centrePending = false;
};
