// tk52k-bench history --from T --to T: opens the history window on a range of
// the configured database (TK52K_DB_*) and reports how long the rows took to
// appear in the table and the curve, and the peak memory.
#include "benchutil.h"
#include "benchcommands.h"

#include "history/historytablemodel.h"
#include "history/hisviewform.h"
#include "resources/resources.h"
#include "store/dbsettings.h"
#include "store/recordschema.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>

#include <cstdio>

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
    parser.process(args);

    const QString format = QLatin1String(RecordSchema::kTimeFormat);
    const QDateTime from = QDateTime::fromString(parser.value(fromOption), format);
    const QDateTime to = QDateTime::fromString(parser.value(toOption), format);
    if (!from.isValid() || !to.isValid()) {
        std::fputs("tk52k-bench history: --from and --to take \"yyyy-MM-dd HH:mm:ss\"\n", stderr);
        return 2;
    }

    QElapsedTimer clock;
    clock.start();
    HisViewForm view;
    view.show();
    QApplication::processEvents();
    const qint64 windowMs = clock.elapsed();
    view.loadRange(DbSettings::fromEnvironment(), from, to);
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
    printJsonLine(QStringLiteral("{\"bench\":\"history\",\"rows\":%1,\"load_ms\":%2,\"peak_rss_mb\":%3,"
                                 "\"window_ms\":%6,\"cpu_ms\":%7,\"read_ms\":%4,\"storage_bytes_per_row\":%5}")
                      .arg(model->rowCount())
                      .arg(loadMs)
                      .arg(peakRssMb(), 0, 'f', 1)
                      .arg(readMs)
                      .arg(model->rowCount() ? double(storage) / model->rowCount() : 0.0, 0, 'f', 1)
                      .arg(windowMs)
                      .arg(processCpuMs()));
    return 0;
}
