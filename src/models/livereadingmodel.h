#pragma once

#include <QAbstractTableModel>
#include <QDate>
#include <QElapsedTimer>
#include <QString>
#include <QVector>

struct MeterReading;
class QTimer;

/// The main window's table of the run: "时间" (clock time), "数据" (value and
/// unit), "功能", a row per reading up to kRowCap rows. Rows are kept as the
/// readings' own figures (about 24 bytes each), and their texts are made
/// when a view or an export asks for them. The exports read it through
/// data(index, Qt::DisplayRole), headerData() and the ReadingRole values.
class LiveReadingModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { TimeColumn, ValueColumn, FuncColumn, ColumnCount };
    /// Rows the table holds; the reading after them empties the table.
    static constexpr int kRowCap = 50000;

    explicit LiveReadingModel(QObject *parent = nullptr);

    /// Appends `reading` as the last row, or, when the table already holds
    /// kRowCap rows (appended ones not shown yet included), empties it
    /// instead and returns false.
    ///
    /// With a batch interval set, rows are announced (rowCount(),
    /// rowsInserted) at most once an interval, together: a row appended a
    /// full interval after the last announcement at once, with the rows
    /// before it; when no such row comes, the waiting rows two intervals
    /// after the last announcement.
    bool append(const MeterReading &reading);
    /// Announces appended rows at most once per `ms` milliseconds (0, the
    /// default: each row as it is appended).
    void setBatchInterval(int ms);
    /// Announces the appended rows not shown yet, now.
    void showPendingRows();
    /// Removes every row.
    void clear();
    /// The meter the rows come from (ReadingSourceRole of every row).
    void setSource(const QString &source) { m_source = source; }
    /// Inserts `count` blank rows before `row` (top-level only).
    bool insertRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    struct Row
    {
        qint64 day = 0;     ///< Julian day of the reading's local date; 0 for a blank row
        int msecOfDay = 0;  ///< its local time of day
        double value = 0.0; ///< the reading's value (not used for an overload)
        qint16 label = -1;  ///< index into m_labels; -1 for a blank row
        qint8 range = -1;
        qint8 decimals = 0;
        bool overload = false;
        bool negative = false;
    };
    struct Label
    {
        QString function;
        QString unit;
    };

    qint16 labelOf(const MeterReading &reading);
    QString valueText(const Row &row) const;

    QVector<Row> m_rows;
    QVector<Label> m_labels;
    QString m_source;
    // Rows announced so far; the rows stored after them wait for the batch
    // timer.
    int m_shown = 0;
    QTimer *m_batchTimer = nullptr; // while batching
    int m_batchMs = 0;
    QElapsedTimer m_sinceShown;
};
