// tk52k-export: writes the stored readings of a time range, for scheduled
// reports. Same table and same writers as the history window: four columns
// of 100 pixels, titled "数据记录". It links no Gui: prints are drawn by
// tk52k-print of the desktop package, to which --format print is handed.
#include "exportrequest.h"

#include "core/app/uilanguage.h"
#include "core/history/historystatistics.h"
#include "core/meter/runstatistics.h"
#include "export/exportprogress.h"
#include "core/store/database.h"
#include "core/store/historyreads.h"
#include "export/readingcsvwriter.h"
#include "export/tabletextwriter.h"
#include "export/tableworkbookwriter.h"
#include "models/historytablemodel.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>

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
    // Looked up by name, so Windows finds tk52k-print.exe.
    const QString beside =
        QStandardPaths::findExecutable(QStringLiteral("tk52k-print"), {QCoreApplication::applicationDirPath()});
    if (!beside.isEmpty())
        return beside;
    return QStandardPaths::findExecutable(QStringLiteral("tk52k-print"));
}

// The summaries, built where the program's table has none or incomplete
// ones. Ctrl-C stops between chunks; the next run carries on from there.
int buildSummaries()
{
    const DbSettings settings = DbSettings::fromEnvironment();
    if (!settings.problem.isEmpty())
        return fail(QStringLiteral("unusable database settings: %1").arg(settings.problem), 4);
    database store(settings, QString());
    if (store.openForReading() != 1)
        return fail(QStringLiteral("the PostgreSQL driver (QPSQL) is not available"), 4);
    static std::shared_ptr<HistoryReads::BuildSummariesRead> build;
    build = std::make_shared<HistoryReads::BuildSummariesRead>();
    std::signal(SIGINT, [](int) { build->cancel(); });
    std::signal(SIGTERM, [](int) { build->cancel(); });
    int lastPermille = -1;
    build->progress = [&lastPermille](double fraction, qint64 rows) {
        const int permille = int(fraction * 1000);
        if (permille == lastPermille)
            return;
        lastPermille = permille;
        std::fprintf(stderr, "%s: %.1f %% (%lld rows)\n", kProgram, permille / 10.0, static_cast<long long>(rows));
    };
    build->announce = [](const QString &plan) {
        for (const QString &line : plan.split(QLatin1Char('\n')))
            std::fprintf(stderr, "%s: %s\n", kProgram, qPrintable(line));
        return true;
    };
    store.readNow(build);
    if (build->failed())
        return fail(QStringLiteral("cannot build the summaries: %1").arg(build->error()));
    if (!build->built)
        return fail(QStringLiteral("stopped; run again to carry on"), 3);
    std::fprintf(stderr, "%s: the summaries are complete\n", kProgram);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Its lines are English; the files keep the window's Chinese titles.
    const QString translationProblem = installEnglishReasons(&app);
    if (!translationProblem.isEmpty())
        std::fprintf(stderr, "%s: %s\n", kProgram, qPrintable(translationProblem));
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

    RequestedRange range;
    // The text, CSV and workbook exports need the rows only, streamed once
    // and counted as they come: no pass over them before.
    if (const int status =
            openRequestedRange(kProgram, request, &range, request.format != QLatin1String("stats")))
        return status;

    if (request.format == QLatin1String("stats")) {
        // The first quantity, as the history curve shows it.
        const HistoryReads::Quantity q = range.overview->quantities.value(0);
        RunStatistics figures;
        QVector<MeterRunStatistics> meters;
        if (!range.overview->quantities.isEmpty()) {
            auto read = std::make_shared<HistoryReads::StatisticsRead>(HistoryReads::rangeOf(request.from, request.to),
                                                                       request.source, q.query);
            read->table = range.overview->table;
            range.store->readNow(read);
            if (read->failed())
                return fail(QStringLiteral("cannot read the readings: %1").arg(read->error()));
            const auto figuresOf = [](const RangeQueries::Statistics &s) {
                RunStatistics f;
                f.setFigures(s.count, s.overloads, s.mean, s.stddev, s.min,
                             HistoryReads::timeOfNaiveMs(s.minMs), s.max,
                             HistoryReads::timeOfNaiveMs(s.maxMs));
                return f;
            };
            figures = figuresOf(read->statistics);
            for (const HistoryReads::MeterFigures &m : read->meters)
                meters.push_back({m.meter.source, figuresOf(m.meter.figures)});
        }
        std::printf("%s\n", statisticsJson(figures, q.query.function, q.baseUnit, meters).constData());
        return 0;
    }

    const HistoryTableModel &model = *range.model;
    // A block the server could not give stops the export: no file with rows missing.
    const ExportProgressScope stopOnError([&model](qint64, qint64) { return model.readError().isEmpty(); });

    if (request.format == QLatin1String("xlsx")) {
        const QString path = workbookFileName(request.output);
        QString why;
        if (!writeTableWorkbook(model, QStringLiteral("数据记录"), QVector<int>(HistoryTableModel::ColumnCount, 100),
                                path, &why))
            return fail(QStringLiteral("cannot write %1: %2").arg(path, model.readError().isEmpty() ? why : model.readError()));
        say(QStringLiteral("%1 rows written to %2").arg(model.streamedRows()).arg(path));
        return 0;
    }

    const bool csv = request.format == QLatin1String("csv");
    const bool toStdout = request.output.isEmpty();
    // Standard output is written as the stream it is: a save file on
    // /dev/stdout would follow the link and rename a new file over the one
    // the shell redirected to.
    const QString output = toStdout ? QString() : exportFileName(request.output, request.format);
    const QString named = toStdout ? QStringLiteral("standard output") : output;
    switch (csv ? writeReadingsCsv(model, output) : writeTableText(model, output)) {
    case TextWriteResult::OpenFailed:
        return fail(QStringLiteral("cannot open %1 for writing").arg(named));
    case TextWriteResult::WriteFailed:
        if (!model.readError().isEmpty())
            return fail(QStringLiteral("cannot read the readings: %1; nothing was kept").arg(model.readError()));
        return fail(toStdout ? QStringLiteral("writing standard output failed")
                             : QStringLiteral("writing %1 failed; nothing was kept").arg(output));
    case TextWriteResult::Written:
        break;
    }
    if (!toStdout)
        say(QStringLiteral("%1 rows written to %2").arg(model.streamedRows()).arg(output));
    return 0;
}
