#include "benchutil.h"

#include <QFile>

#include <cstdio>
#include <ctime>

namespace {

// A "Vm…:" figure of /proc/self/status in MiB, -1 when there is none.
double statusMb(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1.0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1.0;
}

} // namespace

double peakRssMb()
{
    return statusMb("VmHWM:");
}

double residentMb()
{
    return statusMb("VmRSS:");
}

qint64 processCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void printJsonLine(const QString &json)
{
    std::fputs(json.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
