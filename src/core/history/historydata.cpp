#include "historydata.h"

#include "core/meter/rangescale.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <type_traits>

namespace {

constexpr qint64 kNoTime = std::numeric_limits<qint64>::min();
constexpr qint64 kMsPerDay = 86400000;
constexpr qint64 kOffsetBucketMs = 900000;

qint64 floorDiv(qint64 a, qint64 b)
{
    qint64 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

// Days from 1970-01-01 to a proleptic Gregorian date, and back
// (the well-known civil calendar arithmetic, valid for any year).
qint64 daysFromCivil(qint64 y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const qint64 era = floorDiv(y, 400);
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<qint64>(doe) - 719468;
}

struct Civil
{
    qint64 year;
    unsigned month;
    unsigned day;
};

Civil civilFromDays(qint64 z)
{
    z += 719468;
    const qint64 era = floorDiv(z, 146097);
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<qint64>(yoe) + era * 400 + (m <= 2), m, d};
}

// The character at `i` of a text given as UTF-16 or as bytes.
char16_t charAt(QStringView t, int i)
{
    return t[i].unicode();
}

char16_t charAt(std::string_view t, int i)
{
    return static_cast<unsigned char>(t[size_t(i)]);
}

template <class Text> int digits(Text text, int from, int count)
{
    int v = 0;
    for (int i = from; i < from + count; ++i) {
        const char16_t c = charAt(text, i);
        if (c < u'0' || c > u'9')
            return -1;
        v = v * 10 + (c - u'0');
    }
    return v;
}

// The whole seconds of a "yyyy-MM-dd hh:mm:ss" text (its first 19
// characters), in milliseconds.
template <class Text> qint64 parseNaiveSeconds(Text t)
{
    if (t.size() < 19 || charAt(t, 4) != u'-' || charAt(t, 7) != u'-' ||
        (charAt(t, 10) != u' ' && charAt(t, 10) != u'T') || charAt(t, 13) != u':' || charAt(t, 16) != u':')
        return kNoTime;
    const int y = digits(t, 0, 4), mo = digits(t, 5, 2), d = digits(t, 8, 2);
    const int h = digits(t, 11, 2), mi = digits(t, 14, 2), s = digits(t, 17, 2);
    if (y < 0 || mo < 1 || mo > 12 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59)
        return kNoTime;
    if (!QDate::isValid(y, mo, d))
        return kNoTime;
    return (daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 +
            mi * 60 + s) *
           1000;
}

// The milliseconds of the fraction that may follow the seconds (".5",
// ".123", ".123456"; digits past the third are cut off, not rounded, so a
// row never moves into the next second); -1 for anything but a fraction.
template <class Text> int parseMillis(Text t)
{
    const int n = int(t.size());
    if (n <= 19)
        return 0;
    if (charAt(t, 19) != u'.')
        return -1;
    int ms = 0;
    int scale = 100;
    for (int i = 20; i < n && scale > 0; ++i, scale /= 10) {
        const char16_t c = charAt(t, i);
        if (c < u'0' || c > u'9')
            break;
        ms += (c - u'0') * scale;
    }
    return ms;
}

qint64 naiveFromDateTime(const QDateTime &dt)
{
    if (!dt.isValid())
        return kNoTime;
    const QDate d = dt.date();
    const QTime t = dt.time();
    return daysFromCivil(d.year(), static_cast<unsigned>(d.month()), static_cast<unsigned>(d.day())) *
               kMsPerDay +
           t.msecsSinceStartOfDay();
}

QDate dateOfNaive(qint64 naive)
{
    const Civil c = civilFromDays(floorDiv(naive, kMsPerDay));
    return QDate(static_cast<int>(c.year), static_cast<int>(c.month), static_cast<int>(c.day));
}

QTime timeOfNaive(qint64 naive)
{
    return QTime::fromMSecsSinceStartOfDay(static_cast<int>(naive - floorDiv(naive, kMsPerDay) * kMsPerDay));
}

QDateTime localFromNaive(qint64 naive)
{
    return QDateTime(dateOfNaive(naive), timeOfNaive(naive), Qt::LocalTime);
}

bool isSpace(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f' || c == u'\v';
}

// A `frastr` text as a range index 0–44, kNoRangeIndex for anything else.
// Read for every row, so without building a string.
int rangeIndexOf(QStringView frastr)
{
    const QStringView t = frastr.trimmed();
    if (t.isEmpty() || t.size() > 2)
        return HistoryData::kNoRangeIndex;
    int index = 0;
    for (const QChar c : t) {
        if (c < u'0' || c > u'9')
            return HistoryData::kNoRangeIndex;
        index = index * 10 + (c.unicode() - u'0');
    }
    return hasRangeScale(index) ? index : HistoryData::kNoRangeIndex;
}

// The value texts are short plain decimals; those are read straight from
// their characters, anything else goes the long way through QString.
double valueOf(QStringView text)
{
    const QChar *p = text.data();
    int begin = 0, end = text.size();
    while (begin < end && isSpace(p[begin].unicode()))
        ++begin;
    while (end > begin && isSpace(p[end - 1].unicode()))
        --end;
    bool plus = false;
    if (begin < end && p[begin] == u'+') {
        plus = true;
        ++begin;
    }
    char buf[64];
    const int n = end - begin;
    double v = 0.0;
    bool fast = n > 0 && n < int(sizeof buf) && !(plus && p[begin] == u'-');
    for (int i = 0; fast && i < n; ++i) {
        const char16_t c = p[begin + i].unicode();
        fast = c < 0x80 && c != u'+';
        buf[i] = static_cast<char>(c);
    }
    if (fast) {
        const auto r = std::from_chars(buf, buf + n, v);
        fast = r.ec == std::errc() && r.ptr == buf + n;
    }
    if (!fast) {
        bool ok = false;
        v = text.toString().toDouble(&ok);
        if (!ok)
            v = 0.0;
    }
    return std::isfinite(v) ? v : 0.0;
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool isAscii(std::string_view text)
{
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

int rangeIndexOf(std::string_view frastr)
{
    if (!isAscii(frastr))
        return rangeIndexOf(HistoryData::textOfUtf8(frastr));
    size_t begin = 0, end = frastr.size();
    while (begin < end && isSpace(static_cast<unsigned char>(frastr[begin])))
        ++begin;
    while (end > begin && isSpace(static_cast<unsigned char>(frastr[end - 1])))
        --end;
    if (begin == end || end - begin > 2)
        return HistoryData::kNoRangeIndex;
    int index = 0;
    for (size_t i = begin; i < end; ++i) {
        const char c = frastr[i];
        if (c < '0' || c > '9')
            return HistoryData::kNoRangeIndex;
        index = index * 10 + (c - '0');
    }
    return hasRangeScale(index) ? index : HistoryData::kNoRangeIndex;
}

double valueOf(std::string_view text)
{
    const char *p = text.data();
    size_t begin = 0, end = text.size();
    while (begin < end && isSpace(static_cast<unsigned char>(p[begin])))
        ++begin;
    while (end > begin && isSpace(static_cast<unsigned char>(p[end - 1])))
        --end;
    if (begin < end && p[begin] == '+' && !(begin + 1 < end && p[begin + 1] == '-'))
        ++begin;
    double v = 0.0;
    bool fast = begin < end && end - begin < 64;
    for (size_t i = begin; fast && i < end; ++i)
        fast = static_cast<unsigned char>(p[i]) < 0x80 && p[i] != '+';
    if (fast) {
        const auto r = std::from_chars(p + begin, p + end, v);
        fast = r.ec == std::errc() && r.ptr == p + end;
    }
    if (!fast) {
        bool ok = false;
        v = HistoryData::textOfUtf8(text).toDouble(&ok);
        if (!ok)
            v = 0.0;
    }
    return std::isfinite(v) ? v : 0.0;
}

// The curve's value of a row: the number its text reads as or, for an
// overload text, the end of its range.
template <class Text> double curveValue(Text value, int range)
{
    double y = valueOf(value);
    if (y == 0.0 && !value.empty()) {
        const char16_t first = charAt(value, 0);
        if (first == u'+' || first == u'-' || first == u' ') {
            std::optional<double> overload;
            if constexpr (std::is_same_v<Text, QStringView>)
                overload = overloadCurveValue(value, range);
            else
                overload = overloadCurveValue(HistoryData::textOfUtf8(value), range);
            if (overload)
                y = *overload;
        }
    }
    return y;
}

template <class Char> void appendTwo(Char *&out, int v)
{
    *out++ = Char('0' + v / 10);
    *out++ = Char('0' + v % 10);
}

// "yyyy-MM-dd hh:mm:ss" for a year 0–9999, into 19 characters at `out`.
template <class Char> void writeSecondsText(Char *out, const Civil &c, int secs)
{
    const int year = static_cast<int>(c.year);
    appendTwo(out, year / 100);
    appendTwo(out, year % 100);
    *out++ = Char('-');
    appendTwo(out, static_cast<int>(c.month));
    *out++ = Char('-');
    appendTwo(out, static_cast<int>(c.day));
    *out++ = Char(' ');
    appendTwo(out, secs / 3600);
    *out++ = Char(':');
    appendTwo(out, secs / 60 % 60);
    *out++ = Char(':');
    appendTwo(out, secs % 60);
}

} // namespace

void HistoryData::append(const QDateTime &time, const QString &value, const QString &unit, const QString &func,
                         const QString &frastr)
{
    appendNaive(naiveFromDateTime(time), value, unit, func, frastr);
}

void HistoryData::appendText(QStringView time, QStringView value, QStringView unit, QStringView func,
                             QStringView frastr)
{
    // Only the whole seconds are cached: with milliseconds stored, the
    // texts of one second differ in their fraction alone.
    const int length = qMin(int(time.size()), kSecondsTextLength);
    if (length != m_lastTimeLength ||
        std::memcmp(m_lastTimeText, time.utf16(), size_t(length) * sizeof(char16_t)) != 0) {
        m_lastNaive = parseNaiveSeconds(time);
        m_lastTimeLength = length;
        std::memcpy(m_lastTimeText, time.utf16(), size_t(length) * sizeof(char16_t));
    }
    qint64 naive = m_lastNaive;
    if (naive != kNoTime) {
        const int ms = parseMillis(time);
        naive = ms < 0 ? kNoTime : naive + ms;
    }
    appendNaive(naive, value, unit, func, frastr);
}

void HistoryData::appendUtf8(std::string_view time, std::string_view value, std::string_view unit,
                             std::string_view func, std::string_view frastr)
{
    const int length = qMin(int(time.size()), kSecondsTextLength);
    if (length != m_lastTimeUtf8Length || std::memcmp(m_lastTimeUtf8, time.data(), size_t(length)) != 0) {
        m_lastNaiveUtf8 = parseNaiveSeconds(time);
        m_lastTimeUtf8Length = length;
        std::memcpy(m_lastTimeUtf8, time.data(), size_t(length));
    }
    qint64 naive = m_lastNaiveUtf8;
    if (naive != kNoTime) {
        const int ms = parseMillis(time);
        naive = ms < 0 ? kNoTime : naive + ms;
    }
    const int range = rangeIndexOf(frastr);
    appendParsed(naive, curveValue(value, range), range, value.data(), int(value.size()),
                 labelPairUtf8(unit, func));
}

void HistoryData::appendNaive(qint64 naive, QStringView value, QStringView unit, QStringView func,
                              QStringView frastr)
{
    const int range = rangeIndexOf(frastr);
    const double y = curveValue(value, range);
    const quint32 pair = labelPair(unit, func);
    const QChar *p = value.data();
    const int n = int(value.size());
    bool ascii = true;
    for (int i = 0; ascii && i < n; ++i)
        ascii = p[i].unicode() < 0x80;
    if (ascii) {
        char buf[64];
        if (n <= int(sizeof buf)) {
            for (int i = 0; i < n; ++i)
                buf[i] = static_cast<char>(p[i].unicode());
            appendParsed(naive, y, range, buf, n, pair);
            return;
        }
    }
    const QByteArray utf8 = value.toUtf8();
    appendParsed(naive, y, range, utf8.constData(), utf8.size(), pair);
}

void HistoryData::appendParsed(qint64 naive, double y, int range, const char *valueUtf8, int valueBytes,
                               quint32 pair)
{
    const bool first = m_naive.isEmpty();
    m_naive.append(naive);

    double x = 0.0;
    if (naive != kNoTime) {
        const qint64 utc = utcMs(naive);
        if (first)
            m_baseUtc = utc;
        // Against an invalid base every difference is 0, as QDateTime::secsTo has it.
        else if (m_naive.first() != kNoTime)
            x = static_cast<double>(utc - m_baseUtc) / 1000.0;
    }
    m_x.append(x);
    // An overload is drawn where the live curve draws it, at the end of its
    // range, not at 0; only overload rows need their own range index.
    m_range.append(static_cast<qint8>(range));
    m_y.append(y);
    m_valueBytes.append(valueUtf8, valueBytes);
    m_valueEnd.append(static_cast<quint32>(m_valueBytes.size()));
    m_pairOfRow.append(pair);

    if (first)
        m_firstRange = range;
}

qint64 HistoryData::utcMs(qint64 naive)
{
    const qint64 bucket = floorDiv(naive, kOffsetBucketMs);
    if (bucket != m_offsetBucket) {
        m_offsetBucket = bucket;
        m_offset = qint64(localFromNaive(bucket * kOffsetBucketMs).offsetFromUtc()) * 1000;
    }
    return naive - m_offset;
}

quint32 HistoryData::labelPair(QStringView unit, QStringView func)
{
    if (!m_pairUnit.isEmpty() && m_pairUnit[m_lastPair] == unit && m_pairFunc[m_lastPair] == func)
        return m_lastPair;
    // The length of the unit keeps "ab"+"c" and "a"+"bc" apart.
    const QString key = QString::number(unit.size()) + QLatin1Char(':') + unit.toString() + func.toString();
    auto it = m_pairIndex.constFind(key);
    if (it == m_pairIndex.constEnd()) {
        it = m_pairIndex.insert(key, static_cast<quint32>(m_pairUnit.size()));
        m_pairUnit.append(unit.toString());
        m_pairFunc.append(func.toString());
    }
    m_lastPair = *it;
    return m_lastPair;
}

quint32 HistoryData::labelPairUtf8(std::string_view unit, std::string_view func)
{
    const auto same = [](const QByteArray &known, std::string_view text) {
        return size_t(known.size()) == text.size() &&
               std::memcmp(known.constData(), text.data(), text.size()) == 0;
    };
    if (m_lastUtf8Pair >= 0 && same(m_lastUnitUtf8, unit) && same(m_lastFuncUtf8, func))
        return quint32(m_lastUtf8Pair);
    m_lastUnitUtf8 = QByteArray(unit.data(), int(unit.size()));
    m_lastFuncUtf8 = QByteArray(func.data(), int(func.size()));
    m_lastUtf8Pair = int(labelPair(textOfUtf8(unit), textOfUtf8(func)));
    return quint32(m_lastUtf8Pair);
}

void HistoryData::reserve(int rows)
{
    m_naive.reserve(rows);
    m_x.reserve(rows);
    m_y.reserve(rows);
    m_valueEnd.reserve(rows);
    m_pairOfRow.reserve(rows);
    m_range.reserve(rows);
    m_valueBytes.reserve(rows * 6);
}

void HistoryData::squeeze()
{
    m_naive.squeeze();
    m_x.squeeze();
    m_y.squeeze();
    m_valueEnd.squeeze();
    m_pairOfRow.squeeze();
    m_range.squeeze();
    m_valueBytes.squeeze();
}

QDateTime HistoryData::time(int row) const
{
    const qint64 naive = m_naive.at(row);
    return naive == kNoTime ? QDateTime() : localFromNaive(naive);
}

QDateTime HistoryData::timeWithOffset(int row) const
{
    const qint64 naive = m_naive.at(row);
    if (naive == kNoTime || m_naive.first() == kNoTime)
        return time(row);
    // x holds the exact UTC milliseconds from row 0 (divided by 1000), so
    // the offset in force is known without asking the time zone again.
    const qint64 utc = m_baseUtc + std::llround(m_x.at(row) * 1000.0);
    return QDateTime(dateOfNaive(naive), timeOfNaive(naive), Qt::OffsetFromUTC,
                     static_cast<int>(floorDiv(naive - utc, 1000)));
}

QString HistoryData::timeText(int row) const
{
    const qint64 naive = m_naive.at(row);
    if (naive == kNoTime)
        return QString();
    const qint64 days = floorDiv(naive, kMsPerDay);
    const int secs = static_cast<int>(naive - days * kMsPerDay) / 1000;
    const Civil c = civilFromDays(days);
    if (c.year < 0 || c.year > 9999)
        return localFromNaive(naive).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    QString text(kSecondsTextLength, Qt::Uninitialized);
    writeSecondsText(reinterpret_cast<char16_t *>(text.data()), c, secs);
    return text;
}

std::string_view HistoryData::valueUtf8(int row) const
{
    const quint32 begin = row == 0 ? 0 : m_valueEnd.at(row - 1);
    std::string_view bytes(m_valueBytes.constData() + begin, m_valueEnd.at(row) - begin);
    // valueText() goes through QString::fromUtf8(), which drops one.
    if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        bytes.remove_prefix(kByteOrderMark.size());
    return bytes;
}

QString HistoryData::textOfUtf8(std::string_view bytes)
{
    // QString::fromUtf8() drops a leading byte order mark; the server's
    // texts keep theirs, as they always did.
    int marks = 0;
    while (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        bytes.remove_prefix(kByteOrderMark.size());
        ++marks;
    }
    QString text(marks, QChar(0xfeff));
    text += QString::fromUtf8(bytes.data(), int(bytes.size()));
    return text;
}

void HistoryData::appendTimeUtf8(int row, QByteArray &out) const
{
    const qint64 naive = m_naive.at(row);
    if (naive == kNoTime)
        return;
    const qint64 days = floorDiv(naive, kMsPerDay);
    const Civil c = civilFromDays(days);
    if (c.year < 0 || c.year > 9999) {
        out += timeText(row).toUtf8();
        return;
    }
    const int at = out.size();
    out.resize(at + kSecondsTextLength);
    writeSecondsText(out.data() + at, c, static_cast<int>(naive - days * kMsPerDay) / 1000);
}

QString HistoryData::valueText(int row) const
{
    const quint32 begin = row == 0 ? 0 : m_valueEnd.at(row - 1);
    const quint32 end = m_valueEnd.at(row);
    return QString::fromUtf8(m_valueBytes.constData() + begin, static_cast<int>(end - begin));
}

const QString &HistoryData::unitText(int row) const
{
    return m_pairUnit.at(static_cast<int>(m_pairOfRow.at(row)));
}

const QString &HistoryData::funcText(int row) const
{
    return m_pairFunc.at(static_cast<int>(m_pairOfRow.at(row)));
}

QDateTime HistoryData::baseTime() const
{
    return isEmpty() ? QDateTime() : time(0);
}

qint64 HistoryData::storageBytes() const
{
    qint64 bytes = qint64(m_naive.capacity()) * qint64(sizeof(qint64)) +
                   qint64(m_x.capacity() + m_y.capacity()) * qint64(sizeof(double)) +
                   qint64(m_valueEnd.capacity() + m_pairOfRow.capacity()) * qint64(sizeof(quint32)) + m_range.capacity() +
                   m_valueBytes.capacity();
    for (int i = 0; i < m_pairUnit.size(); ++i)
        bytes += 2 * (m_pairUnit[i].capacity() + m_pairFunc[i].capacity()) * qint64(sizeof(QChar)) + 64;
    return bytes;
}
