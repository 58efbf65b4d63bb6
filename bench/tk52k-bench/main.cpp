// tk52k-bench <subcommand> [options]: times one part of the program and
// prints the figures as a JSON line.
#include "benchcommands.h"

#include <QApplication>
#include <QTextStream>

#include <cstring>

namespace {
struct Subcommand
{
    const char *name;
    BenchCommand run;
    const char *usage;
};

const Subcommand kSubcommands[] = {
    {"tick", runTickBench, "tick --points N [--ticks K]"},
    {"fleet", runFleetBench, "fleet --writers N --rate R --seconds S [--compare-summaries]"},
    {"live", runLiveBench, "live --rate R --seconds S"},
    {"logger", runLoggerBench, "logger --rate R --seconds S [--no-metrics]"},
    {"history", runHistoryBench, "history --from \"yyyy-MM-dd HH:mm:ss\" --to \"yyyy-MM-dd HH:mm:ss\""},
};

int usage()
{
    QTextStream err(stderr);
    err << "usage: tk52k-bench <subcommand> [options]\n";
    for (const Subcommand &s : kSubcommands)
        err << "  " << s.usage << '\n';
    return 2;
}
} // namespace

int main(int argc, char *argv[])
{
    // The windows are built and painted off screen unless a platform is asked for.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usage();
    if (args.first() == QLatin1String("--version")) {
        QTextStream(stdout) << "tk52k-bench " TK52K_VERSION "\n";
        return 0;
    }
    for (const Subcommand &s : kSubcommands) {
        if (args.first() == QLatin1String(s.name))
            return s.run(args.mid(1));
    }
    return usage();
}
