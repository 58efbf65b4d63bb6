#include "framejson.h"

#include "core/meter/framedecoder.h"

#include <QByteArray>
#include <QString>

#include <charconv>
#include <cstring>
#include <vector>

namespace {

std::string jsonString(const QString &text)
{
    std::string out = "\"";
    for (const char c : text.toUtf8()) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            static const char hex[] = "0123456789abcdef";
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

// The function and unit texts come from fixed tables; quote them once
// instead of once per frame. Texts that are not table entries are quoted on
// the spot.
class QuotedTexts
{
public:
    QuotedTexts()
    {
        for (int i = 0; i < kFunctionCount; ++i)
            m_functions.push_back({meterFunctionText(i), jsonString(meterFunctionText(i))});
        for (int i = 0; i < kRangeCount; ++i)
            m_units.push_back({meterRangeUnit(i), jsonString(meterRangeUnit(i))});
    }

    std::string function(int index, const QString &text) const { return pick(m_functions, index, text); }
    std::string unit(int index, const QString &text) const { return pick(m_units, index, text); }

private:
    struct Entry
    {
        QString text;
        std::string quoted;
    };

    static std::string pick(const std::vector<Entry> &table, int index, const QString &text)
    {
        if (index >= 0 && index < int(table.size()) && table[size_t(index)].text == text)
            return table[size_t(index)].quoted;
        return jsonString(text);
    }

    std::vector<Entry> m_functions;
    std::vector<Entry> m_units;
};

// Builds one line in a stack buffer; a frame's line is well under 1 KiB.
class Line
{
public:
    template<size_t N>
    void literal(const char (&text)[N])
    {
        std::memcpy(m_end, text, N - 1);
        m_end += N - 1;
    }

    void text(const std::string &s)
    {
        const size_t n = qMin(s.size(), size_t(m_buf + kRoom - m_end));
        std::memcpy(m_end, s.data(), n);
        m_end += n;
    }

    void number(int value) { m_end = std::to_chars(m_end, m_buf + sizeof m_buf, value).ptr; }

    // Shortest text that reads back as the same double; never locale-dependent.
    void number(double value) { m_end = std::to_chars(m_end, m_buf + sizeof m_buf, value).ptr; }

    void boolean(bool value)
    {
        if (value)
            literal("true");
        else
            literal("false");
    }

    void hex(const QByteArray &bytes)
    {
        static const char digits[] = "0123456789abcdef";
        // Frames are 14 bytes; anything longer is cut so the line stays bounded.
        const int n = qMin(bytes.size(), 64);
        for (int i = 0; i < n; ++i) {
            const auto u = static_cast<unsigned char>(bytes[i]);
            *m_end++ = digits[u >> 4];
            *m_end++ = digits[u & 0xf];
        }
    }

    void appendTo(std::string &out) const { out.append(m_buf, size_t(m_end - m_buf)); }

private:
    // Room for the texts; the fixed parts of a line always fit in the rest.
    static constexpr size_t kRoom = 640;
    char m_buf[1024];
    char *m_end = m_buf;
};

} // namespace

void appendFrameJson(std::string &out, const DecodedFrame &f, const QByteArray &raw)
{
    static const QuotedTexts quoted;
    Line line;
    if (!f.valid) {
        line.literal("{\"valid\": false, \"raw\": \"");
        line.hex(raw);
        line.literal("\"}\n");
        line.appendTo(out);
        return;
    }
    line.literal("{\"valid\": true, \"funcIndex\": ");
    line.number(f.funcIndex);
    line.literal(", \"funcStr\": ");
    line.text(quoted.function(f.funcIndex, f.funcStr));
    line.literal(", \"subRange\": ");
    line.number(f.subRange);
    line.literal(", \"rangeIndex\": ");
    line.number(f.rangeIndex);
    line.literal(", \"value\": ");
    line.number(f.value);
    line.literal(", \"valueStr\": ");
    line.text(jsonString(f.valueStr));
    line.literal(", \"unitStr\": ");
    line.text(quoted.unit(f.rangeIndex, f.unitStr));
    line.literal(", \"decimals\": ");
    line.number(f.decimals);
    line.literal(", \"overload\": ");
    line.boolean(f.overload);
    line.literal(", \"negative\": ");
    line.boolean(f.negative);
    line.literal(", \"auto\": ");
    line.boolean(f.panel.autoRange);
    line.literal(", \"rel\": ");
    line.boolean(f.panel.rel);
    line.literal(", \"hold\": ");
    line.boolean(f.panel.hold);
    line.literal(", \"barOn\": ");
    line.boolean(f.panel.barOn);
    line.literal(", \"barNegative\": ");
    line.boolean(f.panel.barNegative);
    line.literal(", \"barLevel\": ");
    line.number(f.panel.barLevel);
    line.literal(", \"max\": ");
    line.boolean(f.panel.max);
    line.literal(", \"min\": ");
    line.boolean(f.panel.min);
    line.literal(", \"apo\": ");
    line.boolean(f.panel.apo);
    line.literal(", \"bat\": ");
    line.boolean(f.panel.bat);
    line.literal(", \"raw\": \"");
    line.hex(raw);
    line.literal("\"}\n");
    line.appendTo(out);
}
