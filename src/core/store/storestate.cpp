#include "storestate.h"

#include <QCoreApplication>
#include <QStringList>

#include <initializer_list>

namespace StoreStatus {
QString stateText(bool connected, int pending)
{
    if (connected)
        return pending > 0 ? QCoreApplication::translate("database", "数据库已连接（待写入 %1 条）").arg(pending) : QCoreApplication::translate("database", "数据库已连接");
    return QCoreApplication::translate("database", "数据库未连接（待写入 %1 条）").arg(pending);
}

QString shortReason(const QString &serverError)
{
    const QString text = serverError.trimmed();
    if (text.isEmpty())
        return QString();
    // The words of libpq and of the server (in English, as they answer by
    // default), all of a row's words in the message.
    struct Known
    {
        std::initializer_list<const char *> words;
        const char *reason;
    };
    static const Known known[] = {
        {{"password authentication failed"}, QT_TRANSLATE_NOOP("database", "密码错误")},
        {{"no password supplied"}, QT_TRANSLATE_NOOP("database", "密码错误")},
        {{"role \"", "does not exist"}, QT_TRANSLATE_NOOP("database", "用户不存在")},
        {{"database \"", "does not exist"}, QT_TRANSLATE_NOOP("database", "数据库不存在")},
        {{"Connection refused"}, QT_TRANSLATE_NOOP("database", "服务器未运行")},
        {{"could not translate host name"}, QT_TRANSLATE_NOOP("database", "找不到服务器")},
        {{"timeout expired"}, QT_TRANSLATE_NOOP("database", "服务器无应答")},
        {{"No route to host"}, QT_TRANSLATE_NOOP("database", "服务器无应答")},
        {{"Network is unreachable"}, QT_TRANSLATE_NOOP("database", "服务器无应答")},
        {{"no pg_hba.conf entry"}, QT_TRANSLATE_NOOP("database", "服务器不接受此登录")},
        {{"the database system is"}, QT_TRANSLATE_NOOP("database", "服务器正在启动或关闭")},
        {{"terminating connection due to administrator command"},
         QT_TRANSLATE_NOOP("database", "服务器正在启动或关闭")},
        {{"connection slots"}, QT_TRANSLATE_NOOP("database", "服务器连接数已满")},
        {{"too many connections"}, QT_TRANSLATE_NOOP("database", "服务器连接数已满")},
        {{"permission denied"}, QT_TRANSLATE_NOOP("database", "权限不足")},
    };
    for (const Known &k : known) {
        bool all = true;
        for (const char *w : k.words)
            all = all && text.contains(QLatin1String(w), Qt::CaseInsensitive);
        if (all)
            return QCoreApplication::translate("database", k.reason);
    }
    // Something else: its first line, cut short.
    QString first = text.section(QLatin1Char('\n'), 0, 0).trimmed();
    if (first.size() > 60)
        first = first.left(57) + QStringLiteral("...");
    return first;
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
    const int pending = s.connected && s.onlyGathering ? 0 : s.pending;
    const QString reason = s.connected ? QString() : shortReason(s.serverError);
    QString text = reason.isEmpty()
                       ? stateText(s.connected, pending)
                       : QCoreApplication::translate("database", "数据库未连接：%1（待写入 %2 条）")
                             .arg(reason)
                             .arg(pending);
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
