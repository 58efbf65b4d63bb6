#include "rowwindowmodel.h"

#include <algorithm>

RowWindowModel::RowWindowModel(QObject *parent, int windowRows)
    : QAbstractTableModel(parent), m_windowRows(std::max(1, windowRows))
{
}

void RowWindowModel::setSourceModel(QAbstractItemModel *source)
{
    beginResetModel();
    if (m_source)
        disconnect(m_source, nullptr, this, nullptr);
    m_source = source;
    m_first = 0;
    if (source) {
        connect(source, &QAbstractItemModel::modelAboutToBeReset, this, &RowWindowModel::beginResetModel);
        // Another range, or the same grown: a view starts again at its top.
        connect(source, &QAbstractItemModel::modelReset, this, [this] {
            m_first = 0;
            endResetModel();
        });
        connect(source, &QAbstractItemModel::dataChanged, this, &RowWindowModel::sourceDataChanged);
        connect(source, &QAbstractItemModel::headerDataChanged, this,
                [this](Qt::Orientation orientation, int firstSection, int lastSection) {
                    if (orientation == Qt::Horizontal)
                        emit headerDataChanged(orientation, firstSection, lastSection);
                    else if (rowCount() > 0)
                        emit headerDataChanged(orientation, 0, rowCount() - 1);
                });
        // The history's models only ever reset; anything finer is taken as one.
        const auto reset = [this] {
            beginResetModel();
            m_first = clampedFirst(m_first);
            endResetModel();
        };
        for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved,
                            &QAbstractItemModel::columnsInserted, &QAbstractItemModel::columnsRemoved})
            connect(source, signal, this, reset);
        connect(source, &QAbstractItemModel::layoutChanged, this, reset);
    }
    endResetModel();
}

int RowWindowModel::sourceRows() const
{
    return m_source ? m_source->rowCount() : 0;
}

int RowWindowModel::clampedFirst(int first) const
{
    return std::max(0, std::min(first, sourceRows() - rowCount()));
}

int RowWindowModel::setFirst(int first)
{
    const int to = clampedFirst(first);
    const int moved = to - m_first;
    if (moved == 0)
        return 0;
    m_first = to;
    // The same number of rows showing other readings: their data changed.
    const int rows = rowCount();
    emit dataChanged(index(0, 0), index(rows - 1, columnCount() - 1));
    emit headerDataChanged(Qt::Vertical, 0, rows - 1);
    return moved;
}

int RowWindowModel::windowRowOf(int sourceRow) const
{
    const int row = sourceRow - m_first;
    return row >= 0 && row < rowCount() ? row : -1;
}

int RowWindowModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : std::min(sourceRows(), m_windowRows);
}

int RowWindowModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() || !m_source ? 0 : m_source->columnCount();
}

QVariant RowWindowModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || !m_source || index.row() >= rowCount())
        return QVariant();
    return m_source->data(m_source->index(m_first + index.row(), index.column()), role);
}

QVariant RowWindowModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (!m_source)
        return QVariant();
    return m_source->headerData(orientation == Qt::Vertical ? m_first + section : section, orientation, role);
}

Qt::ItemFlags RowWindowModel::flags(const QModelIndex &index) const
{
    if (!index.isValid() || !m_source)
        return Qt::NoItemFlags;
    return m_source->flags(m_source->index(m_first + index.row(), index.column()));
}

void RowWindowModel::sourceDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                                       const QVector<int> &roles)
{
    const int top = std::max(topLeft.row() - m_first, 0);
    const int bottom = std::min(bottomRight.row() - m_first, rowCount() - 1);
    if (top <= bottom)
        emit dataChanged(index(top, topLeft.column()), index(bottom, bottomRight.column()), roles);
}
