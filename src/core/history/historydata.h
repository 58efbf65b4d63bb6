#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QVector>

#include <limits>
#include <string_view>

/// The rows of one history query, held column by column so a day of logging
/// (well over a million rows) stays small: the time as wall-clock milliseconds,
/// the value text packed into one byte buffer, unit and function texts
/// shared between the rows that repeat them, and the curve's x and y points
/// computed once while the rows arrive.
///
/// Row 0 fixes the base time of the curve (x = 0) and the range index that
/// picks the y scale. Rows keep the order they were appended in.
class HistoryData
{
public:
    /// Range index reported for a row 0 whose `frastr` is not an index 0–44.
    static constexpr int kNoRangeIndex = -1;

    /// Appends one row. `time` is the stored wall-clock time (an invalid
    /// time is kept and shown as an empty text); `frastr` matters for row 0 only.
    void append(const QDateTime &time, const QString &value, const QString &unit, const QString &func,
                const QString &frastr);

    /// Same as append(), with the time given as its text as the server sends
    /// it ("yyyy-MM-dd hh:mm:ss", optionally followed by fractional seconds,
    /// of which the milliseconds are kept). A text of any other shape gives
    /// an invalid time.
    void appendText(QStringView time, QStringView value, QStringView unit, QStringView func,
                    QStringView frastr);
    /// Same as appendText(), with every text given as its UTF-8 bytes, the
    /// way the server sends them; no QString is built for a row whose texts
    /// repeat the row before (the common case).
    void appendUtf8(std::string_view time, std::string_view value, std::string_view unit,
                    std::string_view func, std::string_view frastr);

    /// UTF-8 bytes as text, keeping a leading byte order mark (which
    /// QString::fromUtf8() would drop).
    static QString textOfUtf8(std::string_view bytes);

    void reserve(int rows);
    /// Gives back the spare capacity the growth of the columns left behind.
    void squeeze();

    int rowCount() const { return m_naive.size(); }
    bool isEmpty() const { return m_naive.isEmpty(); }

    /// The row's time as a local date-time (invalid if the stored one was).
    QDateTime time(int row) const;
    /// The same time with the UTC offset in force then fixed in it (cheaper
    /// to take apart than a local date-time, which asks the time zone).
    QDateTime timeWithOffset(int row) const;
    /// The row's time formatted "yyyy-MM-dd hh:mm:ss"; empty for an invalid time.
    QString timeText(int row) const;
    /// The stored value text, unchanged (a number or an overload text).
    QString valueText(int row) const;
    /// valueText() as UTF-8 bytes, a view into the rows.
    std::string_view valueUtf8(int row) const;
    /// timeText() as UTF-8, appended to `out`.
    void appendTimeUtf8(int row, QByteArray &out) const;
    const QString &unitText(int row) const;
    const QString &funcText(int row) const;
    /// The row's `frastr` as a range index 0–44, kNoRangeIndex otherwise.
    int rangeIndex(int row) const { return m_range.at(row); }

    /// Seconds (with their fraction) from row 0's time to each row's time;
    /// row 0 is always 0.
    const QVector<double> &xPoints() const { return m_x; }
    /// Each row's value text read as a number. An overload text of a row
    /// whose `frastr` names a range gives the end of that range, as the live
    /// curve draws it (overloadCurveValue()); any other text that is no
    /// finite number gives 0.
    const QVector<double> &yPoints() const { return m_y; }

    /// Row 0's time, the origin of the time axis; invalid for no rows.
    QDateTime baseTime() const;
    /// Row 0's `frastr` as a range index: 0 when there are no rows, the index
    /// when it is a whole number 0–44, kNoRangeIndex otherwise.
    int firstRangeIndex() const { return m_firstRange; }

    /// Bytes held by the columns (capacity, not just the used part).
    qint64 storageBytes() const;

private:
    void appendNaive(qint64 naive, QStringView value, QStringView unit, QStringView func, QStringView frastr);
    void appendParsed(qint64 naive, double y, int range, const char *valueUtf8, int valueBytes, quint32 pair);
    qint64 utcMs(qint64 naive);
    quint32 labelPair(QStringView unit, QStringView func);
    quint32 labelPairUtf8(std::string_view unit, std::string_view func);

    // Wall-clock milliseconds since 1970-01-01 00:00:00 with no time zone
    // applied, which is what the column stores; kNoTime marks an invalid time.
    QVector<qint64> m_naive;
    QVector<double> m_x;
    QVector<double> m_y;
    QByteArray m_valueBytes;
    QVector<quint32> m_valueEnd;
    QVector<quint32> m_pairOfRow;
    QVector<qint8> m_range;
    QVector<QString> m_pairUnit;
    QVector<QString> m_pairFunc;
    QHash<QString, quint32> m_pairIndex;
    quint32 m_lastPair = 0;
    // The pair last met by appendUtf8() and its texts as bytes.
    int m_lastUtf8Pair = -1;
    QByteArray m_lastUnitUtf8;
    QByteArray m_lastFuncUtf8;
    qint64 m_baseUtc = 0;
    int m_firstRange = 0;
    // Local time offsets change only at hour or half-hour marks; one lookup
    // per quarter hour of data keeps x exact across a daylight-saving change
    // without a time zone conversion for every row.
    qint64 m_offsetBucket = std::numeric_limits<qint64>::min();
    qint64 m_offset = 0; // milliseconds
    // Several rows share each second; its text ("yyyy-MM-dd hh:mm:ss") is read once.
    static constexpr int kSecondsTextLength = 19;
    char16_t m_lastTimeText[kSecondsTextLength] = {};
    int m_lastTimeLength = -1;
    char m_lastTimeUtf8[kSecondsTextLength] = {};
    int m_lastTimeUtf8Length = -1;
    qint64 m_lastNaive = 0;
    qint64 m_lastNaiveUtf8 = 0;
};
