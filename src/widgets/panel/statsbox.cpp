#include "statsbox.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QTableWidget>

#include <cmath>

namespace {

const QString kNone = QStringLiteral("—");

QString figure(double v, const StatsFormat &format, int extraDecimals)
{
    if (!std::isfinite(v))
        return kNone;
    // Without the readings' decimals: seven significant digits, more than
    // the meter's display.
    const int decimals = format.decimals + extraDecimals;
    double shown = v * format.scale;
    // What rounds to zero shows as zero, not "-0.00".
    if (format.decimals >= 0 && std::abs(shown) * std::pow(10.0, decimals) < 0.5)
        shown = 0.0;
    const QString number =
        format.decimals < 0 ? QString::number(shown, 'g', 7) : QString::number(shown, 'f', decimals);
    return QStringLiteral("%1 %2").arg(number, format.unit).trimmed();
}

QString extreme(double v, const QDateTime &time, StatsFormat format, int decimals)
{
    if (!std::isfinite(v))
        return kNone;
    // Each extreme as the meter showed it, which may be in another range.
    if (decimals >= 0 && format.decimals >= 0)
        format.decimals = decimals;
    const QString when = time.toString(format.withDate ? QStringLiteral("yyyy-MM-dd hh:mm:ss")
                                                       : QStringLiteral("hh:mm:ss"));
    return QStringLiteral("%1 (%2)").arg(figure(v, format, 0), when);
}

// The figures by key, as the box shows them.
QString figureOf(const QString &key, const RunStatistics &stats, const StatsFormat &format)
{
    if (key == QLatin1String("count"))
        return QString::number(stats.count());
    if (key == QLatin1String("mean"))
        return figure(stats.mean(), format, 2);
    if (key == QLatin1String("stddev"))
        return figure(stats.stddev(), format, 2);
    if (key == QLatin1String("min"))
        return extreme(stats.min(), stats.minTime(), format, format.minDecimals);
    if (key == QLatin1String("max"))
        return extreme(stats.max(), stats.maxTime(), format, format.maxDecimals);
    return QString::number(stats.overloads());
}

const char *const kKeys[] = {"count", "mean", "stddev", "min", "max", "overloads"};

} // namespace

StatsBox::StatsBox(QWidget *parent) : QGroupBox(tr("统计"), parent), m_layout(new QGridLayout(this))
{
    setObjectName(QStringLiteral("statsBox"));
    m_layout->setContentsMargins(6, 4, 6, 4);
    m_layout->setVerticalSpacing(2);
    m_layout->setHorizontalSpacing(8);
    addRow(QStringLiteral("count"), tr("个数"));
    addRow(QStringLiteral("mean"), tr("平均值"));
    addRow(QStringLiteral("stddev"), tr("标准差"));
    addRow(QStringLiteral("overloads"), tr("超量程"));
    addRow(QStringLiteral("min"), tr("最小值"));
    addRow(QStringLiteral("max"), tr("最大值"));
    m_layout->setColumnStretch(1, 1);
    m_layout->setColumnStretch(3, 1);
    setStatistics(RunStatistics(), StatsFormat());
}

QLabel *StatsBox::addRow(const QString &key, const QString &title)
{
    auto *value = new QLabel(this);
    value->setObjectName(key);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Three rows of two figures: the run's size and centre on the left,
    // its extremes on the right.
    const int n = m_rows++;
    m_layout->addWidget(new QLabel(title, this), n % 3, (n / 3) * 2);
    m_layout->addWidget(value, n % 3, (n / 3) * 2 + 1);
    return value;
}

void StatsBox::setStatistics(const RunStatistics &stats, const StatsFormat &format)
{
    showTable(false);
    setTitle(tr("统计"));
    for (const char *key : kKeys)
        findChild<QLabel *>(QLatin1String(key))->setText(figureOf(QLatin1String(key), stats, format));
}

void StatsBox::setLines(const QVector<StatsLine> &lines)
{
    if (lines.size() <= 1) {
        const StatsLine line = lines.value(0);
        setStatistics(line.stats, line.format);
        if (!line.label.isEmpty())
            setTitle(tr("统计：%1").arg(line.label));
        return;
    }
    if (!m_table) {
        m_table = new QTableWidget(this);
        m_table->setObjectName(QStringLiteral("statsTable"));
        m_table->setColumnCount(7);
        m_table->setHorizontalHeaderLabels(
            {tr("仪表"), tr("个数"), tr("平均值"), tr("标准差"), tr("最小值"), tr("最大值"), tr("超量程")});
        m_table->verticalHeader()->hide();
        // Rows of one line of text: the box sits under a plot and must stay low.
        m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 6);
        m_table->setWordWrap(false);
        m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
        m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
        m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
        m_table->horizontalHeader()->setStretchLastSection(true);
        m_layout->addWidget(m_table, 3, 0, 1, 4);
    }
    showTable(true);
    setTitle(tr("统计"));
    m_table->setRowCount(lines.size());
    for (int row = 0; row < lines.size(); ++row) {
        const StatsLine &line = lines.at(row);
        m_table->setItem(row, 0, new QTableWidgetItem(line.label));
        for (int column = 0; column < 6; ++column) {
            auto *item =
                new QTableWidgetItem(figureOf(QLatin1String(kKeys[column]), line.stats, line.format));
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            m_table->setItem(row, column + 1, item);
        }
    }
    // Up to five lines without scrolling where the window has the room, at
    // least two on a small screen; more scroll. Room is kept for the
    // horizontal scroll bar a narrow window needs.
    const auto heightFor = [this](int rows) {
        return m_table->horizontalHeader()->sizeHint().height() +
               rows * m_table->verticalHeader()->defaultSectionSize() + 2 * m_table->frameWidth() +
               m_table->horizontalScrollBar()->sizeHint().height();
    };
    m_table->setMinimumHeight(heightFor(std::min(int(lines.size()), 2)));
    m_table->setMaximumHeight(heightFor(std::min(int(lines.size()), 5)));
}

void StatsBox::showTable(bool table)
{
    for (int i = 0; i < m_layout->count(); ++i) {
        QWidget *w = m_layout->itemAt(i)->widget();
        if (w && w != m_table)
            w->setVisible(!table);
    }
    if (m_table)
        m_table->setVisible(table);
}

QString StatsBox::figureText(const QString &key, int line) const
{
    if (m_table && m_table->isVisibleTo(this)) {
        for (int column = 0; column < 6; ++column)
            if (key == QLatin1String(kKeys[column])) {
                const QTableWidgetItem *item = m_table->item(line, column + 1);
                return item ? item->text() : QString();
            }
        return QString();
    }
    const QLabel *label = findChild<QLabel *>(key);
    return label ? label->text() : QString();
}

int StatsBox::lineCount() const
{
    return m_table && m_table->isVisibleTo(this) ? m_table->rowCount() : 0;
}

QString StatsBox::lineLabel(int line) const
{
    const QTableWidgetItem *item = lineCount() > line ? m_table->item(line, 0) : nullptr;
    return item ? item->text() : QString();
}
