#include "historystatistics.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

QJsonObject figures(const RunStatistics &stats)
{
    const auto number = [](double v) { return std::isfinite(v) ? QJsonValue(v) : QJsonValue(QJsonValue::Null); };
    const auto time = [](const QDateTime &t) {
        return t.isValid() ? QJsonValue(t.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")))
                           : QJsonValue(QJsonValue::Null);
    };
    QJsonObject o;
    o.insert(QStringLiteral("count"), double(stats.count()));
    o.insert(QStringLiteral("overloads"), double(stats.overloads()));
    o.insert(QStringLiteral("mean"), number(stats.mean()));
    o.insert(QStringLiteral("stddev"), number(stats.stddev()));
    o.insert(QStringLiteral("min"), number(stats.min()));
    o.insert(QStringLiteral("min_time"), time(stats.minTime()));
    o.insert(QStringLiteral("max"), number(stats.max()));
    o.insert(QStringLiteral("max_time"), time(stats.maxTime()));
    return o;
}

} // namespace

QByteArray statisticsJson(const RunStatistics &stats, const QString &function, const QString &unit,
                          const QVector<MeterRunStatistics> &meters)
{
    QJsonObject o = figures(stats);
    o.insert(QStringLiteral("unit"), unit);
    o.insert(QStringLiteral("function"), function);
    QJsonArray perMeter;
    for (const MeterRunStatistics &m : meters) {
        QJsonObject meter = figures(m.stats);
        meter.insert(QStringLiteral("source"), m.source);
        perMeter.append(meter);
    }
    o.insert(QStringLiteral("meters"), perMeter);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}
