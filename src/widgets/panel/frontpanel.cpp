#include "frontpanel.h"

#include "core/meter/extremes.h"
#include "core/meter/framedecoder.h"
#include "core/meter/meterreading.h"
#include "ui_frontpanel.h"

#include <QGlyphRun>
#include <QHash>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QRawFont>
#include <QStyle>
#include <QTextDocument>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

/// Paints the big digits. They are too large for the glyph cache of Qt's
/// raster engine, which then fills every glyph's outline anew for each
/// paint, at 17 readings a second a good part of the window's work. This
/// paints each glyph from an image of it made once, at the same position
/// and with the same outline filling, so the pixels are those the label
/// would paint. It also paints the label's own background (its palette's,
/// which the panel's style sheet makes black), so the label is painted alone
/// when it changes, without the panel and its frame underneath.
///
/// A label that is not plain one-line text without frame, margin or indent
/// is painted by QLabel over that background.
class DigitsPainter : public QObject
{
public:
    explicit DigitsPainter(QLabel *label) : QObject(label), m_label(label)
    {
        label->setAttribute(Qt::WA_OpaquePaintEvent);
        label->installEventFilter(this);
    }

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::Paint)
            return false;
        QPainter painter(m_label);
        painter.fillRect(static_cast<QPaintEvent *>(event)->rect(),
                         m_label->palette().brush(m_label->backgroundRole()));
        if (!plainText())
            return false;
        drawText(&painter);
        return true;
    }

private:
    struct GlyphKey
    {
        quint32 glyph;
        int subX, subY; // the position's fraction of a pixel, in 1/4096
        QRgb colour;
        bool operator==(const GlyphKey &o) const
        {
            return glyph == o.glyph && subX == o.subX && subY == o.subY && colour == o.colour;
        }
    };
    friend uint qHash(const GlyphKey &k, uint seed)
    {
        return qHash(k.glyph, seed) ^ qHash(k.subX, seed * 3) ^ qHash(k.subY, seed * 7) ^
               qHash(k.colour, seed * 11);
    }
    struct GlyphImage
    {
        QImage image;
        QPoint offset; ///< of the image from the glyph's whole-pixel position
    };

    bool plainText() const
    {
        const QString text = m_label->text();
        return !text.isEmpty() && m_label->isEnabled() && m_label->frameWidth() == 0 &&
               m_label->margin() == 0 && m_label->indent() <= 0 && !m_label->wordWrap() &&
               m_label->textFormat() != Qt::RichText && !Qt::mightBeRichText(text) &&
               !m_label->hasSelectedText() && !m_label->buddy() &&
               m_label->layoutDirection() == Qt::LeftToRight && !text.contains(QLatin1Char('\n')) &&
               !text.contains(QLatin1Char('\t')) && !text.contains(QLatin1Char('&')) &&
               !(m_label->textInteractionFlags() &
                 (Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard));
    }

    void drawText(QPainter *painter)
    {
        const QString text = m_label->text();
        const QFont font = m_label->font();
        const QRectF rect = m_label->contentsRect();
        const int flags =
            int(QStyle::visualAlignment(Qt::LeftToRight, m_label->alignment())) | Qt::TextForceLeftToRight;
        // The line laid out and aligned in the label as QPainter::drawText()
        // lays out and aligns it.
        QTextLayout layout(text, font, m_label);
        QTextOption option;
        option.setTextDirection(Qt::LeftToRight);
        option.setWrapMode(QTextOption::ManualWrap);
        layout.setTextOption(option);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLineWidth(rect.width());
        line.setPosition(QPointF(0, 0));
        layout.endLayout();
        const QSizeF room = rect.size() - QSizeF(line.naturalTextWidth(), line.height());
        QPointF origin = rect.topLeft();
        if (flags & Qt::AlignRight)
            origin.rx() += room.width();
        else if (flags & Qt::AlignHCenter)
            origin.rx() += room.width() / 2;
        if (flags & Qt::AlignBottom)
            origin.ry() += room.height();
        else if (flags & Qt::AlignVCenter)
            origin.ry() += room.height() / 2;

        const QRgb colour = m_label->palette().color(QPalette::Active, m_label->foregroundRole()).rgba();
        for (const QGlyphRun &run : line.glyphRuns()) {
            const QVector<quint32> glyphs = run.glyphIndexes();
            const QVector<QPointF> positions = run.positions();
            for (int i = 0; i < glyphs.size(); ++i) {
                const QPointF at = origin + positions.at(i);
                const QPoint whole(int(std::floor(at.x())), int(std::floor(at.y())));
                const QPointF fraction = at - whole;
                const GlyphImage &g = glyphImage(run.rawFont(), glyphs.at(i), fraction, colour);
                if (!g.image.isNull())
                    painter->drawImage(whole + g.offset, g.image);
            }
        }
    }

    const GlyphImage &glyphImage(const QRawFont &font, quint32 glyph, const QPointF &fraction, QRgb colour)
    {
        if (m_font != font) {
            m_images.clear();
            m_font = font;
        }
        const GlyphKey key{glyph, qRound(fraction.x() * 4096), qRound(fraction.y() * 4096), colour};
        auto it = m_images.find(key);
        if (it != m_images.end())
            return *it;
        if (m_images.size() > 128)
            m_images.clear();
        GlyphImage g;
        const QRect area =
            font.boundingRect(glyph).translated(fraction).toAlignedRect().adjusted(-2, -2, 2, 2);
        if (area.isValid()) {
            g.image = QImage(area.size(), QImage::Format_ARGB32_Premultiplied);
            g.image.fill(Qt::transparent);
            g.offset = area.topLeft();
            QGlyphRun one;
            one.setRawFont(font);
            one.setGlyphIndexes({glyph});
            one.setPositions({fraction - QPointF(area.topLeft())});
            QPainter p(&g.image);
            p.setPen(QColor::fromRgba(colour));
            p.drawGlyphRun(QPointF(0, 0), one);
        }
        return *m_images.insert(key, g);
    }

    QLabel *m_label;
    QRawFont m_font;
    QHash<GlyphKey, GlyphImage> m_images;
};

} // namespace

FrontPanel::FrontPanel(QWidget *parent) : QWidget(parent), ui(std::make_unique<Ui::FrontPanel>())
{
    ui->setupUi(this);
    // The designer numbered the segments pushButton, pushButton_2 … _61 from
    // the left, and the ticks _125 … _184 plus _186.
    auto cell = [this](const QString &name) {
        auto *button = ui->groupBox->findChild<QPushButton *>(name, Qt::FindDirectChildrenOnly);
        Q_ASSERT_X(button, "FrontPanel", qPrintable(name));
        return button;
    };
    for (int i = 0; i < 61; ++i)
        m_cells[i] = cell(i == 0 ? QStringLiteral("pushButton") : QStringLiteral("pushButton_%1").arg(i + 1));
    for (int i = 0; i < 60; ++i)
        m_ticks[i] = cell(QStringLiteral("pushButton_%1").arg(125 + i));
    m_ticks[60] = ui->pushButton_186;

    (void)new DigitsPainter(ui->label_8);

    showBarGraph(true, false, 60);
}

FrontPanel::~FrontPanel() = default;

void FrontPanel::showBarGraph(bool on, bool negative, int level)
{
    // Each part is switched to its final state once: a frame that leaves the
    // bar as it was costs no layout or repaint of its 120-odd parts.
    const int last = on ? std::min(level, 60) : -1;
    for (int i = 0; i < int(m_cells.size()); ++i)
        m_cells[i]->setVisible(i <= last);
    for (QPushButton *t : m_ticks)
        t->setVisible(on);
    for (QLabel *n : {ui->label, ui->label_2, ui->label_3, ui->label_4, ui->label_5, ui->label_6, ui->label_7})
        n->setVisible(on);
    ui->pushButton_62->setVisible(on && negative);
    ui->pushButton_63->setVisible(on && level >= 61);
    ui->pushButton_64->setVisible(on && level >= 61);
}

void FrontPanel::applyFrame(const PanelBits &p, bool negative)
{
    ui->AutoLabel->setVisible(p.autoRange);
    ui->RelLabel->setVisible(p.rel);
    ui->HoldLabel->setVisible(p.hold);
    showBarGraph(p.barOn, p.barNegative, p.barLevel);
    ui->MaxLabel->setVisible(p.max);
    ui->MinLabel->setVisible(p.min);
    ui->ApoLabel->setVisible(p.apo);
    ui->BatLabel->setVisible(p.bat);
    ui->NegPushButton->setVisible(negative);
}

void FrontPanel::showReading(const MeterReading &r, bool rangeChanged)
{
    ui->label_8->setText(panelValueText(r));
    ui->FuncLabel->setText(r.funcStr);
    ui->UnitLabel->setText(r.unitStr);
    if (!rangeChanged)
        ui->NegPushButton->setVisible(r.negative);
}

void FrontPanel::showStale(bool stale)
{
    m_stale = stale;
    colourDigits();
}

void FrontPanel::showLink(bool on)
{
    ui->CommLabel->setVisible(on);
}

void FrontPanel::showAlarm(bool raised)
{
    m_alarm = raised;
    colourDigits();
}

void FrontPanel::colourDigits()
{
    // A stale reading is grey whatever its alarm said; the minus sign is
    // part of the number and changes colour with it.
    const QString colour = m_stale   ? QStringLiteral("rgb(128, 128, 128)")
                           : m_alarm ? QStringLiteral("rgb(255, 0, 0)")
                                     : QStringLiteral("rgb(0, 255, 0)");
    ui->label_8->setStyleSheet(QStringLiteral("color: %1;").arg(colour));
    ui->NegPushButton->setStyleSheet(
        QStringLiteral("background-color: %1;border-radius: 3px; color: rgb(255, 255, 255);").arg(colour));
}
