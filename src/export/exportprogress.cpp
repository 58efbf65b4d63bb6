#include "export/exportprogress.h"

namespace {
thread_local ExportProgressScope *t_scope = nullptr;
thread_local const std::function<bool(qint64, qint64)> *t_report = nullptr;
} // namespace

ExportProgressScope::ExportProgressScope(std::function<bool(qint64, qint64)> report)
    : m_report(std::move(report)), m_outer(t_scope)
{
    t_scope = this;
    t_report = &m_report;
}

ExportProgressScope::ExportProgressScope(std::function<bool(qint64, qint64)> report,
                                         std::function<void()> finished, std::function<bool()> cancelled)
    : ExportProgressScope(std::move(report))
{
    m_finished = std::move(finished);
    m_cancelled = std::move(cancelled);
}

ExportProgressScope::~ExportProgressScope()
{
    t_scope = m_outer;
    t_report = m_outer ? &m_outer->m_report : nullptr;
}

bool exportStep(qint64 done, qint64 total)
{
    return !t_report || !*t_report || (*t_report)(done, total);
}

void exportFinished()
{
    if (t_scope && t_scope->m_finished) {
        // Once: the outcome is told after it, never under it.
        const auto finished = std::move(t_scope->m_finished);
        t_scope->m_finished = nullptr;
        finished();
    }
}

bool exportCancelled()
{
    return t_scope && t_scope->m_cancelled && t_scope->m_cancelled();
}
