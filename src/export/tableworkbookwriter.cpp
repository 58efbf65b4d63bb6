#include "export/tableworkbookwriter.h"

#include "export/exportprogress.h"
#include "export/streamedrowtext.h"
#include "export/tabletextwriter.h"
#include "models/historytablemodel.h"

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr double TitleRowHeight = 30;
constexpr double TableRowHeight = 20;
constexpr double TitleFontSize = 18;
constexpr lxw_color_t HeaderFill = 0xBFBFBF; // RGB(191, 191, 191)
// libxlsxwriter reads 0 as "no colour"; its black is spelt apart.
constexpr lxw_color_t GridColour = LXW_COLOR_BLACK;
constexpr int DefaultPixels = 100;

struct Formats {
    lxw_format *title = nullptr;
    lxw_format *header = nullptr;
    lxw_format *cell = nullptr;
};

Formats makeFormats(lxw_workbook *book)
{
    Formats f;
    f.title = workbook_add_format(book);
    format_set_font_size(f.title, TitleFontSize);
    format_set_text_wrap(f.title);
    format_set_align(f.title, LXW_ALIGN_CENTER);
    format_set_align(f.title, LXW_ALIGN_VERTICAL_CENTER);

    f.header = workbook_add_format(book);
    format_set_bold(f.header);
    format_set_pattern(f.header, LXW_PATTERN_SOLID);
    format_set_bg_color(f.header, HeaderFill);
    format_set_align(f.header, LXW_ALIGN_CENTER);
    format_set_align(f.header, LXW_ALIGN_VERTICAL_CENTER);
    format_set_border(f.header, LXW_BORDER_THIN);
    format_set_border_color(f.header, GridColour);

    f.cell = workbook_add_format(book);
    format_set_border(f.cell, LXW_BORDER_THIN);
    format_set_border_color(f.cell, GridColour);
    return f;
}

// Keeps the first failure of a run of libxlsxwriter calls.
struct Status {
    lxw_error first = LXW_NO_ERROR;
    void operator+=(lxw_error e)
    {
        if (first == LXW_NO_ERROR)
            first = e;
    }
};

} // namespace

QString printWorkingFile()
{
    return printWorkingFile(QCoreApplication::applicationDirPath());
}

QString printWorkingFile(const QString &programDir)
{
    // An installed program's folder (/usr/bin, Program Files) is no place for
    // a user's file, even where it may write there: as root it would stay
    // behind after the package is gone.
    if (runsInPlace(programDir) && QFileInfo(programDir).isWritable())
        return programDir + QStringLiteral("/111.xlsx");
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(dir);
    return dir + QStringLiteral("/111.xlsx");
}

bool runsInPlace(const QString &programDir)
{
    const QDir dir(programDir);
    return dir.exists(QStringLiteral("portable.txt")) || dir.exists(QStringLiteral("CMakeCache.txt")) ||
           dir.exists(QStringLiteral("../CMakeCache.txt"));
}

QString workbookFileName(const QString &chosen)
{
    return exportFileName(chosen, QStringLiteral("xlsx"));
}

int workbookColumnWidth(int pixels)
{
    return pixels / 6;
}

bool writeTableWorkbook(const QAbstractItemModel &model, const QString &title,
                        const QVector<int> &columnWidths, const QString &path,
                        QString *error, int sheetRowLimit)
{
    const int columns = std::max(1, model.columnCount());
    const int rows = model.rowCount();
    // Title and header take two rows of every worksheet.
    const int rowsPerSheet = std::max(1, sheetRowLimit - 2);

    // The workbook is written beside an existing file and replaces it only
    // when complete; a device (/dev/full) is written in place.
    const QFileInfo info(path);
    const bool inPlace = info.exists() && !info.isFile();
    QString target = path;
    if (!inPlace) {
        QTemporaryFile beside(path + QStringLiteral(".XXXXXX"));
        beside.setAutoRemove(false);
        if (!beside.open()) {
            if (error)
                *error = beside.errorString();
            return false;
        }
        target = beside.fileName();
    }

    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        if (!inPlace)
            QFile::remove(target);
        return false;
    };

    const QByteArray fileName = QFile::encodeName(target);
    lxw_workbook_options options = {};
    options.constant_memory = LXW_TRUE;
    options.use_zip64 = LXW_TRUE;
    // The rows wait in temporary files until the workbook is zipped, and the
    // library does not notice when writing them fails: a full /tmp gave a
    // short workbook that looked complete. Beside the workbook, a disk too
    // full for them is too full for the workbook as well, which is reported.
    const QByteArray tmpDir = QFile::encodeName(QFileInfo(target).absolutePath());
    if (!inPlace)
        options.tmpdir = const_cast<char *>(tmpDir.constData());
    lxw_workbook *book = workbook_new_opt(fileName.constData(), &options);
    if (!book)
        return fail(QStringLiteral("cannot create the workbook"));

    const Formats f = makeFormats(book);
    const QByteArray titleUtf8 = title.toUtf8();
    QVector<QByteArray> headers;
    for (int c = 0; c < columns; ++c)
        headers.append(model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString().toUtf8());

    Status status;
    bool stopped = false;
    lxw_worksheet *sheet = nullptr;
    int onSheet = 0; // table rows on the current worksheet
    // A worksheet with its title and header; the first always, the next
    // when a row does not fit on the one before.
    auto newSheet = [&]() {
        onSheet = 0;
        sheet = workbook_add_worksheet(book, nullptr);
        if (!sheet) {
            status += LXW_ERROR_MEMORY_MALLOC_FAILED;
            return false;
        }
        // Printed, the columns fit the page's width (the last no longer
        // comes on pages of its own) and the title and header rows head
        // every page. Page set-up only: the cells stay as they are.
        worksheet_fit_to_pages(sheet, 1, 0);
        status += worksheet_repeat_rows(sheet, 0, 1);
        for (int c = 0; c < columns; ++c) {
            const int px = c < columnWidths.size() ? columnWidths.at(c) : DefaultPixels;
            status += worksheet_set_column(sheet, c, c, workbookColumnWidth(px), nullptr);
        }

        status += worksheet_set_row(sheet, 0, TitleRowHeight, nullptr);
        if (columns > 1)
            status += worksheet_merge_range(sheet, 0, 0, 0, columns - 1, titleUtf8.constData(),
                                            f.title);
        else
            status += worksheet_write_string(sheet, 0, 0, titleUtf8.constData(), f.title);

        status += worksheet_set_row(sheet, 1, TableRowHeight, nullptr);
        for (int c = 0; c < columns; ++c)
            status += worksheet_write_string(sheet, 1, c, headers.at(c).constData(), f.header);
        return status.first == LXW_NO_ERROR;
    };
    // Row `r` of the table, its cells' UTF-8 texts in `cells`.
    QVector<QByteArray> cells(columns);
    auto putRow = [&](int r) {
        if (r % kExportStepRows == 0 && !exportStep(r, rows)) {
            stopped = true;
            return false;
        }
        if (onSheet == rowsPerSheet && !newSheet())
            return false;
        const lxw_row_t sheetRow = lxw_row_t(onSheet + 2);
        status += worksheet_set_row(sheet, sheetRow, TableRowHeight, nullptr);
        for (int c = 0; c < columns; ++c)
            status += worksheet_write_string(sheet, sheetRow, lxw_col_t(c), cells.at(c).constData(), f.cell);
        ++onSheet;
        return status.first == LXW_NO_ERROR;
    };

    const auto *history = qobject_cast<const HistoryTableModel *>(&model);
    if (newSheet() && history && history->canStream()) {
        // The rows as the server streams them, each cell made from the
        // row's bytes: the texts the model gives.
        using F = RangeQueries::RowBatch;
        const bool withSource = columns > HistoryTableModel::ColumnCount;
        StoredTimeTexts times;
        const bool read = history->streamRows([&](const F &batch, qint64 first) {
            for (size_t k = 0; k < batch.rows.size(); ++k) {
                const F::Row &row = batch.rows[k];
                for (QByteArray &cell : cells)
                    cell.clear();
                times.appendTable(RangeQueries::msOfUs(row.timeUs), &cells[0]);
                appendText(batch.field(row, F::Value), &cells[1]);
                appendText(batch.field(row, F::Unit), &cells[2]);
                appendText(batch.field(row, F::Function), &cells[3]);
                if (withSource)
                    appendText(batch.field(row, F::Source), &cells[4]);
                if (!putRow(int(first + qint64(k))))
                    return false;
            }
            return true;
        });
        if (!read && status.first == LXW_NO_ERROR)
            stopped = true;
    } else if (status.first == LXW_NO_ERROR) {
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < columns; ++c)
                cells[c] = model.data(model.index(r, c), Qt::DisplayRole).toString().toUtf8();
            if (!putRow(r))
                break;
        }
    }

    const lxw_error closed = workbook_close(book);
    if (stopped)
        return fail(QCoreApplication::translate("TableExport", "已取消"));
    if (status.first != LXW_NO_ERROR)
        return fail(QString::fromUtf8(lxw_strerror(status.first)));
    if (closed != LXW_NO_ERROR)
        return fail(QString::fromUtf8(lxw_strerror(closed)));
    if (!inPlace) {
        // The file beside was made private; the workbook gets the old file's
        // permissions, or those of a new file.
        QFile::setPermissions(target, info.exists() ? info.permissions()
                                                    : QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
                                                          | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);
        if (std::rename(fileName.constData(), QFile::encodeName(path).constData()) != 0)
            return fail(QString::fromLocal8Bit(std::strerror(errno)));
    }
    return true;
}
