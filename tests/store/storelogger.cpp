// Hands readings to a record store and waits to be killed: a program that
// dies while its readings still wait for the server.
//
//   storelogger COUNT FIRST-TIME
//
// Reading i (0 <= i < COUNT) has the value text i and the time FIRST-TIME
// (ISO 8601) plus i seconds. Prints "durable" once every reading is safe on
// the disk or committed.

#include "testreading.h"

#include "store/database.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int count = args.value(1).toInt();
    const QDateTime first = QDateTime::fromString(args.value(2), Qt::ISODate);
    if (count <= 0 || !first.isValid()) {
        std::fputs("usage: storelogger COUNT FIRST-TIME\n", stderr);
        return 2;
    }

    database store;
    store.openDatabase();
    TkDataDas reading;
    for (int i = 0; i < count; ++i) {
        setDcVoltReading(reading, QString::number(i), first.addSecs(i));
        store.insertRecord(&reading);
    }

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!store.isDurable())
            return;
        std::puts("durable");
        std::fflush(stdout);
        poll.stop();
    });
    poll.start(5);
    return app.exec();
}
