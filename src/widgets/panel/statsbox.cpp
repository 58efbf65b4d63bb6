#include "statsbox.h"

#include "core/meter/runstatistics.h"

#include <QGridLayout>
#include <QLabel>

#include <cmath>

namespace {

const QString kNone = QStringLiteral("—");

// Seven significant digits: more than the meter's display, so a mean or a
// spread finer than one count still shows.
QString figure(double v, const QString &unit)
{
    if (!std::isfinite(v))
        return kNone;
    return QStringLiteral("%1 %2").arg(QString::number(v, 'g', 7), unit).trimmed();
}

QString extreme(double v, const QDateTime &time, const QString &unit)
{
    if (!std::isfinite(v))
        return kNone;
    return QStringLiteral("%1 (%2)").arg(figure(v, unit), time.toString(QStringLiteral("hh:mm:ss")));
}

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
    setStatistics(RunStatistics(), QString());
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

void StatsBox::setStatistics(const RunStatistics &stats, const QString &unit)
{
    const auto set = [this](const char *key, const QString &text) {
        findChild<QLabel *>(QLatin1String(key))->setText(text);
    };
    set("count", QString::number(stats.count()));
    set("mean", figure(stats.mean(), unit));
    set("stddev", figure(stats.stddev(), unit));
    set("min", extreme(stats.min(), stats.minTime(), unit));
    set("max", extreme(stats.max(), stats.maxTime(), unit));
    set("overloads", QString::number(stats.overloads()));
}

QString StatsBox::figureText(const QString &key) const
{
    const QLabel *label = findChild<QLabel *>(key);
    return label ? label->text() : QString();
}
