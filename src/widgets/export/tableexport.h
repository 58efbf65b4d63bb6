#pragma once

#include <QString>
#include <QVector>

class QAbstractItemModel;
class QAction;
class QTableView;
class QWidget;

/// The two windows word their message boxes differently: the main window uses
/// text buttons ("确定", "是"/"否"), the history window standard buttons.
enum class ExportBoxStyle { MainWindow, HistoryWindow };

/// The on-screen widths of the view's columns, in pixels, as the exports and
/// the print take them.
QVector<int> tableColumnWidths(const QTableView *view);

/// Asks for a file name and saves `model` as tab-separated text: a header line
/// "序号" + the model's horizontal headers, then one numbered line per row.
/// `parent` parents the file dialog and the open-failure warning.
void exportTableToText(const QAbstractItemModel *model, QWidget *parent, ExportBoxStyle style);

/// Asks for a file name (".csv" added when it has no suffix) and saves the
/// readings of `model` as CSV (see writeReadingsCsv()).
void exportTableToCsv(const QAbstractItemModel *model, QWidget *parent, ExportBoxStyle style);

/// Adds the action "导出CSV" right after `besides` wherever that is shown
/// (tool bars, menus), enabled whenever `besides` is; it saves the readings
/// of `model` with exportTableToCsv() in the main window's wording. The
/// action belongs to `window`.
QAction *addCsvExportAction(QAction *besides, const QAbstractItemModel *model, QWidget *window);

/// Asks for a file name and saves `model` as a formatted workbook headed by
/// `title`, column widths following `columnWidths` (pixels); then offers to
/// open the file.
void exportTableToExcel(const QAbstractItemModel *model, const QString &title,
                        const QVector<int> &columnWidths, QWidget *parent,
                        ExportBoxStyle style);

/// Builds the working workbook "111.xlsx" from `model` and prints the same
/// table on the default printer without a dialog; reports success in a
/// message box.
/// Returns whether the print was handed to the printer.
bool printTable(const QAbstractItemModel *model, const QString &title,
                const QVector<int> &columnWidths, QWidget *parent, ExportBoxStyle style);

/// Draws `model` on the default printer as the working workbook lays it out:
/// `title` above the first page, the header row on every page, columns as
/// wide as the workbook's for `columnWidths` (pixels), page numbers below.
/// The job is named `docName`. False, with nothing shown, when there is no
/// default printer. `parent` is asked to confirm prints of more than 100
/// pages (null: no question).
bool printTableModel(const QAbstractItemModel &model, const QString &title,
                     const QVector<int> &columnWidths, const QString &docName,
                     QWidget *parent = nullptr);
