#include "headlesslogger.h"
#include "loggerlog.h"
#include "metricsserver.h"

#include "core/app/signalquitter.h"
#include "core/app/uilanguage.h"
#include "core/meter/baseunit.h"
#include "core/meter/metersession.h"
#include "core/store/dbsettings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cmath>
#include <cstdio>
#include <optional>

namespace {
const char *const kDescription =
    "Logs the meter on DEVICE into the PostgreSQL table the desktop program uses, without a\n"
    "window. The database comes from TK52K_DB_HOST, TK52K_DB_PORT, TK52K_DB_NAME,\n"
    "TK52K_DB_USER and TK52K_DB_PASSWORD (as a service, the password is better given as the\n"
    "credential db-password); readings waiting for it are kept in a journal\n"
    "(TK52K_SPOOL_DIR) and written at the next start. The run outlives a silent meter and\n"
    "a port that goes away: the port is reopened every 2 s until it is back.\n"
    "\n"
    "One line per event goes to stderr: where it logs, the meter, its port or the server\n"
    "lost and back, alarms, readings not safe on the disk, and every minute where the\n"
    "readings went (taken = written + waiting + quarantined + not stored, the first\n"
    "reading of each range being shown but never stored). Where stderr is the systemd\n"
    "journal, lines carry their priority (<3> error, <4> warning, <6> info); under systemd\n"
    "the logger also reports READY, STATUS and WATCHDOG. --metrics serves the same figures\n"
    "to Prometheus. SIGTERM or SIGINT ends it.\n"
    "\n"
    "Exit status:\n"
    "  0  ended by SIGTERM/SIGINT; every reading is written or kept in the journal\n"
    "  1  ended, but readings could not be kept safe on the disk (see the last lines)\n"
    "  2  bad arguments\n"
    "  3  the port could not be opened at the start\n"
    "  4  unusable database settings, or no PostgreSQL driver";

int usage(const QString &message)
{
    LoggerLog::error(message + QStringLiteral(" (tk52k-logger --help lists the options)"));
    return ExitUsage;
}

// The bytes of the last --source value as the shell passed them: the
// parser's text has been through the locale's decoding, which turns bytes
// that are not UTF-8 into replacement characters.
QByteArray rawSource(int argc, char *argv[])
{
    QByteArray value;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--")
            break;
        if (arg == "--source" && i + 1 < argc)
            value = argv[++i];
        else if (arg.startsWith("--source="))
            value = arg.mid(int(sizeof "--source=") - 1);
    }
    return value;
}

// A logger on a small board wakes for every frame; two things in the
// platform's defaults cost more than the reading itself. Without TZ the C
// library looks at /etc/localtime again at every conversion to local time,
// that is at every reading; named once, the zone is read once (a zone
// changed by hand is taken at the next start, as by the other services).
// And the plain event dispatcher does the same work as GLib's, more cheaply.
void settleRunTimeDefaults()
{
#if defined(__GLIBC__)
    if (!qEnvironmentVariableIsSet("TZ") && QFileInfo::exists(QStringLiteral("/etc/localtime")))
        qputenv("TZ", ":/etc/localtime");
#endif
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}
} // namespace

int main(int argc, char *argv[])
{
    settleRunTimeDefaults();
    LoggerLog::install();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tk52k"));
    QCoreApplication::setOrganizationName(QStringLiteral("tk52k"));
    // The core's own texts (the session's port errors) are Chinese at the
    // source; the logger's lines are English.
    const QString translationProblem = installTranslations(&app, UiLanguage::English);

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.addHelpOption();
    // The version names this program, not the application (whose name picks
    // the journal's folder).
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Displays version information."));
    parser.addOption(version);
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("The meter's serial port: a name such as ttyUSB0 or a device path."),
        QStringLiteral("DEVICE"));
    const QCommandLineOption interval(
        QStringLiteral("interval"),
        QStringLiteral("Record every frame (auto, the default) or one every SECONDS (1-3600)."),
        QStringLiteral("SECONDS|auto"));
    const QCommandLineOption source(
        QStringLiteral("source"),
        QStringLiteral("The meter's name in the source column (default: TK52K_SOURCE, else HOST:PORT)."),
        QStringLiteral("NAME"));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("No status line every minute."));
    const QCommandLineOption low(
        QStringLiteral("alarm-low"),
        QStringLiteral(
            "Raise an alarm below X, in the function's base unit (V, A, Ohm, F, Hz) on every range: "
            "2.5 or 2.5V, 550mV. A limit with a unit watches only that quantity."),
        QStringLiteral("X"));
    const QCommandLineOption high(QStringLiteral("alarm-high"),
                                  QStringLiteral("Raise an alarm above Y, in the base unit likewise."),
                                  QStringLiteral("Y"));
    const QCommandLineOption hysteresis(
        QStringLiteral("hysteresis"),
        QStringLiteral("How far back inside a limit a value must come to clear its alarm, in the base unit "
                       "likewise (default 0)."),
        QStringLiteral("H"));
    const QCommandLineOption metrics(
        QStringLiteral("metrics"),
        QStringLiteral("Serve the logger's health to Prometheus on http://ADDRESS:PORT/metrics; a PORT alone "
                       "listens on 127.0.0.1 only (default: no metrics)."),
        QStringLiteral("[ADDRESS:]PORT"));
    parser.addOptions({port, interval, source, quiet, low, high, hysteresis, metrics});
    if (!parser.parse(QCoreApplication::arguments()))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return ExitClean;
    }
    if (parser.isSet(version)) {
        std::puts("tk52k-logger " TK52K_VERSION);
        return ExitClean;
    }
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    LoggerOptions options;
    options.port = parser.value(port).trimmed();
    if (options.port.isEmpty())
        return usage(QStringLiteral("--port DEVICE is required"));
    if (parser.isSet(interval) &&
        !parseSamplingInterval(parser.value(interval), &options.automatic, &options.seconds))
        return usage(QStringLiteral("--interval wants auto or whole seconds from 1 to 3600, not \"%1\"")
                         .arg(parser.value(interval)));
    // A name is stored as it is given, or not at all.
    if (parser.isSet(source)) {
        QString name;
        const QString problem =
            DbSettings::meterNameProblem(QStringLiteral("--source"), rawSource(argc, argv), &name);
        if (!problem.isEmpty())
            return usage(problem);
        options.source = name;
        if (options.source.isEmpty())
            return usage(QStringLiteral("--source wants a name"));
    }
    const QString sourceProblem = DbSettings::fromEnvironment().sourceProblem;
    if (!sourceProblem.isEmpty())
        return usage(sourceProblem);
    options.quiet = parser.isSet(quiet);
    // The limits hold in the base unit whatever range the meter shows;
    // units written with them must agree.
    const auto quantity = [&](const QCommandLineOption &option, std::optional<double> *value) {
        double v = 0;
        QString unit;
        if (!parseQuantity(parser.value(option), &v, &unit))
            return QStringLiteral("--%1 wants a number, with a unit such as V or mV if you like, not \"%2\"")
                .arg(option.names().first(), parser.value(option));
        if (!unit.isEmpty() && !options.alarm.unit.isEmpty() && unit != options.alarm.unit) {
            *value = v;
            return QStringLiteral("--%1 is in %2, another limit in %3")
                .arg(option.names().first(), unit, options.alarm.unit);
        }
        if (!unit.isEmpty())
            options.alarm.unit = unit;
        *value = v;
        return QString();
    };
    for (const auto &[option, limit] :
         {std::pair{&low, &options.alarm.low}, std::pair{&high, &options.alarm.high}}) {
        if (!parser.isSet(*option))
            continue;
        const QString problem = quantity(*option, limit);
        if (!problem.isEmpty())
            return usage(problem);
    }
    if (parser.isSet(hysteresis)) {
        std::optional<double> h;
        const QString problem = quantity(hysteresis, &h);
        if (!problem.isEmpty() && h)
            return usage(problem); // a unit other than the limits'
        if (!h || *h < 0)
            return usage(QStringLiteral("--hysteresis wants a number of at least 0, not \"%1\"")
                             .arg(parser.value(hysteresis)));
        if (options.alarm.isEmpty())
            return usage(QStringLiteral("--hysteresis needs --alarm-low or --alarm-high"));
        options.alarm.hysteresis = *h;
    }
    if (!options.alarm.isValid() && !options.alarm.isEmpty())
        return usage(QStringLiteral("--alarm-low must lie below --alarm-high"));
    if (parser.isSet(metrics) &&
        !MetricsServer::parseAddress(parser.value(metrics), &options.metricsHost, &options.metricsPort))
        return usage(QStringLiteral("--metrics wants PORT, ADDRESS:PORT or [IPv6]:PORT, not \"%1\"")
                         .arg(parser.value(metrics)));

    if (!translationProblem.isEmpty())
        LoggerLog::warning(translationProblem);
    // The service hands the password over as a credential; one left in the
    // environment is readable by every process of the service's user.
    if (qEnvironmentVariableIsSet("CREDENTIALS_DIRECTORY") && qEnvironmentVariableIsSet("TK52K_DB_PASSWORD"))
        LoggerLog::warning(
            QStringLiteral("TK52K_DB_PASSWORD is in the environment, where other processes can read "
                           "it; it is used, but its place is the credential db-password "
                           "(/etc/tk52k-logger/db-password)"));

    // SIGTERM and SIGINT leave through the event loop, so finish() can write
    // or journal what waits for the database.
    SignalQuitter quitter;
    HeadlessLogger logger(options);
    const int started = logger.start();
    if (started != ExitClean) {
        logger.finish();
        return started;
    }
    app.exec();
    return logger.finish();
}
