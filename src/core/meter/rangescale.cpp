#include "rangescale.h"

#include <QString>

namespace {
// Upper bound and step per range index; each axis is symmetric about zero.
// The bounds give the meter's full-scale reading a little headroom.
struct Row
{
    int upper;
    double step;
};

constexpr Row kRows[kRangeCount] = {
    {800, 100},   {8, 1},      {80, 10},    {800, 100},  {1200, 200}, // 0-4
    {8, 1},       {80, 10},    {800, 100},  {800, 100},  {800, 100},  // 5-9
    {8000, 1000}, {80, 10},    {800, 100},  {8, 1},      {12, 2},     // 10-14
    {800, 100},   {8000, 1000}, {80, 10},   {800, 100},  {8, 1},      // 15-19
    {12, 2},      {800, 100},  {8, 1},      {80, 10},    {800, 100},  // 20-24
    {8, 1},       {80, 10},    {4, 0.5},    {600, 100},  {60, 10},    // 25-29
    {600, 100},   {6, 1},      {60, 10},    {400, 50},   {20, 4},     // 30-34
    {200, 40},    {2000, 400}, {20, 4},     {200, 40},   {2, 0.5},    // 35-39
    {30, 6},      {120, 20},   {1500, 300}, {3000, 500}, {3000, 500}, // 40-44
};
} // namespace

bool hasRangeScale(int rangeIndex)
{
    return rangeIndex >= 0 && rangeIndex < kRangeCount;
}

std::optional<RangeScale> rangeScale(int rangeIndex)
{
    if (!hasRangeScale(rangeIndex))
        return std::nullopt;
    const Row &row = kRows[rangeIndex];
    return RangeScale{-row.upper, row.upper, row.step};
}

std::optional<double> overloadCurveValue(QStringView valueText, int rangeIndex)
{
    const QStringView text = valueText.trimmed();
    if (!hasRangeScale(rangeIndex) || text.size() < 3 || (text[0] != u'+' && text[0] != u'-'))
        return std::nullopt;
    int decimals = -1;
    for (int d = 0; d < 4 && decimals < 0; ++d)
        if (text.mid(1).trimmed() == QStringView(overloadText(d)).trimmed())
            decimals = d;
    if (decimals < 0)
        return std::nullopt;
    // The meter shows a temperature overload with one decimal, its count
    // standing for ten times the figure, as the decoder reads it.
    double count = meterOverloadCount(rangeIndex);
    const QString unit = meterRangeUnit(rangeIndex);
    if (decimals == 1 && (unit == QStringLiteral("\u2103") || unit == QStringLiteral("\u2109")))
        count *= 10;
    static const double kDivisors[4] = {1.0, 10.0, 100.0, 1000.0};
    const double value = count / kDivisors[decimals];
    return text[0] == u'-' ? -value : value;
}
