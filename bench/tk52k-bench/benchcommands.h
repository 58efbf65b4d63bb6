#pragma once

#include <QStringList>

/// One subcommand of tk52k-bench: gets the arguments after its name, prints
/// its figures as one JSON line on standard output, returns the exit code.
using BenchCommand = int (*)(const QStringList &args);

/// tick --points N [--ticks K]: the main window's recording tick with a
/// curve of about N points.
int runTickBench(const QStringList &args);

/// history --from T --to T: opens the history window on a range of the
/// configured database and times until its rows are shown.
int runHistoryBench(const QStringList &args);

/// fleet --writers N --rate R --seconds S: N record writers with their
/// journals in one process, R readings a second each, into one server.
int runFleetBench(const QStringList &args);
/// live --rate R --seconds S: the main window recording a virtual meter at
/// R frames a second; processor share and resident memory after a warm-up.
int runLiveBench(const QStringList &args);
/// logger --rate R --seconds S [--no-metrics]: tk52k-logger as its own
/// process on a virtual meter at R frames a second; its processor share,
/// resident memory and readings over S seconds after a warm-up.
int runLoggerBench(const QStringList &args);
