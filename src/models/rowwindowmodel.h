#pragma once

#include <QAbstractTableModel>
#include <QPointer>

/// A window of at most windowRows() consecutive rows of a long table model,
/// for a view. A view keeps a few bytes per row it is given (its vertical
/// header's sections), so a table of a hundred million rows costs it most of
/// a gigabyte and seconds at every reset; through the window it holds a
/// bounded number whatever the range, and a scroll bar of its own over the
/// whole table moves the window (setFirst()). Rows, data and header numbers
/// are the source's, shifted by first().
class RowWindowModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    static constexpr int kDefaultWindowRows = 100000;

    explicit RowWindowModel(QObject *parent = nullptr, int windowRows = kDefaultWindowRows);

    void setSourceModel(QAbstractItemModel *source);
    QAbstractItemModel *sourceModel() const { return m_source; }

    int windowRows() const { return m_windowRows; }
    int sourceRows() const;
    /// The source row shown as row 0.
    int first() const { return m_first; }
    /// Whether the source has rows the window cannot hold at once.
    bool isWindowed() const { return sourceRows() > m_windowRows; }
    /// Moves the window so that it starts at `first` (clamped to the rows
    /// there are); returns by how many rows it moved.
    int setFirst(int first);
    /// The window's row of a source row; -1 outside the window.
    int windowRowOf(int sourceRow) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    void sourceDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QVector<int> &roles);
    int clampedFirst(int first) const;

    QPointer<QAbstractItemModel> m_source;
    int m_windowRows;
    int m_first = 0;
};
