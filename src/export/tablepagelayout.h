#pragma once

#include <QVector>

/// One printed page of a table: the title (first page only), the header row,
/// then `rowCount` data rows starting at `firstRow`.
struct TablePage {
    int firstRow = 0;
    int rowCount = 0;
    bool withTitle = false;
};

/// Splits `rows` data rows over pages `pageHeight` high (any unit; the same
/// for all heights): the first page starts with the title block of
/// `titleHeight`, every page with the header row, header and data rows being
/// `rowHeight` high. Each page takes as many rows as fit, at least one, so a
/// page too small for the table still makes progress. An empty table gives one
/// page with title and header.
QVector<TablePage> layoutTablePages(int rows, double pageHeight, double titleHeight,
                                    double rowHeight);
