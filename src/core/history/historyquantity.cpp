#include "historyquantity.h"

#include "core/history/historydata.h"

namespace {

bool isOf(const HistoryData &rows, int row, const HistoryQuantity &q)
{
    return rows.funcText(row) == q.function && rows.unitText(row) == q.unit;
}

} // namespace

QVector<HistoryQuantity> historyQuantities(const HistoryData &rows)
{
    QVector<HistoryQuantity> found;
    // A range holds a handful of quantities; the row's own quantity is
    // nearly always the previous row's, which is looked at first.
    int last = -1;
    for (int row = 0; row < rows.rowCount(); ++row) {
        if (last >= 0 && isOf(rows, row, found.at(last)))
            continue;
        last = -1;
        for (int i = 0; i < found.size() && last < 0; ++i)
            if (isOf(rows, row, found.at(i)))
                last = i;
        if (last < 0) {
            found.append(HistoryQuantity{rows.funcText(row), rows.unitText(row), row});
            last = found.size() - 1;
        }
    }
    return found;
}

void quantityPoints(const HistoryData &rows, const HistoryQuantity &quantity, QVector<double> *x,
                    QVector<double> *y)
{
    x->clear();
    y->clear();
    for (int row = quantity.firstRow; row < rows.rowCount(); ++row) {
        if (isOf(rows, row, quantity)) {
            x->append(rows.xPoints().at(row));
            y->append(rows.yPoints().at(row));
        }
    }
}
