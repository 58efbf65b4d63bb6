#include "historytablemodel.h"

#include "models/readingroles.h"

#include <QTimer>

HistoryTableModel::HistoryTableModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

HistoryTableModel::HistoryTableModel(std::shared_ptr<const HistoryData> rows, QObject *parent)
    : QAbstractTableModel(parent)
    , m_rows(std::move(rows))
    , m_shown(storedRows())
{
}

HistoryTableModel::HistoryTableModel(Layout layout, QObject *parent)
    : QAbstractTableModel(parent)
    , m_layout(layout)
{
}

void HistoryTableModel::setRows(std::shared_ptr<const HistoryData> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    m_own.reset();
    m_shown = storedRows();
    endResetModel();
}

HistoryData &HistoryTableModel::ownRows()
{
    // Rows given by setRows(), or handed out by rows() and still held there,
    // are copied before they change: whoever holds them keeps what they saw.
    if (!m_own || m_own != m_rows || m_own.use_count() > 2) {
        m_own = m_rows ? std::make_shared<HistoryData>(*m_rows) : std::make_shared<HistoryData>();
        m_rows = m_own;
    }
    return *m_own;
}

bool HistoryTableModel::appendReading(const QDateTime &time, const QString &value, const QString &unit,
                                      const QString &func, int rangeIndex)
{
    if (storedRows() >= kLiveRowCap) {
        clear();
        return false;
    }
    // Rows not announced yet are not part of the model: storing them before
    // beginInsertRows() changes nothing a view can see.
    ownRows().append(time, value, unit, func, rangeIndex < 0 ? QString() : QString::number(rangeIndex));
    // Shown with the row that ends the interval, so they are painted with
    // whatever else its reading changes; the timer shows the last ones when
    // rows stop coming.
    if (!m_batchTimer || !m_sinceShown.isValid() || m_sinceShown.elapsed() >= m_batchMs)
        showPendingRows();
    else if (!m_batchTimer->isActive())
        m_batchTimer->start(int(2 * m_batchMs - m_sinceShown.elapsed()));
    return true;
}

void HistoryTableModel::setBatchInterval(int ms)
{
    showPendingRows();
    if (ms <= 0) {
        delete m_batchTimer;
        m_batchTimer = nullptr;
        return;
    }
    if (!m_batchTimer) {
        m_batchTimer = new QTimer(this);
        m_batchTimer->setSingleShot(true);
        connect(m_batchTimer, &QTimer::timeout, this, &HistoryTableModel::showPendingRows);
    }
    m_batchMs = ms;
}

void HistoryTableModel::showPendingRows()
{
    const int stored = storedRows();
    if (stored <= m_shown)
        return;
    beginInsertRows(QModelIndex(), m_shown, stored - 1);
    m_shown = stored;
    endInsertRows();
    m_sinceShown.start();
    if (m_batchTimer)
        m_batchTimer->stop();
}

void HistoryTableModel::clear()
{
    beginResetModel();
    m_own = std::make_shared<HistoryData>();
    m_rows = m_own;
    m_shown = 0;
    endResetModel();
    // The emptied table has been drawn anew anyway: its first row need not
    // wait.
    m_sinceShown.invalidate();
    if (m_batchTimer)
        m_batchTimer->stop();
}

bool HistoryTableModel::insertRows(int row, int count, const QModelIndex &parent)
{
    showPendingRows();
    const int n = rowCount();
    if (parent.isValid() || row < 0 || row > n || count < 1)
        return false;
    // The columns only grow at the end; a row in between means building
    // them anew, which is rare enough (nothing in the program does it).
    auto rebuilt = std::make_shared<HistoryData>();
    rebuilt->reserve(n + count);
    const HistoryData *old = m_rows.get();
    auto frastr = [](int range) { return range == HistoryData::kNoRangeIndex ? QString() : QString::number(range); };
    auto copy = [&](int r) {
        rebuilt->append(old->time(r), old->valueText(r), old->unitText(r), old->funcText(r),
                        frastr(old->rangeIndex(r)));
    };
    for (int r = 0; r < row; ++r)
        copy(r);
    for (int i = 0; i < count; ++i)
        rebuilt->append(QDateTime(), QString(), QString(), QString(), QString());
    for (int r = row; r < n; ++r)
        copy(r);
    rebuilt->squeeze();
    beginInsertRows(parent, row, row + count - 1);
    m_own = std::move(rebuilt);
    m_rows = m_own;
    m_shown = n + count;
    endInsertRows();
    return true;
}

int HistoryTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_shown;
}

int HistoryTableModel::columnCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return m_layout == Layout::Live ? 3 : int(ColumnCount);
}

QVariant HistoryTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_shown)
        return QVariant();
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignCenter);
    const int row = index.row();
    switch (role) {
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
    default:
        break;
    }
    if (role != Qt::DisplayRole)
        return QVariant();
    if (m_layout == Layout::Live)
        return liveText(index.row(), index.column());
    switch (index.column()) {
    case TimeColumn:
        return m_rows->timeText(index.row());
    case ValueColumn:
        return m_rows->valueText(index.row());
    case UnitColumn:
        return m_rows->unitText(index.row());
    case FuncColumn:
        return m_rows->funcText(index.row());
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
    if (m_layout == Layout::Live) {
        switch (section) {
        case 0:
            return tr("时间");
        case 1:
            return tr("数据");
        case 2:
            return tr("功能");
        default:
            return QVariant();
        }
    }
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

QVariant HistoryTableModel::liveText(int row, int column) const
{
    switch (column) {
    case 0:
        return m_rows->time(row).toString(QStringLiteral("hh:mm:ss"));
    case 1: {
        const QString value = m_rows->valueText(row);
        const QString &unit = m_rows->unitText(row);
        if (value.isEmpty() && unit.isEmpty())
            return QString();
        return value + QLatin1Char(' ') + unit;
    }
    case 2:
        return m_rows->funcText(row);
    default:
        return QVariant();
    }
}

Qt::ItemFlags HistoryTableModel::flags(const QModelIndex &index) const
{
    // Selectable for copying and row selection, never editable.
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
}
