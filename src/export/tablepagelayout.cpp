#include "export/tablepagelayout.h"

#include <algorithm>
#include <cmath>

QVector<TablePage> layoutTablePages(int rows, double pageHeight, double titleHeight,
                                    double rowHeight)
{
    auto fitting = [&](double space) {
        if (rowHeight <= 0)
            return rows;
        // Small tolerance: rows that fit exactly must not spill over because
        // of rounding in the unit conversion.
        const double n = std::floor((space - rowHeight) / rowHeight + 1e-9);
        return std::max(1, int(std::min(n, double(rows))));
    };

    QVector<TablePage> pages;
    int next = 0;
    do {
        TablePage page;
        page.withTitle = pages.isEmpty();
        page.firstRow = next;
        page.rowCount = std::min(rows - next,
                                 fitting(pageHeight - (page.withTitle ? titleHeight : 0)));
        next += page.rowCount;
        pages.append(page);
    } while (next < rows);
    return pages;
}
