#pragma once

#include <QString>
#include <QVector>

class QAbstractItemModel;

/// Rows one worksheet holds.
constexpr int WorksheetRowLimit = 1048576;

/// The name the workbook is written under: `chosen` + ".xlsx" for a file
/// name without a suffix, otherwise `chosen` unchanged (a device included).
QString workbookFileName(const QString &chosen);

/// Where prints build their working workbook "111.xlsx": printWorkingFile()
/// of the program's own folder.
QString printWorkingFile();

/// The working workbook of a program in `programDir`: beside the program
/// when it runs in place (see runsInPlace()) and may write there; otherwise,
/// as for an installed program, in the user's data folder.
QString printWorkingFile(const QString &programDir);

/// Whether a program in `programDir` runs from its build tree (a
/// CMakeCache.txt in that folder or the one above it) or from a portable
/// folder (a file "portable.txt" beside the program).
bool runsInPlace(const QString &programDir);

/// Width of a worksheet column, in characters, for a table column shown
/// `pixels` wide on screen: pixels / 6, truncated.
int workbookColumnWidth(int pixels);

/// Writes `model` to `path` as an xlsx workbook (always xlsx, whatever the
/// suffix). Each worksheet holds: `title` in A1, merged across the table's
/// columns, 18 pt, wrapped, centred both ways, row height 30; the horizontal
/// headers in row 2, bold on RGB(191,191,191), centred; the rows' display
/// texts from row 3 on, every value as a string; thin black borders around
/// every header and data cell; rows 2 onwards 20 high; column c as wide as
/// workbookColumnWidth(columnWidths[c]) (a missing entry counts as 100 px).
///
/// Rows that do not fit on one worksheet (`sheetRowLimit` rows including title
/// and header) continue on further worksheets, each with title and header.
/// Rows are written in order in constant memory, so any size can be written.
///
/// Returns false, with a readable reason in `error`, when the workbook could
/// not be saved completely; a file already at `path` is kept then and no
/// partial file is left behind (the workbook is written beside it first).
bool writeTableWorkbook(const QAbstractItemModel &model, const QString &title,
                        const QVector<int> &columnWidths, const QString &path,
                        QString *error = nullptr, int sheetRowLimit = WorksheetRowLimit);
