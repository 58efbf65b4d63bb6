#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

/// A table as the workbook writer lays it out: title, headers, column widths
/// (in characters, as the worksheet stores them) and the data rows.
struct WorkbookTable {
    QString title;
    QStringList headers;
    QVector<double> columnWidths;
    QVector<QStringList> rows;
};

/// Reads back a workbook written by writeTableWorkbook(): the title from A1
/// and the headers from row 2 of the first worksheet, the column widths of
/// the first worksheet, and the data rows (row 3 on) of every worksheet in
/// order. Returns false, with a reason in `error`, when the file is not a
/// readable xlsx workbook.
bool readTableWorkbook(const QString &path, WorkbookTable *table, QString *error = nullptr);
