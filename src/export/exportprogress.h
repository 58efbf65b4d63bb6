#pragma once

#include <QtGlobal>

#include <functional>

/// How far a long export is, for whoever shows it. A caller that wants to
/// show the progress of an export (and let the user stop it) installs a
/// scope around it on its thread; the writers report through exportStep()
/// every few thousand rows. Without a scope exports just run.
class ExportProgressScope
{
public:
    /// `report(done, total)` returns false to stop the export; the writer
    /// then fails as it does on a write error, keeping no partial file.
    explicit ExportProgressScope(std::function<bool(qint64 done, qint64 total)> report);
    /// As above; `finished` runs once the writing is over, before the outcome
    /// is told (a progress display goes then), and `cancelled` says whether a
    /// stop was the user's own rather than a failure.
    ExportProgressScope(std::function<bool(qint64 done, qint64 total)> report, std::function<void()> finished,
                        std::function<bool()> cancelled);
    ~ExportProgressScope();
    ExportProgressScope(const ExportProgressScope &) = delete;
    ExportProgressScope &operator=(const ExportProgressScope &) = delete;

private:
    friend void exportFinished();
    friend bool exportCancelled();

    std::function<bool(qint64, qint64)> m_report;
    std::function<void()> m_finished;
    std::function<bool()> m_cancelled;
    ExportProgressScope *m_outer;
};

/// Rows between two reports.
constexpr int kExportStepRows = 4096;

/// Reports `done` of `total` rows to the innermost scope of this thread;
/// false when the export is to stop.
bool exportStep(qint64 done, qint64 total);

/// The writing of the innermost scope's export is over (whatever came of
/// it): its progress display goes before any message about the outcome.
void exportFinished();

/// Whether the innermost scope's export was stopped by the user.
bool exportCancelled();
