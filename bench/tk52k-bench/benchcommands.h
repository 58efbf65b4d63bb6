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
