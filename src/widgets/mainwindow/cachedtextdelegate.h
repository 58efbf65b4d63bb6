#pragma once

#include <QHash>
#include <QStaticText>
#include <QStyledItemDelegate>

/// Paints centred one-line cells from laid-out texts it keeps: a table that
/// scrolls by a row for every reading repaints each visible cell over and
/// over with the same text, and laying the text out is most of a cell's
/// cost. Selected, focused, decorated or too-wide cells are painted as the
/// stock delegate paints them.
class CachedTextDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit CachedTextDelegate(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;

private:
    mutable QHash<QString, QStaticText> m_texts;
    mutable QFont m_font;
};
