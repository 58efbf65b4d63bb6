#include "cachedtextdelegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>

namespace {
// A few thousand distinct texts cover what a screen of rows shows many times.
constexpr int kMaxTexts = 4096;
} // namespace

CachedTextDelegate::CachedTextDelegate(QObject *parent) : QStyledItemDelegate(parent) {}

void CachedTextDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                               const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const bool plain = !(opt.state & (QStyle::State_Selected | QStyle::State_HasFocus)) &&
                       (opt.features & ~QStyleOptionViewItem::WrapText) == QStyleOptionViewItem::HasDisplay &&
                       opt.displayAlignment == Qt::AlignCenter;
    if (!plain) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    if (opt.font != m_font) {
        m_texts.clear();
        m_font = opt.font;
    }
    auto it = m_texts.find(opt.text);
    if (it == m_texts.end()) {
        if (m_texts.size() >= kMaxTexts)
            m_texts.clear();
        QStaticText text(opt.text);
        text.setTextFormat(Qt::PlainText);
        text.prepare(QTransform(), opt.font);
        it = m_texts.insert(opt.text, text);
    }
    QStyle *style = opt.widget ? opt.widget->style() : QApplication::style();
    // With no icon or check box the text has the whole cell less the
    // style's text margins (asking the style for the rect lays the text out).
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, opt.widget) + 1;
    const QRect textRect = opt.rect.adjusted(margin, 0, -margin, 0);
    const QSizeF size = it->size();
    if (size.width() > textRect.width()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    // The cell's background as the style paints it, then the text.
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, opt.widget);
    const QPointF at(textRect.x() + (textRect.width() - size.width()) / 2.0,
                     textRect.y() + (textRect.height() - size.height()) / 2.0);
    painter->save();
    painter->setFont(opt.font);
    const QPalette::ColorGroup group =
        (opt.state & QStyle::State_Enabled) ? QPalette::Normal : QPalette::Disabled;
    painter->setPen(opt.palette.color(group, QPalette::Text));
    painter->drawStaticText(at, *it);
    painter->restore();
}
