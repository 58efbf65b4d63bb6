#pragma once

#include "core/history/historydata.h"

#include <QAbstractTableModel>
#include <QElapsedTimer>

#include <memory>

class QTimer;

/// A table of readings held as compact columns (HistoryData), read-only and
/// centred. Two layouts share it:
/// - History: "时间" (date and time), "数据", "单位", "功能" over the rows of
///   one query;
/// - Live: the main window's run, "时间" (clock time), "数据" (value and unit),
///   "功能", growing a row per reading up to kLiveRowCap rows.
/// The exports read it like any table model, through data(index,
/// Qt::DisplayRole) and headerData().
class HistoryTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum class Layout { History, Live };
    /// Columns of the History layout.
    enum Column { TimeColumn, ValueColumn, UnitColumn, FuncColumn, ColumnCount };
    /// Rows the Live layout holds; the reading after them empties the table.
    static constexpr int kLiveRowCap = 50000;

    explicit HistoryTableModel(QObject *parent = nullptr);
    HistoryTableModel(std::shared_ptr<const HistoryData> rows, QObject *parent = nullptr);
    HistoryTableModel(Layout layout, QObject *parent);

    Layout layout() const { return m_layout; }

    /// Replaces the rows shown (a null pointer shows none).
    void setRows(std::shared_ptr<const HistoryData> rows);
    const std::shared_ptr<const HistoryData> &rows() const { return m_rows; }

    /// Appends one reading as the last row, or, when the table already holds
    /// kLiveRowCap rows (appended ones not shown yet included), empties it
    /// instead and returns false. `value` is the recorded value text; the
    /// Live layout shows it followed by the unit. The time is kept to the
    /// second, as the store keeps it.
    ///
    /// With a batch interval set, rows are announced (rowCount(),
    /// rowsInserted) at most once an interval, together: a row appended a
    /// full interval after the last announcement at once, with the rows
    /// before it; when no such row comes, the waiting rows two intervals
    /// after the last announcement.
    bool appendReading(const QDateTime &time, const QString &value, const QString &unit, const QString &func,
                       int rangeIndex = HistoryData::kNoRangeIndex);
    /// Announces appended rows at most once per `ms` milliseconds (0, the
    /// default: each row as it is appended).
    void setBatchInterval(int ms);
    /// Announces the appended rows not shown yet, now.
    void showPendingRows();
    /// Removes every row.
    void clear();
    /// Inserts `count` blank rows before `row` (top-level only).
    bool insertRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    HistoryData &ownRows();
    QVariant liveText(int row, int column) const;
    int storedRows() const { return m_rows ? m_rows->rowCount() : 0; }

    Layout m_layout = Layout::History;
    std::shared_ptr<const HistoryData> m_rows;
    // The rows this model fills itself (appendReading, insertRows); the same
    // object as m_rows once it has done so.
    std::shared_ptr<HistoryData> m_own;
    // Rows announced so far; the rows stored after them wait for the batch
    // timer.
    int m_shown = 0;
    QTimer *m_batchTimer = nullptr; // while batching
    int m_batchMs = 0;
    QElapsedTimer m_sinceShown;
};
