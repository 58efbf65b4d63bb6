// tk52k-print: prints the stored readings of a time range on the default
// printer, as the history window's print does. tk52k-export hands it its
// --format print; it takes the same arguments.
#include "../tk52k-export/exportrequest.h"

#include "export/exportprogress.h"
#include "export/tableworkbookwriter.h"
#include "models/historytablemodel.h"
#include "widgets/export/tableexport.h"

#include <QApplication>
#include <QFileInfo>
#include <QPrinterInfo>

#include <algorithm>
#include <cstdio>

namespace {
const char *const kProgram = "tk52k-print";

int fail(const QString &message, int status = 1)
{
    return exportFailure(kProgram, message, status);
}
} // namespace

int main(int argc, char *argv[])
{
    // Pages are drawn, so this needs a GUI application; with no display the
    // offscreen platform serves, as nothing is shown. (Windows always has its
    // desktop, and Qt's offscreen platform draws no text there.)
#ifndef Q_OS_WIN
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    const QApplication app(argc, argv);
    // The user's data folder is the window's: an installed tool prints from
    // the same working file.
    QCoreApplication::setOrganizationName(QStringLiteral("tk52k"));
    QCoreApplication::setApplicationName(QStringLiteral("tk52k"));
    ExportRequest request;
    QString error;
    bool help = false;
    QStringList arguments = QCoreApplication::arguments();
    // Called on its own, it prints whatever format is named or not.
    const bool named = std::any_of(arguments.cbegin(), arguments.cend(), [](const QString &a) {
        return a == QLatin1String("--format") || a.startsWith(QLatin1String("--format="));
    });
    if (!named)
        arguments << QStringLiteral("--format") << QStringLiteral("print");
    if (!ExportRequest::parse(arguments, &request, &error, &help)) {
        if (!help)
            return fail(error, 2);
        std::printf("%s", qPrintable(error));
        return 0;
    }
    if (request.format != QLatin1String("print"))
        return fail(QStringLiteral("tk52k-print only prints; tk52k-export writes files"), 2);

    const QString printer = QPrinterInfo::defaultPrinterName();
    if (printer.isEmpty())
        return fail(QStringLiteral("there is no default printer"));

    RequestedRange range;
    if (const int status = openRequestedRange(kProgram, request, &range))
        return status;

    const HistoryTableModel &model = *range.model;
    const ExportProgressScope stopOnError([&model](qint64, qint64) { return model.readError().isEmpty(); });
    const QString title = QStringLiteral("数据记录");
    const QVector<int> widths(HistoryTableModel::ColumnCount, 100);
    const QString path = printWorkingFile();
    QString why;
    if (!writeTableWorkbook(model, title, widths, path, &why))
        return fail(QStringLiteral("cannot write %1: %2").arg(path, why));
    if (!printTableModel(model, title, widths, QFileInfo(path).fileName()))
        return fail(QStringLiteral("printing on %1 failed").arg(printer));
    std::printf("%s: %d rows sent to the printer %s\n", kProgram, model.rowCount(), qPrintable(printer));
    return 0;
}
