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

ExportProgressScope::~ExportProgressScope()
{
    t_scope = m_outer;
    t_report = m_outer ? &m_outer->m_report : nullptr;
}

bool exportStep(qint64 done, qint64 total)
{
    return !t_report || !*t_report || (*t_report)(done, total);
}
