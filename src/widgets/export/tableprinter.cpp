// Printing: the table is drawn on the default printer in the layout of the
// working workbook written beside it (title, grey header, grid, the
// workbook's column widths), standing in for handing that file to a
// spreadsheet application's print verb.
#include "widgets/export/tableexport.h"

#include "export/exportprogress.h"
#include "export/tablepagelayout.h"
#include "export/tableworkbookwriter.h"

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QFontMetricsF>
#include <QMessageBox>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>

#include <algorithm>

namespace {

// Heights in points, as in the workbook.
constexpr double TitleHeight = 30;
constexpr double RowHeight = 20;
constexpr double FooterHeight = 24;
constexpr int ConfirmAbovePages = 100;
constexpr int MinTextSize = 6;

constexpr int DefaultPixels = 100;

// A column shown `pixels` wide on screen, as wide in points as the workbook
// column a spreadsheet shows: its width in characters of 7 pixels plus the
// 5 pixels of padding every column gets.
double widthInPoints(int pixels)
{
    const int characters = workbookColumnWidth(pixels);
    return characters <= 0 ? 0.0 : (characters * 7 + 5) * 0.75;
}

// The painter works in points, so a size in pixels is a size in points here
// (a point size would be scaled by the printer's resolution a second time).
QFont tableFont(int points, bool bold)
{
    QFont font;
    // TrueType faces (Latin, then CJK): print pipelines that turn the pages
    // into PostScript keep their text searchable, while CFF-based faces come
    // out as glyph pictures there.
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("WenQuanYi Zen Hei"),
                      QStringLiteral("宋体"), QStringLiteral("Noto Sans CJK SC")});
    font.setPixelSize(points);
    font.setBold(bold);
    return font;
}

} // namespace

bool printTableModel(const QAbstractItemModel &model, const QString &title,
                     const QVector<int> &columnWidths, const QString &docName, QWidget *parent)
{
    const QString printerName = QPrinterInfo::defaultPrinterName();
    if (printerName.isEmpty())
        return false;

    QPrinter printer(QPrinterInfo::printerInfo(printerName), QPrinter::HighResolution);
    // Without a print server QPrinter quietly turns into a PDF writer; that
    // is not a print.
    if (printer.outputFormat() != QPrinter::NativeFormat || printer.printerName() != printerName)
        return false;
    printer.setDocName(docName);

    const QRectF page = printer.pageLayout().paintRect(QPageLayout::Point);
    const double bodyHeight = page.height() - FooterHeight;
    const QVector<TablePage> pages =
        layoutTablePages(model.rowCount(), bodyHeight, TitleHeight, RowHeight);

    if (parent && pages.size() > ConfirmAbovePages) {
        const auto answer = QMessageBox::question(
            parent, QCoreApplication::translate("TablePrinter", "打印"),
            QCoreApplication::translate("TablePrinter", "将要打印 %1 页，是否继续？").arg(pages.size()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return false;
    }

    const int columns = std::max(1, model.columnCount());
    QVector<double> widths;
    double total = 0;
    for (int c = 0; c < columns; ++c) {
        widths.append(widthInPoints(c < columnWidths.size() ? columnWidths.at(c) : DefaultPixels));
        total += widths.last();
    }
    // A table wider than the paper is narrowed to fit rather than cut off.
    const double shrink = total > page.width() ? page.width() / total : 1.0;
    for (double &w : widths)
        w *= shrink;
    total *= shrink;

    QPainter painter;
    if (!painter.begin(&printer))
        return false;
    // Draw in points from the top left of the printable area.
    const double scale = printer.resolution() / 72.0;
    painter.scale(scale, scale);

    const QFont titleFont = tableFont(18, false);
    const QFont headerFont = tableFont(11, true);
    const QFont cellFont = tableFont(11, false);
    const QPen grid(Qt::black, 0.5);
    const QColor headerFill(191, 191, 191);

    QStringList headers;
    for (int c = 0; c < columns; ++c)
        headers.append(model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
    auto rowTexts = [&](int r) {
        QStringList cells;
        for (int c = 0; c < columns; ++c)
            cells.append(model.data(model.index(r, c), Qt::DisplayRole).toString());
        return cells;
    };

    auto drawRow = [&](double y, const QStringList &cells, bool header) {
        double x = 0;
        for (int c = 0; c < widths.size(); ++c) {
            const QRectF cell(x, y, widths.at(c), RowHeight);
            if (header)
                painter.fillRect(cell, headerFill);
            painter.setPen(grid);
            painter.drawRect(cell);
            const int align = header ? Qt::AlignCenter : Qt::AlignLeft | Qt::AlignVCenter;
            const QString text = c < cells.size() ? cells.at(c) : QString();
            const QRectF inner = cell.adjusted(2, 0, -2, 0);
            // On paper a cut-off value is lost for good: a text too wide for
            // its column is set smaller until it fits.
            const QFont &base = header ? headerFont : cellFont;
            QFont fitted = base;
            while (fitted.pixelSize() > MinTextSize
                   && QFontMetricsF(fitted).horizontalAdvance(text) > inner.width())
                fitted.setPixelSize(fitted.pixelSize() - 1);
            painter.setFont(fitted);
            painter.drawText(inner, align | Qt::TextSingleLine, text);
            x += widths.at(c);
        }
    };

    for (int p = 0; p < pages.size(); ++p) {
        if (p > 0 && !printer.newPage()) {
            painter.end();
            return false;
        }
        const TablePage &tp = pages.at(p);
        // Stopped between pages: what went to the printer stays a whole page.
        if (!exportStep(tp.firstRow, model.rowCount())) {
            printer.abort();
            return false;
        }
        double y = 0;
        if (tp.withTitle) {
            painter.setFont(titleFont);
            painter.setPen(Qt::black);
            painter.drawText(QRectF(0, 0, total, TitleHeight),
                             Qt::AlignCenter | Qt::TextWordWrap, title);
            y += TitleHeight;
        }
        drawRow(y, headers, true);
        y += RowHeight;
        for (int r = tp.firstRow; r < tp.firstRow + tp.rowCount; ++r) {
            drawRow(y, rowTexts(r), false);
            y += RowHeight;
        }
        painter.setFont(cellFont);
        painter.setPen(Qt::black);
        painter.drawText(
            QRectF(0, page.height() - FooterHeight, page.width(), FooterHeight), Qt::AlignCenter,
            QCoreApplication::translate("TablePrinter", "第 %1 页，共 %2 页").arg(p + 1).arg(pages.size()));
    }
    return painter.end();
}
