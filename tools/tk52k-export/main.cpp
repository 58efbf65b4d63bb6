// tk52k-export: writes the stored readings of a time range, for scheduled
// reports. Same table and same writers as the history window: four columns
// of 100 pixels, titled "数据记录". It links no Gui: prints are drawn by
// tk52k-print of the desktop package, to which --format print is handed.
#include "exportrequest.h"

#include "core/history/historystatistics.h"
#include "core/store/historyloader.h"
#include "core/store/summaryschema.h"
#include "export/readingcsvwriter.h"
#include "export/tabletextwriter.h"
#include "export/tableworkbookwriter.h"
#include "models/historytablemodel.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QStandardPaths>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

const char *const kProgram = "tk52k-export";

int fail(const QString &message, int status = 1)
{
    return exportFailure(kProgram, message, status);
}

void say(const QString &message)
{
    std::printf("%s: %s\n", kProgram, qPrintable(message));
}

// The print program beside this one (a build tree, an installed bin/), else
// on the PATH.
QString printProgram()
{
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("tk52k-print"));
    if (QFileInfo(beside).isExecutable())
        return beside;
    return QStandardPaths::findExecutable(QStringLiteral("tk52k-print"));
}

std::atomic_bool g_stop{false};

// The summaries, built where the program's table has none or incomplete
// ones. Ctrl-C stops between chunks; the next run carries on from there.
int buildSummaries()
{
    const DbSettings settings = DbSettings::fromEnvironment();
    if (!settings.problem.isEmpty())
        return fail(settings.problem);
    const QString name = QStringLiteral("tk52k-export-summaries");
    int status = 0;
    {
        QSqlDatabase db = settings.addConnection(name);
        if (!db.open()) {
            status = fail(QStringLiteral("cannot connect to the database: %1").arg(db.lastError().text().trimmed()));
        } else {
            std::signal(SIGINT, [](int) { g_stop = true; });
            std::signal(SIGTERM, [](int) { g_stop = true; });
            SummarySchema::BuildControl control;
            control.cancel = &g_stop;
            int lastPermille = -1;
            control.progress = [&lastPermille](double fraction, qint64 rows) {
                const int permille = int(fraction * 1000);
                if (permille == lastPermille)
                    return;
                lastPermille = permille;
                std::fprintf(stderr, "%s: %.1f %% (%lld rows)\n", kProgram, permille / 10.0,
                             static_cast<long long>(rows));
            };
            QString error;
            switch (SummarySchema::build(db, control, &error)) {
            case SummarySchema::BuildOutcome::Built:
                std::fprintf(stderr, "%s: the summaries are complete\n", kProgram);
                break;
            case SummarySchema::BuildOutcome::Cancelled:
                status = fail(QStringLiteral("stopped; run again to carry on"), 3);
                break;
            case SummarySchema::BuildOutcome::Failed:
                status = fail(QStringLiteral("cannot build the summaries: %1").arg(error));
                break;
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    const QCoreApplication app(argc, argv);
    ExportRequest request;
    QString error;
    bool help = false;
    if (!ExportRequest::parse(QCoreApplication::arguments(), &request, &error, &help)) {
        if (!help)
            return fail(error, 2);
        std::printf("%s", qPrintable(error));
        return 0;
    }

    if (request.buildSummaries)
        return buildSummaries();

    if (request.format == QLatin1String("print")) {
        const QString printer = printProgram();
        if (printer.isEmpty())
            return fail(QStringLiteral("printing needs tk52k-print, which comes with the desktop program (package tk52k)"));
        QProcess print;
        print.setProcessChannelMode(QProcess::ForwardedChannels);
        print.start(printer, QCoreApplication::arguments().mid(1));
        if (!print.waitForFinished(-1) || print.exitStatus() != QProcess::NormalExit)
            return fail(QStringLiteral("%1 did not finish: %2").arg(printer, print.errorString()));
        return print.exitCode();
    }

    HistoryLoadResult loaded;
    if (const int status = loadRequestedRange(kProgram, request, &loaded))
        return status;

    if (request.format == QLatin1String("stats")) {
        // The first row's quantity, as the history curve shows it.
        std::printf("%s\n", HistoryStatistics::ofFirstQuantity(*loaded.rows).toJson().constData());
        return 0;
    }

    const HistoryTableModel model(loaded.rows);
    const int rows = model.rowCount();

    if (request.format == QLatin1String("xlsx")) {
        const QString path = workbookFileName(request.output);
        QString why;
        if (!writeTableWorkbook(model, QStringLiteral("数据记录"), QVector<int>(HistoryTableModel::ColumnCount, 100),
                                path, &why))
            return fail(QStringLiteral("cannot write %1: %2").arg(path, why));
        say(QStringLiteral("%1 rows written to %2").arg(rows).arg(path));
        return 0;
    }

    const bool csv = request.format == QLatin1String("csv");
    const bool toStdout = request.output.isEmpty();
    const QString output = toStdout ? QStringLiteral("/dev/stdout") : exportFileName(request.output, request.format);
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
