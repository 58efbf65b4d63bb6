#include "export/streamedrowtext.h"

#include "core/store/historyreads.h"

#include <cmath>
#include <cstdlib>

namespace {

constexpr qint64 kQuarterHourMs = 900000;
constexpr qint64 kMsPerDay = 86400000;

qint64 floorDiv(qint64 a, qint64 b)
{
    const qint64 q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

bool isAscii(std::string_view text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

bool isSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view trimmed(std::string_view t)
{
    while (!t.empty() && isSpace(t.front()))
        t.remove_prefix(1);
    while (!t.empty() && isSpace(t.back()))
        t.remove_suffix(1);
    return t;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

void put2(char *at, int v)
{
    at[0] = char('0' + v / 10);
    at[1] = char('0' + v % 10);
}

} // namespace

QString offsetText(int offsetSeconds)
{
    const int minutes = std::abs(offsetSeconds) / 60;
    return (offsetSeconds < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

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

const QString &CsvTimeTexts::text(const QDateTime &time)
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

void StoredTimeTexts::enter(qint64 bucket)
{
    if (bucket == m_bucket)
        return;
    m_bucket = bucket;
    // Both ends of the quarter hour shown as stored, at one offset: no clock
    // change inside, so every time in it is its fields at that offset.
    const qint64 first = bucket * kQuarterHourMs;
    const qint64 last = first + kQuarterHourMs - 1;
    const QDateTime a = HistoryReads::timeOfNaiveMs(first);
    const QDateTime b = HistoryReads::timeOfNaiveMs(last);
    m_plain = a.isValid() && b.isValid() && HistoryReads::naiveMs(a) == first &&
              HistoryReads::naiveMs(b) == last && a.offsetFromUtc() == b.offsetFromUtc() &&
              a.date().year() >= 1000 && b.date().year() <= 9999;
    if (m_plain)
        m_offset = offsetText(a.offsetFromUtc()).toLatin1();
}

void StoredTimeTexts::fields(qint64 ms)
{
    if (ms == m_second)
        return;
    m_second = ms;
    const qint64 days = floorDiv(ms, kMsPerDay);
    const qint64 rest = ms - days * kMsPerDay;
    const int secs = int(rest / 1000);
    put2(m_text + 11, secs / 3600);
    put2(m_text + 14, secs / 60 % 60);
    put2(m_text + 17, secs % 60);
    const int milli = int(rest % 1000);
    m_text[20] = char('0' + milli / 100);
    put2(m_text + 21, milli % 100);
    if (days == m_day)
        return;
    m_day = days;
    // The civil date of a day count (days since 1970-01-01).
    const qint64 z = days + 719468;
    const qint64 era = floorDiv(z, 146097);
    const qint64 doe = z - era * 146097;
    const qint64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const qint64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const qint64 mp = (5 * doy + 2) / 153;
    const int day = int(doy - (153 * mp + 2) / 5 + 1);
    const int month = int(mp < 10 ? mp + 3 : mp - 9);
    const int year = int(yoe + era * 400 + (month <= 2 ? 1 : 0));
    put2(m_text, year / 100);
    put2(m_text + 2, year % 100);
    put2(m_text + 5, month);
    put2(m_text + 8, day);
}

void StoredTimeTexts::appendTable(qint64 ms, QByteArray *out)
{
    enter(floorDiv(ms, kQuarterHourMs));
    if (!m_plain) {
        *out += HistoryReads::timeOfNaiveMs(ms).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toUtf8();
        return;
    }
    fields(ms);
    out->append(m_text, 19);
}

void StoredTimeTexts::appendCsv(qint64 ms, QByteArray *out)
{
    enter(floorDiv(ms, kQuarterHourMs));
    if (!m_plain) {
        *out += m_slowCsv.text(HistoryReads::timeOfNaiveMs(ms)).toUtf8();
        return;
    }
    fields(ms);
    m_text[10] = 'T';
    out->append(m_text, 23);
    m_text[10] = ' ';
    *out += m_offset;
}

void appendText(std::string_view field, QByteArray *out)
{
    if (isAscii(field))
        out->append(field.data(), int(field.size()));
    else
        *out += QString::fromUtf8(field.data(), int(field.size())).toUtf8();
}

void appendCsvField(std::string_view field, QByteArray *out)
{
    QByteArray own;
    if (!isAscii(field)) {
        own = QString::fromUtf8(field.data(), int(field.size())).toUtf8();
        field = std::string_view(own.constData(), size_t(own.size()));
    }
    if (field.find_first_of(",\"\n\r") == std::string_view::npos) {
        out->append(field.data(), int(field.size()));
        return;
    }
    *out += '"';
    for (const char c : field) {
        if (c == '"')
            *out += '"';
        *out += c;
    }
    *out += '"';
}

bool appendPlainNumber(std::string_view value, QByteArray *out)
{
    const std::string_view t = trimmed(value);
    // A sign and digits, with a point between digits or none: a finite
    // number for anyone. Anything else is left to QString's reading.
    size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        ++i;
    size_t whole = 0;
    while (i < t.size() && isDigit(t[i]))
        ++i, ++whole;
    size_t fraction = 1;
    if (i < t.size() && t[i] == '.') {
        ++i;
        fraction = 0;
        while (i < t.size() && isDigit(t[i]))
            ++i, ++fraction;
    }
    const bool simple = isAscii(value) && i == t.size() && whole > 0 && fraction > 0 && t.size() <= 40;
    if (!simple) {
        const QByteArray number = plainNumber(QString::fromUtf8(value.data(), int(value.size()))).toUtf8();
        *out += number;
        return !number.isEmpty();
    }
    const std::string_view plain = t.front() == '+' ? t.substr(1) : t;
    out->append(plain.data(), int(plain.size()));
    return true;
}

int rangeIndex(std::string_view frastr)
{
    const std::string_view t = trimmed(frastr);
    size_t i = 0;
    const bool negative = !t.empty() && t[0] == '-';
    if (!t.empty() && (t[0] == '+' || t[0] == '-'))
        ++i;
    if (!isAscii(frastr) || i == t.size() || t.size() - i > 9) {
        bool ok = false;
        const int range = QString::fromUtf8(frastr.data(), int(frastr.size())).trimmed().toInt(&ok);
        return ok && range >= 0 ? range : -1;
    }
    int v = 0;
    for (; i < t.size(); ++i) {
        if (!isDigit(t[i]))
            return -1;
        v = v * 10 + (t[i] - '0');
    }
    return negative && v != 0 ? -1 : v;
}
