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
    ~ExportProgressScope();
    ExportProgressScope(const ExportProgressScope &) = delete;
    ExportProgressScope &operator=(const ExportProgressScope &) = delete;

private:
    std::function<bool(qint64, qint64)> m_report;
    ExportProgressScope *m_outer;
};

/// Rows between two reports.
constexpr int kExportStepRows = 4096;

/// Reports `done` of `total` rows to the innermost scope of this thread;
/// false when the export is to stop.
bool exportStep(qint64 done, qint64 total);
