#pragma once

#include <QString>

/// What the record store can say about itself at one moment, as plain data:
/// the window words it in Chinese (statusText()), the logger in English
/// (statusLine()), the metrics as numbers.
struct StoreState
{
    bool writing = false;     ///< the store writes readings (opened, not yet shut down)
    bool connected = false;   ///< the last contact with the server succeeded
    int pending = 0;          ///< readings handed over and not yet known to be committed
    /// Readings that left the queue since the store was opened (those of an
    /// earlier run's journal included): committed, or refused and so
    /// quarantined. Read with `pending` and `quarantined` under one lock, so
    /// a caller's sums add up.
    qint64 settled = 0;
    bool onlyGathering = false; ///< those pending are just the next transaction's, none behind
    int inMemory = 0;         ///< of the pending, those held in memory (the rest: the journal only)
    bool journalSafe = true;  ///< handed-over readings reach the disk before the server
    bool durable = true;      ///< every pending reading is on the disk (or there are none)
    qint64 journalBytes = 0;  ///< size of the journal file
    int quarantined = 0;      ///< readings the server refused, kept in the quarantine file
    QString rejectReason;     ///< the server's reason for the last one refused
    /// What keeps readings from the server although it answers (a failed
    /// CREATE, a fault of the table); the server's words, in English.
    QString trouble;
    /// Why the last connection attempt or statement failed, while it does.
    QString serverError;
    QString settingsProblem;  ///< an unusable TK52K_* setting
    int damagedJournalLines = 0; ///< journal lines not replayed (moved aside) at the start
    int alarmsPending = 0;    ///< alarm events not yet written
    qint64 alarmsDropped = 0; ///< alarm events dropped because too many waited

    /// Readings the user should look at: refused, or not safe on the disk.
    bool needsAttention() const { return quarantined > 0 || !journalSafe || !trouble.isEmpty(); }
};

namespace StoreStatus {
/// "数据库已连接" or "数据库未连接（待写入 N 条）".
QString stateText(bool connected, int pending);
/// Why the server cannot be used, in a few words, from its (or the client
/// library's) message `serverError`: "密码错误", "服务器未运行", … ; the
/// message's first line where it is none of those known; empty for none.
QString shortReason(const QString &serverError);
/// The status bar's text: stateText() (while not connected with
/// shortReason() after "："), and, after "；", what needs the
/// user's attention: unusable settings, trouble, refused readings, readings
/// not safe on the disk, damaged journal lines.
QString statusText(const StoreState &state);
/// The same for the logger's lines, in English.
QString statusLine(const StoreState &state);
} // namespace StoreStatus
