#include "rownumberheader.h"

#include <QEvent>

RowNumberHeader::RowNumberHeader(QWidget *parent) : QHeaderView(Qt::Vertical, parent)
{
    // As a table view's own vertical header is.
    setSectionsClickable(true);
    setHighlightSections(true);
}

QSize RowNumberHeader::sizeHint() const
{
    const int digits = QString::number(count()).size();
    if (digits != m_digits || !m_hint.isValid()) {
        m_hint = QHeaderView::sizeHint();
        m_digits = digits;
    }
    return m_hint;
}

void RowNumberHeader::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        m_hint = QSize();
    QHeaderView::changeEvent(event);
}
