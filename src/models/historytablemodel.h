#pragma once

#include "core/history/historydata.h"

#include <QAbstractTableModel>

#include <memory>

/// The rows of one history query as a read-only, centred table: "时间" (date
/// and time), "数据", "单位", "功能". The rows are held as compact columns
/// (HistoryData). The exports read it like any table model, through
/// data(index, Qt::DisplayRole), headerData() and the ReadingRole values.
class HistoryTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { TimeColumn, ValueColumn, UnitColumn, FuncColumn, ColumnCount };

    explicit HistoryTableModel(QObject *parent = nullptr);
    HistoryTableModel(std::shared_ptr<const HistoryData> rows, QObject *parent = nullptr);

    /// Replaces the rows shown (a null pointer shows none).
    void setRows(std::shared_ptr<const HistoryData> rows);
    const std::shared_ptr<const HistoryData> &rows() const { return m_rows; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    std::shared_ptr<const HistoryData> m_rows;
};
