#include "export/readingcsvwriter.h"

#include "export/exportprogress.h"

#include "core/meter/framedecoder.h"

#include <QAbstractItemModel>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

namespace {

constexpr int ChunkBytes = 1 << 20;

// A value text as a plain number ("+12.50 " gives "12.50"), or empty when it
// is none.
QString plainNumber(const QString &text)
{
    QString t = text.trimmed();
    bool ok = false;
    const double v = t.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return QString();
    if (t.startsWith(QLatin1Char('+')))
        t.remove(0, 1);
    return t;
}

QString offsetText(int offsetSeconds)
{
    const int minutes = std::abs(offsetSeconds) / 60;
    return (offsetSeconds < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

// csvTime() for rows in time order: the text of the previous row's time is
// reused, and the offset, which changes only at a quarter-hour mark, is
// looked up once per quarter hour.
class TimeTexts
{
public:
    const QString &text(const QDateTime &time)
    {
        // Compared and bucketed by their wall-clock fields: comparing
        // local date-times converts both to UTC, slower than all the rest.
        const QDate d = time.date();
        const QTime t = time.time();
        if (d == m_date && t == m_time && m_valid == time.isValid())
            return m_text;
        m_date = d;
        m_time = t;
        m_valid = time.isValid();
        if (!m_valid) {
            m_text = QString();
            return m_text;
        }
        const qint64 bucket = d.toJulianDay() * 96 + t.hour() * 4 + t.minute() / 15;
        if (bucket != m_bucket) {
            m_bucket = bucket;
            m_offset = offsetText(time.offsetFromUtc());
        }
        m_text = QStringLiteral("%1-%2-%3T%4:%5:%6.%7")
                     .arg(d.year(), 4, 10, QLatin1Char('0'))
                     .arg(d.month(), 2, 10, QLatin1Char('0'))
                     .arg(d.day(), 2, 10, QLatin1Char('0'))
                     .arg(t.hour(), 2, 10, QLatin1Char('0'))
                     .arg(t.minute(), 2, 10, QLatin1Char('0'))
                     .arg(t.second(), 2, 10, QLatin1Char('0'))
                     .arg(t.msec(), 3, 10, QLatin1Char('0')) +
                 m_offset;
        return m_text;
    }

private:
    QDate m_date;
    QTime m_time;
    bool m_valid = false;
    QString m_text;
    qint64 m_bucket = std::numeric_limits<qint64>::min();
    QString m_offset;
};

} // namespace

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString csvTime(const QDateTime &time)
{
    if (!time.isValid())
        return QString();
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + offsetText(time.offsetFromUtc());
}

TextWriteResult writeReadingsCsv(const QAbstractItemModel &model, const QString &path)
{
    const std::unique_ptr<QFileDevice> file = openExportFile(path);
    if (!file)
        return TextWriteResult::OpenFailed;

    // The meter's name last, so that readers of the earlier columns by
    // position are not thrown; empty where the rows name none.
    QByteArray chunk("time,value,overload,unit,function,range,source\r\n");
    bool ok = true;
    TimeTexts times;
    const int rows = model.rowCount();
    for (int r = 0; r < rows && ok; ++r) {
        if (r % kExportStepRows == 0 && !exportStep(r, rows)) {
            ok = false;
            break;
        }
        const QModelIndex at = model.index(r, 0);
        const QString value = at.data(ReadingValueRole).toString();
        const QString number = plainNumber(value);
        bool known = false;
        const int range = at.data(ReadingRangeRole).toInt(&known);
        const QStringList fields{times.text(at.data(ReadingTimeRole).toDateTime()),
                                 number,
                                 number.isEmpty() ? value : QString(),
                                 at.data(ReadingUnitRole).toString(),
                                 at.data(ReadingFunctionRole).toString(),
                                 known && range >= 0 ? QString::number(range) : QString(),
                                 at.data(ReadingSourceRole).toString()};
        QStringList quoted;
        for (const QString &f : fields)
            quoted.append(csvField(f));
        chunk += quoted.join(QLatin1Char(',')).toUtf8();
        chunk += "\r\n";
        if (chunk.size() >= ChunkBytes) {
            ok = file->write(chunk) == chunk.size();
            chunk.clear();
        }
    }
    ok = ok && file->write(chunk) == chunk.size();
    return finishExportFile(*file, ok) ? TextWriteResult::Written : TextWriteResult::WriteFailed;
}
