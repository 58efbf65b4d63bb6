// tk52k-export: writes or prints the stored readings of a time range, for
// scheduled reports. Same table, same writers and same print as the history
// window: four columns of 100 pixels, titled "数据记录".
#include "export/readingcsvwriter.h"
#include "export/tableexport.h"
#include "export/tabletextwriter.h"
#include "export/tableworkbookwriter.h"
#include "history/historyloader.h"
#include "history/historystatistics.h"
#include "history/historytablemodel.h"
#include "store/dbsettings.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QFileInfo>
#include <QPrinterInfo>

#include <cstdio>
#include <memory>

namespace {

const char *const TimeFormat = "yyyy-MM-dd HH:mm:ss";

int fail(const QString &message, int status = 1)
{
    std::fprintf(stderr, "tk52k-export: %s\n", qPrintable(message));
    return status;
}

void say(const QString &message)
{
    std::printf("tk52k-export: %s\n", qPrintable(message));
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Exports or prints the readings stored between two times. The database "
                       "is the program's, changed by the TK52K_DB_* variables."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("from"), QStringLiteral("First time, \"yyyy-MM-dd HH:mm:ss\"."),
                      QStringLiteral("time")});
    parser.addOption({QStringLiteral("to"), QStringLiteral("Last time, \"yyyy-MM-dd HH:mm:ss\"."),
                      QStringLiteral("time")});
    parser.addOption({QStringLiteral("source"),
                      QStringLiteral("Only the readings of this meter (its TK52K_SOURCE name)."),
                      QStringLiteral("name")});
    parser.addOption({QStringLiteral("format"), QStringLiteral("txt, csv, xlsx, print or stats."),
                      QStringLiteral("format")});
    parser.addOption({QStringLiteral("output"),
                      QStringLiteral("File to write (txt and csv: standard output when left out)."),
                      QStringLiteral("file")});
    if (!parser.parse(args))
        return fail(parser.errorText(), 2);

    // The help text names the program from the application object.
    if (parser.isSet(QStringLiteral("help"))) {
        const QCoreApplication app(argc, argv);
        std::printf("%s", qPrintable(parser.helpText()));
        return 0;
    }

    const QDateTime from = QDateTime::fromString(parser.value(QStringLiteral("from")), TimeFormat);
    const QDateTime to = QDateTime::fromString(parser.value(QStringLiteral("to")), TimeFormat);
    const QString format = parser.value(QStringLiteral("format"));
    QString output = parser.value(QStringLiteral("output"));
    if (!from.isValid() || !to.isValid())
        return fail(QStringLiteral("--from and --to need times as \"yyyy-MM-dd HH:mm:ss\""), 2);
    if (from > to)
        return fail(QStringLiteral("--from lies after --to"), 2);
    if (format != QLatin1String("txt") && format != QLatin1String("csv") && format != QLatin1String("xlsx")
        && format != QLatin1String("print") && format != QLatin1String("stats"))
        return fail(QStringLiteral("--format must be txt, csv, xlsx, print or stats"), 2);
    if (format == QLatin1String("xlsx") && output.isEmpty())
        return fail(QStringLiteral("--format xlsx needs --output"), 2);
    if (format == QLatin1String("print") && !output.isEmpty())
        return fail(QStringLiteral("--output is not used with --format print"), 2);

    // Printing draws pages and needs a GUI application; with no display the
    // offscreen platform serves, as nothing is shown.
    std::unique_ptr<QCoreApplication> app;
    if (format == QLatin1String("print")) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
            && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }

    HistoryLoadControl control;
    if (parser.isSet(QStringLiteral("source")))
        control.source = parser.value(QStringLiteral("source"));
    const HistoryLoadResult loaded = loadHistoryRange(DbSettings::fromEnvironment(), from, to, control);
    if (loaded.status != HistoryLoadResult::Loaded)
        return fail(QStringLiteral("cannot read the readings: %1").arg(loaded.error));

    if (format == QLatin1String("stats")) {
        // The first row's quantity, as the history curve shows it.
        std::printf("%s\n", HistoryStatistics::ofFirstQuantity(*loaded.rows).toJson().constData());
        return 0;
    }

    const HistoryTableModel model(loaded.rows);
    const int rows = model.rowCount();
    const QString title = QStringLiteral("数据记录");
    const QVector<int> widths(HistoryTableModel::ColumnCount, 100);

    if (format == QLatin1String("txt") || format == QLatin1String("csv")) {
        const bool csv = format == QLatin1String("csv");
        const bool toStdout = output.isEmpty();
        output = toStdout ? QStringLiteral("/dev/stdout") : exportFileName(output, format);
        switch (csv ? writeReadingsCsv(model, output) : writeTableText(model, output)) {
        case TextWriteResult::OpenFailed:
            return fail(QStringLiteral("cannot open %1 for writing").arg(output));
        case TextWriteResult::WriteFailed:
            return fail(QStringLiteral("writing %1 failed; nothing was kept").arg(output));
        case TextWriteResult::Written:
            break;
        }
        if (!toStdout)
            say(QStringLiteral("%1 rows written to %2").arg(rows).arg(output));
        return 0;
    }

    if (format == QLatin1String("xlsx")) {
        const QString path = workbookFileName(output);
        QString why;
        if (!writeTableWorkbook(model, title, widths, path, &why))
            return fail(QStringLiteral("cannot write %1: %2").arg(path, why));
        say(QStringLiteral("%1 rows written to %2").arg(rows).arg(path));
        return 0;
    }

    const QString printer = QPrinterInfo::defaultPrinterName();
    if (printer.isEmpty())
        return fail(QStringLiteral("there is no default printer"));
    const QString path = printWorkingFile();
    QString why;
    if (!writeTableWorkbook(model, title, widths, path, &why))
        return fail(QStringLiteral("cannot write %1: %2").arg(path, why));
    if (!printTableModel(model, title, widths, QFileInfo(path).fileName()))
        return fail(QStringLiteral("printing on %1 failed").arg(printer));
    say(QStringLiteral("%1 rows sent to the printer %2").arg(rows).arg(printer));
    return 0;
}
