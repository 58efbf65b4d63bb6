#include "storestate.h"

#include <QCoreApplication>
#include <QStringList>

namespace StoreStatus {
QString stateText(bool connected, int pending)
{
    if (connected)
        return pending > 0 ? QCoreApplication::translate("database", "数据库已连接（待写入 %1 条）").arg(pending) : QCoreApplication::translate("database", "数据库已连接");
    return QCoreApplication::translate("database", "数据库未连接（待写入 %1 条）").arg(pending);
}

QString statusText(const StoreState &s)
{
    QStringList notes;
    if (!s.settingsProblem.isEmpty())
        notes << QCoreApplication::translate("database", "设置无效：%1").arg(s.settingsProblem);
    if (!s.trouble.isEmpty())
        notes << s.trouble;
    if (s.quarantined > 0)
        notes << (s.rejectReason.isEmpty() ? QCoreApplication::translate("database", "%1 条读数被服务器拒绝").arg(s.quarantined)
                                           : QCoreApplication::translate("database", "%1 条读数被服务器拒绝：%2").arg(s.quarantined).arg(s.rejectReason));
    if (s.writing && !s.journalSafe)
        notes << QCoreApplication::translate("database", "读数未能保存到磁盘");
    if (s.damagedJournalLines > 0)
        notes << QCoreApplication::translate("database", "日志中 %1 行不是有效读数，已移出").arg(s.damagedJournalLines);
    // Readings gathered for the writer's next transaction are on their way,
    // not waiting: they count once the writer falls behind or loses the server.
    QString text = stateText(s.connected, s.connected && s.onlyGathering ? 0 : s.pending);
    if (!notes.isEmpty())
        text += QStringLiteral("；") + notes.join(QStringLiteral("；"));
    return text;
}

QString statusLine(const StoreState &s)
{
    QStringList parts;
    parts << (s.connected ? QStringLiteral("database up") : QStringLiteral("database down"));
    if (!s.connected && !s.serverError.isEmpty())
        parts.last() += QStringLiteral(" (%1)").arg(s.serverError);
    if (!s.settingsProblem.isEmpty())
        parts << QStringLiteral("unusable settings: %1").arg(s.settingsProblem);
    if (!s.trouble.isEmpty())
        parts << s.trouble;
    if (s.quarantined > 0)
        parts << QStringLiteral("%1 readings refused by the server%2")
                     .arg(s.quarantined)
                     .arg(s.rejectReason.isEmpty() ? QString() : QStringLiteral(": ") + s.rejectReason);
    if (s.writing && !s.journalSafe)
        parts << QStringLiteral("readings are not safe on the disk");
    if (s.damagedJournalLines > 0)
        parts << QStringLiteral("%1 journal lines were no readings and were moved aside").arg(s.damagedJournalLines);
    return parts.join(QStringLiteral("; "));
}
} // namespace StoreStatus
