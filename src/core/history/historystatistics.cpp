#include "historystatistics.h"

#include "core/history/historydata.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

bool isOverloadText(QStringView text)
{
    QString letters;
    for (const QChar c : text) {
        if (c == u'+' || c == u'-' || c == u'.' || c.isSpace())
            continue;
        letters += c;
        if (letters.size() > 2)
            return false;
    }
    return letters == QLatin1String("OL");
}

HistoryStatistics HistoryStatistics::ofFirstQuantity(const HistoryData &rows)
{
    if (rows.isEmpty())
        return HistoryStatistics();
    HistoryStatistics s(rows.funcText(0), rows.unitText(0));
    s.addRows(rows, 0, rows.rowCount());
    return s;
}

void HistoryStatistics::addRows(const HistoryData &rows, int from, int to)
{
    const QVector<double> &y = rows.yPoints();
    // Making a row's local time is slow; only the final extremes get theirs.
    int minRow = -1;
    int maxRow = -1;
    for (int row = std::max(from, 0); row < std::min(to, rows.rowCount()); ++row) {
        if (rows.funcText(row) != m_function || rows.unitText(row) != m_unit)
            continue;
        // The rows hold each value already read as a number, but an overload
        // is drawn at its range's end there and a text that is no number as 0:
        // only the text tells them from a reading.
        const QString text = rows.valueText(row);
        if (isOverloadText(text)) {
            m_stats.addOverload();
            continue;
        }
        const double value = y[row];
        if (value == 0.0) {
            bool ok = false;
            text.trimmed().toDouble(&ok);
            if (!ok)
                continue;
        }
        const int change = m_stats.addUntimed(value);
        // The figures are written to the finest resolution among the readings.
        const QString digits = text.trimmed();
        const int point = digits.indexOf(QLatin1Char('.'));
        m_decimals = std::max(m_decimals, point < 0 ? 0 : int(digits.size() - point - 1));
        if (change & RunStatistics::NewMin)
            minRow = row;
        if (change & RunStatistics::NewMax)
            maxRow = row;
    }
    if (minRow >= 0)
        m_stats.setMinTime(rows.time(minRow));
    if (maxRow >= 0)
        m_stats.setMaxTime(rows.time(maxRow));
}

QByteArray HistoryStatistics::toJson() const
{
    const auto number = [](double v) {
        return std::isfinite(v) ? QJsonValue(v) : QJsonValue(QJsonValue::Null);
    };
    const auto time = [](const QDateTime &t) {
        return t.isValid() ? QJsonValue(t.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")))
                           : QJsonValue(QJsonValue::Null);
    };
    QJsonObject o;
    o.insert(QStringLiteral("count"), double(m_stats.count()));
    o.insert(QStringLiteral("overloads"), double(m_stats.overloads()));
    o.insert(QStringLiteral("mean"), number(m_stats.mean()));
    o.insert(QStringLiteral("stddev"), number(m_stats.stddev()));
    o.insert(QStringLiteral("min"), number(m_stats.min()));
    o.insert(QStringLiteral("min_time"), time(m_stats.minTime()));
    o.insert(QStringLiteral("max"), number(m_stats.max()));
    o.insert(QStringLiteral("max_time"), time(m_stats.maxTime()));
    o.insert(QStringLiteral("unit"), m_unit);
    o.insert(QStringLiteral("function"), m_function);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}
