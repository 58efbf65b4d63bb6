#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <limits>
#include <string_view>

/// The texts of rows streamed from the store (RangeQueries::RowBatch), made
/// straight from their UTF-8 bytes: the same bytes the table model's texts
/// give once written, without a QString or a QDateTime a row.

/// "+08:00" of an offset from UTC in seconds.
QString offsetText(int offsetSeconds);
/// A value text as a plain number ("+12.50 " gives "12.50"), or empty when
/// it is none.
QString plainNumber(const QString &text);

/// csvTime() for rows in time order: the text of the previous row's time is
/// reused, and the offset, which changes only at a quarter-hour mark, is
/// looked up once per quarter hour.
class CsvTimeTexts
{
public:
    const QString &text(const QDateTime &time);

private:
    QDate m_date;
    QTime m_time;
    bool m_valid = false;
    QString m_text;
    qint64 m_bucket = std::numeric_limits<qint64>::min();
    QString m_offset;
};

/// Times of readings in time order (naive milliseconds), as the history
/// table shows them ("yyyy-MM-dd hh:mm:ss") and as CSV has them (csvTime()).
/// A quarter hour that the local zone leaves alone is written from the
/// fields; one with a clock change in it, or outside the years 1000–9999,
/// goes the slow way through QDateTime, as the model does.
class StoredTimeTexts
{
public:
    void appendTable(qint64 ms, QByteArray *out);
    void appendCsv(qint64 ms, QByteArray *out);

private:
    void enter(qint64 bucket);
    void fields(qint64 ms);

    qint64 m_bucket = std::numeric_limits<qint64>::min();
    bool m_plain = false; // the quarter hour is written from its fields
    QByteArray m_offset;  // "+08:00" of that quarter hour
    qint64 m_second = std::numeric_limits<qint64>::min(); // the millisecond m_text shows
    qint64 m_day = std::numeric_limits<qint64>::min();    // the day it shows
    char m_text[24] = "0000-00-00 00:00:00.000";          // "yyyy-MM-dd hh:mm:ss.zzz"
    CsvTimeTexts m_slowCsv;
};

/// Appends `field` as the text writer would write the QString it makes:
/// UTF-8 as the server gave it where it is ASCII, else decoded and encoded
/// again (so a broken sequence turns out as the model's would).
void appendText(std::string_view field, QByteArray *out);
/// The same, as one CSV field (csvField()).
void appendCsvField(std::string_view field, QByteArray *out);
/// Appends a value text as plainNumber() has it for the CSV's "value": the
/// number without a leading '+'; false, with nothing appended, when it is none.
bool appendPlainNumber(std::string_view value, QByteArray *out);
/// A range index (frastr) as the CSV's "range": -1 when it is none.
int rangeIndex(std::string_view frastr);
