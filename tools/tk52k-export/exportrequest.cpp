#include "exportrequest.h"

#include "core/store/dbsettings.h"
#include "core/store/database.h"
#include "models/historytablemodel.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdio>

bool ExportRequest::parse(const QStringList &arguments, ExportRequest *request, QString *error, bool *help)
{
    *help = false;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Exports or prints the readings stored between two times. The database "
                       "is the program's, changed by the TK52K_DB_* variables."));
    parser.addHelpOption();
    parser.addVersionOption();
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
    parser.addOption({QStringLiteral("build-summaries"),
                      QStringLiteral("Make, repair or complete the summaries of the table that let long ranges "
                                     "open quickly (progress on standard error), then exit.")});
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        *help = true;
        *error = parser.helpText();
        return false;
    }
    // The version names the program (tk52k-export or tk52k-print).
    if (parser.isSet(QStringLiteral("version"))) {
        *help = true;
        *error = QFileInfo(arguments.value(0)).fileName() + QStringLiteral(" " TK52K_VERSION "\n");
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first());
        return false;
    }
    request->buildSummaries = parser.isSet(QStringLiteral("build-summaries"));
    if (request->buildSummaries) {
        for (const char *option : {"from", "to", "format", "output", "source"})
            if (parser.isSet(QLatin1String(option)))
                *error = QStringLiteral("--build-summaries takes no --%1").arg(QLatin1String(option));
        return error->isEmpty();
    }
    // The ends name stored wall-clock times, also those the local zone
    // skips or repeats at a clock change.
    request->from = HistoryReads::wallClockTime(parser.value(QStringLiteral("from")));
    request->to = HistoryReads::wallClockTime(parser.value(QStringLiteral("to")));
    request->format = parser.value(QStringLiteral("format"));
    request->output = parser.value(QStringLiteral("output"));
    if (parser.isSet(QStringLiteral("source")))
        request->source = parser.value(QStringLiteral("source"));
    const QString &format = request->format;
    if (!request->from.isValid() || !request->to.isValid())
        *error = QStringLiteral("--from and --to need times as \"yyyy-MM-dd HH:mm:ss\"");
    else if (HistoryReads::naiveMs(request->from) > HistoryReads::naiveMs(request->to))
        *error = QStringLiteral("--from lies after --to");
    else if (!QStringList{"txt", "csv", "xlsx", "print", "stats"}.contains(format))
        *error = QStringLiteral("--format must be txt, csv, xlsx, print or stats");
    else if (format == QLatin1String("xlsx") && request->output.isEmpty())
        *error = QStringLiteral("--format xlsx needs --output");
    else if (format == QLatin1String("print") && !request->output.isEmpty())
        *error = QStringLiteral("--output is not used with --format print");
    return error->isEmpty();
}

int exportFailure(const char *program, const QString &message, int status)
{
    std::fprintf(stderr, "%s: %s\n", program, qPrintable(message));
    return status;
}

int openRequestedRange(const char *program, const ExportRequest &request, RequestedRange *opened,
                       bool streamOnly)
{
    // A setting that cannot be used is an error, never a reason to read the
    // default database instead.
    const DbSettings settings = DbSettings::fromEnvironment();
    if (!settings.problem.isEmpty())
        return exportFailure(program, QStringLiteral("unusable database settings: %1").arg(settings.problem), 4);
    opened->store = std::make_unique<database>(settings, QString());
    if (opened->store->openForReading() != 1)
        return exportFailure(program, QStringLiteral("the PostgreSQL driver (QPSQL) is not available"), 4);
    // The history window's time limit for a lock or a statement; a scheduled
    // report that waits for a locked table says so instead of hanging mute.
    opened->overview = std::make_shared<HistoryReads::OverviewRead>(request.from, request.to, request.source);
    opened->overview->tableOnly = streamOnly;
    opened->overview->lockWait = [program](const QString &holders, int waitMs) {
        std::fprintf(stderr, "%s: the table invoice is locked by another session%s; waiting up to %d s for it\n",
                     program, holders.isEmpty() ? "" : qPrintable(QStringLiteral(": ") + holders),
                     (waitMs + 999) / 1000);
    };
    opened->store->readNow(opened->overview);
    if (opened->overview->failed())
        return exportFailure(program, QStringLiteral("cannot read the readings: %1").arg(opened->overview->error()));
    // The figures are right either way; a site that has summaries learns
    // why they were passed over and how to mend them.
    const RangeQueries::Table &table = opened->overview->table;
    if (table.exists && table.summariesIncomplete && !table.summaries)
        std::fprintf(stderr,
                     "%s: reading the rows, not the summaries: %s (%s --build-summaries mends them)\n",
                     program, qPrintable(table.summaryReason), "tk52k-export");
    if (opened->overview->unreadableTimes > 0)
        std::fprintf(stderr, "%s: %lld rows of the table invoice have a create_time that is no time (such as \"%s\"); "
                             "they are left out\n",
                     program, static_cast<long long>(opened->overview->unreadableTimes),
                     qPrintable(opened->overview->unreadableExample));
    // Every row, read from the server a block at a time as the writer
    // comes to it: nothing of the range is held in memory first.
    opened->model = std::make_unique<HistoryTableModel>();
    opened->model->setRange(opened->store.get(), opened->overview->table,
                            HistoryReads::rangeOf(request.from, request.to), request.source,
                            streamOnly ? -1 : opened->overview->rows, false);
    opened->model->setBlocking(true, 8192);
    return 0;
}

RequestedRange::RequestedRange() = default;
RequestedRange::~RequestedRange() = default;
