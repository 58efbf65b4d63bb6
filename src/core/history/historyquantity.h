#pragma once

#include <QString>
#include <QVector>

class HistoryData;

/// One quantity of a history range: the rows of one function in one unit.
struct HistoryQuantity
{
    QString function;
    QString unit;
    int firstRow = 0; ///< the row it first appears in

    bool operator==(const HistoryQuantity &other) const
    {
        return function == other.function && unit == other.unit && firstRow == other.firstRow;
    }
};

/// The quantities of `rows` in the order they first appear.
QVector<HistoryQuantity> historyQuantities(const HistoryData &rows);

/// The curve points (rows' x and y) of the rows of `quantity`, in row order.
void quantityPoints(const HistoryData &rows, const HistoryQuantity &quantity, QVector<double> *x,
                    QVector<double> *y);
