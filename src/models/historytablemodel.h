#pragma once

#include "core/store/rangequeries.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QPointer>
#include <QSet>

#include <functional>
#include <memory>

class RecordStore;

/// The rows of one history range as a read-only, centred table: "时间"
/// (date and time), "数据", "单位", "功能", and "仪表" (the meter) when asked.
/// It never holds the range: it knows the row count and reads blocks of rows
/// from the store as a view or an export comes to them (keyset pages, never
/// OFFSET), keeping a bounded number of blocks. A row not read yet shows
/// empty until its block arrives. The exports read it like any table model,
/// through data(index, Qt::DisplayRole), headerData() and the ReadingRole
/// values; with setBlocking() on, a row not read yet is read there and then.
class HistoryTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { TimeColumn, ValueColumn, UnitColumn, FuncColumn, SourceColumn };
    /// Columns without the meter's.
    static constexpr int ColumnCount = 4;
    /// Rows a block holds, and the most blocks kept.
    static constexpr int kBlockRows = 256;
    static constexpr int kKeptBlocks = 64;

    explicit HistoryTableModel(QObject *parent = nullptr);

    /// Shows the `rows` rows of `range` of the meter `source` (null: all) of
    /// `table` in `store`; `withSource` adds the meter's column. `rows` < 0:
    /// not counted, for an export only: the model shows no rows, and
    /// streamRows() reads whatever the range holds then.
    void setRange(RecordStore *store, const RangeQueries::Table &table, const RangeQueries::Range &range,
                  const QString &source, qint64 rows, bool withSource);
    /// No rows.
    void clear();
    /// The rows before times of the range shown, as its curve's columns
    /// counted them (RangeQueries::anchorsOf() of its rows): a row far into
    /// the range is then found counting only the rows of one column. Until
    /// the next setRange().
    void setAnchors(const QVector<RangeQueries::RowAnchor> &anchors) { m_anchors = anchors; }
    const QVector<RangeQueries::RowAnchor> &anchors() const { return m_anchors; }

    /// Reads a row not read yet while it is asked for (an export), in blocks
    /// of `blockRows`; off: a view's asking starts a read and shows the row
    /// once it is there.
    void setBlocking(bool on, int blockRows = 4096);
    /// The error of the last block that could not be read; empty when none.
    QString readError() const { return m_error; }

    /// Whether streamRows() can read the rows: a range of a store is shown.
    bool canStream() const { return !m_store.isNull(); }
    /// Every row of the range, as many as rowCount() (all when not counted),
    /// in the table's order,
    /// read in one statement the server streams rather than block by block:
    /// `take` gets them a batch at a time on this thread, with the number of
    /// the batch's first row, and returns false to stop. False when the read
    /// failed (readError() says why) or was stopped. Meanwhile a view asking
    /// for rows not read yet shows them empty instead of waiting.
    bool
    streamRows(const std::function<bool(const RangeQueries::RowBatch &batch, qint64 firstRow)> &take) const;

    qint64 totalRows() const { return m_rows; }
    /// The rows the last streamRows() handed over.
    qint64 streamedRows() const { return m_streamed; }
    const RangeQueries::Range &range() const { return m_range; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

signals:
    /// A block of rows could not be read.
    void readFailed(const QString &error);

private:
    struct Block
    {
        QVector<RangeQueries::Row> rows;
        qint64 used = 0;
    };

    const RangeQueries::Row *row(qint64 n) const;
    void request(qint64 block) const;
    void received(qint64 block, const QVector<RangeQueries::Row> &rows, int blockRows);
    void trim() const;

    QPointer<RecordStore> m_store;
    RangeQueries::Table m_table;
    RangeQueries::Range m_range;
    QString m_source;
    qint64 m_rows = 0;
    QVector<RangeQueries::RowAnchor> m_anchors;
    bool m_withSource = false;
    bool m_blocking = false;
    int m_blockRows = kBlockRows;
    QString m_error;
    int m_generation = 0; // reads of an earlier range are ignored
    // Read on demand, from const data(): a cache, not the model's state.
    mutable QHash<qint64, Block> m_blocks;
    mutable QSet<qint64> m_asked;
    mutable qint64 m_clock = 0;
    mutable bool m_streaming = false;
    mutable qint64 m_streamed = 0;
};
