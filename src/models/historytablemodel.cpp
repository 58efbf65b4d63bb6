#include "historytablemodel.h"

#include "models/readingroles.h"

HistoryTableModel::HistoryTableModel(QObject *parent) : QAbstractTableModel(parent) {}

HistoryTableModel::HistoryTableModel(std::shared_ptr<const HistoryData> rows, QObject *parent)
    : QAbstractTableModel(parent), m_rows(std::move(rows))
{
}

void HistoryTableModel::setRows(std::shared_ptr<const HistoryData> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

int HistoryTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() || !m_rows ? 0 : m_rows->rowCount();
}

int HistoryTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(ColumnCount);
}

QVariant HistoryTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    const int row = index.row();
    switch (role) {
    case Qt::TextAlignmentRole:
        return int(Qt::AlignCenter);
    case ReadingTimeRole:
        return m_rows->timeWithOffset(row);
    case ReadingValueRole:
        return m_rows->valueText(row);
    case ReadingUnitRole:
        return m_rows->unitText(row);
    case ReadingFunctionRole:
        return m_rows->funcText(row);
    case ReadingRangeRole:
        return m_rows->rangeIndex(row);
    case Qt::DisplayRole:
        break;
    default:
        return QVariant();
    }
    switch (index.column()) {
    case TimeColumn:
        return m_rows->timeText(row);
    case ValueColumn:
        return m_rows->valueText(row);
    case UnitColumn:
        return m_rows->unitText(row);
    case FuncColumn:
        return m_rows->funcText(row);
    default:
        return QVariant();
    }
}

QVariant HistoryTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Vertical)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case TimeColumn:
        return tr("时间");
    case ValueColumn:
        return tr("数据");
    case UnitColumn:
        return tr("单位");
    case FuncColumn:
        return tr("功能");
    default:
        return QVariant();
    }
}

Qt::ItemFlags HistoryTableModel::flags(const QModelIndex &index) const
{
    // Selectable for copying and row selection, never editable.
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
}
