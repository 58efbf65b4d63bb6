// tk52k-bench history --from T --to T: opens the history window on a range of
// the configured database (TK52K_DB_*) and reports how long the rows took to
// appear in the table and the curve, and the peak memory. The yardstick is
// psql fetching the same rows and columns into a file (-At), run once to warm
// the server's cache, then timed just before and just after the window.
#include "benchutil.h"
#include "benchcommands.h"

#include "models/historytablemodel.h"
#include "widgets/history/hisviewform.h"
#include "widgets/resources/resources.h"
#include "core/store/dbsettings.h"
#include "core/store/recordschema.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QSqlDatabase>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

// The statement the window's load runs, as a plain select.
QString historySelect(const DbSettings &settings, const QDateTime &from, const QDateTime &to)
{
    RecordSchema::TableShape shape;
    const QString name = QStringLiteral("tk52k-bench-history-probe");
    {
        QSqlDatabase db = settings.addConnection(name);
        if (db.open())
            RecordSchema::probe(db, &shape);
    }
    QSqlDatabase::removeDatabase(name);
    return QStringLiteral("select create_time, datavaluestr, unitstr, funcstr, frastr%1 from invoice "
                          "where create_time >= '%2' and create_time < '%3' order by create_time%4")
        .arg(shape.hasSource ? QStringLiteral(", source") : QString(), RecordSchema::timeText(from),
             RecordSchema::timeText(to.addSecs(1)), shape.hasId ? QStringLiteral(", id") : QString());
}

// Milliseconds psql takes to fetch `select` into `file`; -1 when it fails.
qint64 psqlFetchMs(const DbSettings &settings, const QString &select, const QString &file)
{
    QProcess psql;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PGPASSWORD"), settings.password);
    psql.setProcessEnvironment(env);
    psql.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    psql.start(QStringLiteral("psql"),
               {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-At"), QStringLiteral("-h"),
                settings.host, QStringLiteral("-p"), QString::number(settings.port), QStringLiteral("-U"),
                settings.userName, QStringLiteral("-d"), settings.databaseName, QStringLiteral("-o"), file,
                QStringLiteral("-c"), select});
    if (!psql.waitForFinished(-1) || psql.exitStatus() != QProcess::NormalExit || psql.exitCode() != 0)
        return -1;
    return clock.elapsed();
}

} // namespace

int runHistoryBench(const QStringList &arguments)
{
    initTk52kResources();
    installFontSubstitutions();
    const QStringList args = QStringList{QStringLiteral("history")} + arguments;
    QCommandLineParser parser;
    const QCommandLineOption fromOption(QStringLiteral("from"), QStringLiteral("range start"),
                                        QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QCommandLineOption toOption(QStringLiteral("to"), QStringLiteral("range stop"),
                                      QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    parser.addOption(fromOption);
    parser.addOption(toOption);
    if (!parser.parse(args)) {
        std::fprintf(stderr, "tk52k-bench history: %s\n", qPrintable(parser.errorText()));
        return 2;
    }

    const QString format = QLatin1String(RecordSchema::kTimeFormat);
    const QDateTime from = QDateTime::fromString(parser.value(fromOption), format);
    const QDateTime to = QDateTime::fromString(parser.value(toOption), format);
    if (!from.isValid() || !to.isValid()) {
        std::fputs("tk52k-bench history: --from and --to take \"yyyy-MM-dd HH:mm:ss\"\n", stderr);
        return 2;
    }

    const DbSettings settings = DbSettings::fromEnvironment();
    const QString select = historySelect(settings, from, to);
    QTemporaryDir dir;
    const QString fetched = dir.filePath(QStringLiteral("psql.txt"));
    psqlFetchMs(settings, select, fetched);
    const qint64 psqlBeforeMs = psqlFetchMs(settings, select, fetched);

    QElapsedTimer clock;
    clock.start();
    HisViewForm view;
    view.show();
    QApplication::processEvents();
    const qint64 windowMs = clock.elapsed();
    view.loadRange(settings, from, to);
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!view.isLoading())
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    const qint64 readMs = clock.elapsed();
    // Count the first full paint of the table and the curve as part of opening.
    view.repaint();
    QApplication::processEvents();
    const qint64 loadMs = clock.elapsed();

    const HistoryTableModel *model = view.historyModel();
    const qint64 storage = model->rows() ? model->rows()->storageBytes() : 0;
    const double peakMb = peakRssMb();
    const qint64 cpuMs = processCpuMs();

    const qint64 psqlAfterMs = psqlFetchMs(settings, select, fetched);
    const double psqlMs = (psqlBeforeMs + psqlAfterMs) / 2.0;
    const bool psqlOk = psqlBeforeMs >= 0 && psqlAfterMs >= 0;
    printJsonLine(
        QStringLiteral("{\"bench\":\"history\",\"rows\":%1,\"load_ms\":%2,\"peak_rss_mb\":%3,"
                       "\"window_ms\":%6,\"cpu_ms\":%7,\"read_ms\":%4,\"storage_bytes_per_row\":%5,"
                       "\"psql_ms\":[%8,%9],\"load_per_psql\":%10}")
            .arg(model->rowCount())
            .arg(loadMs)
            .arg(peakMb, 0, 'f', 1)
            .arg(readMs)
            .arg(model->rowCount() ? double(storage) / model->rowCount() : 0.0, 0, 'f', 1)
            .arg(windowMs)
            .arg(cpuMs)
            .arg(psqlBeforeMs)
            .arg(psqlAfterMs)
            .arg(psqlOk && psqlMs > 0 ? QString::number(loadMs / psqlMs, 'f', 2) : QStringLiteral("null")));
    return 0;
}
