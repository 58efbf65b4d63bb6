#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include "core/store/historyreads.h"

#include <memory>

class HistoryTableModel;
class database;

/// What tk52k-export (and tk52k-print, to which it hands its prints) is
/// asked for on its command line.
struct ExportRequest
{
    QDateTime from;
    QDateTime to;
    QString format; ///< txt, csv, xlsx, print or stats
    QString output; ///< empty: standard output (txt, csv)
    QString source; ///< null: every meter
    /// --build-summaries: make or complete the table's summaries instead of
    /// exporting (no range, format or output then).
    bool buildSummaries = false;

    /// Reads `arguments` (the program's name first). On a bad or missing
    /// argument returns false with the reason in `error`; `help` is set when
    /// --help or --version was asked for, with the text in `error`.
    static bool parse(const QStringList &arguments, ExportRequest *request, QString *error, bool *help);
};

/// Prints "`program`: `message`" on standard error and returns `status`.
int exportFailure(const char *program, const QString &message, int status = 1);

/// The range a request names, opened for reading.
struct RequestedRange
{
    RequestedRange();
    ~RequestedRange();
    std::unique_ptr<database> store;
    std::shared_ptr<HistoryReads::OverviewRead> overview;
    /// Its rows, read as a writer comes to them.
    std::unique_ptr<HistoryTableModel> model;
};

/// Opens the range `request` names in the database of the TK52K_DB_*
/// variables, as the history window reads it. Returns 0 with `opened`
/// filled, or, after the reason went to standard error, the exit status: 4
/// for settings that cannot be used (as in the logger; no database is read
/// then), 1 when the read failed. `streamOnly`: the rows are all that is
/// wanted, streamed once; they are not counted first (the overview then
/// holds the table only, and the model counts the rows it streamed).
int openRequestedRange(const char *program, const ExportRequest &request, RequestedRange *opened,
                       bool streamOnly = false);
