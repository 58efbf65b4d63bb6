#include "models/livereadingmodel.h"

#include "core/meter/framedecoder.h"
#include "core/meter/meterreading.h"
#include "models/readingroles.h"

#include <QDateTime>
#include <QTimer>

LiveReadingModel::LiveReadingModel(QObject *parent) : QAbstractTableModel(parent) {}

qint16 LiveReadingModel::labelOf(const MeterReading &reading)
{
    // A run shows a handful of function and unit pairs; the newest is the
    // one looked for nearly always.
    for (int i = m_labels.size() - 1; i >= 0; --i) {
        const Label &l = m_labels.at(i);
        if (l.function == reading.funcStr && l.unit == reading.unitStr)
            return qint16(i);
    }
    m_labels.append(Label{reading.funcStr, reading.unitStr});
    return qint16(m_labels.size() - 1);
}

bool LiveReadingModel::append(const MeterReading &reading)
{
    if (m_rows.size() >= kRowCap) {
        clear();
        return false;
    }
    Row row;
    row.day = reading.time.date().toJulianDay();
    row.msecOfDay = reading.time.time().msecsSinceStartOfDay();
    row.value = reading.value;
    row.label = labelOf(reading);
    row.range = qint8(reading.rangeIndex);
    row.decimals = qint8(reading.decimals);
    row.overload = reading.overload;
    row.negative = reading.negative;
    // Rows not announced yet are not part of the model: storing them before
    // beginInsertRows() changes nothing a view can see.
    m_rows.append(row);
    // Shown with the row that ends the interval, so they are painted with
    // whatever else its reading changes; the timer shows the last ones when
    // rows stop coming.
    if (!m_batchTimer || !m_sinceShown.isValid() || m_sinceShown.elapsed() >= m_batchMs)
        showPendingRows();
    else if (!m_batchTimer->isActive())
        m_batchTimer->start(int(2 * m_batchMs - m_sinceShown.elapsed()));
    return true;
}

void LiveReadingModel::setBatchInterval(int ms)
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
        connect(m_batchTimer, &QTimer::timeout, this, &LiveReadingModel::showPendingRows);
    }
    m_batchMs = ms;
}

void LiveReadingModel::showPendingRows()
{
    const int stored = m_rows.size();
    if (stored <= m_shown)
        return;
    beginInsertRows(QModelIndex(), m_shown, stored - 1);
    m_shown = stored;
    endInsertRows();
    m_sinceShown.start();
    if (m_batchTimer)
        m_batchTimer->stop();
}

void LiveReadingModel::clear()
{
    beginResetModel();
    m_rows.clear();
    m_labels.clear();
    m_shown = 0;
    endResetModel();
    // The emptied table has been drawn anew anyway: its first row need not
    // wait.
    m_sinceShown.invalidate();
    if (m_batchTimer)
        m_batchTimer->stop();
}

bool LiveReadingModel::insertRows(int row, int count, const QModelIndex &parent)
{
    showPendingRows();
    if (parent.isValid() || row < 0 || row > m_rows.size() || count < 1)
        return false;
    beginInsertRows(parent, row, row + count - 1);
    m_rows.insert(row, count, Row());
    m_shown = m_rows.size();
    endInsertRows();
    return true;
}

int LiveReadingModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_shown;
}

int LiveReadingModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(ColumnCount);
}

QString LiveReadingModel::valueText(const Row &row) const
{
    return row.overload ? signedOverloadText(row.negative, row.decimals)
                        : QString::number(row.value, 'f', row.decimals);
}

QVariant LiveReadingModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_shown)
        return QVariant();
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignCenter);
    const Row &row = m_rows.at(index.row());
    if (row.label < 0)
        return role == Qt::DisplayRole ? QVariant(QString()) : QVariant();
    const Label &label = m_labels.at(row.label);
    const auto time = [&] {
        return QDateTime(QDate::fromJulianDay(row.day), QTime::fromMSecsSinceStartOfDay(row.msecOfDay));
    };
    switch (role) {
    case ReadingTimeRole:
        return time();
    case ReadingValueRole:
        return valueText(row);
    case ReadingUnitRole:
        return label.unit;
    case ReadingFunctionRole:
        return label.function;
    case ReadingRangeRole:
        return int(row.range);
    case ReadingSourceRole:
        return m_source;
    case Qt::DisplayRole:
        break;
    default:
        return QVariant();
    }
    switch (index.column()) {
    case TimeColumn:
        return QTime::fromMSecsSinceStartOfDay(row.msecOfDay).toString(QStringLiteral("hh:mm:ss"));
    case ValueColumn:
        return valueText(row) + QLatin1Char(' ') + label.unit;
    case FuncColumn:
        return label.function;
    default:
        return QVariant();
    }
}

QVariant LiveReadingModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Vertical || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case TimeColumn:
        return tr("时间");
    case ValueColumn:
        return tr("数据");
    case FuncColumn:
        return tr("功能");
    default:
        return QVariant();
    }
}

Qt::ItemFlags LiveReadingModel::flags(const QModelIndex &index) const
{
    // Selectable for copying and row selection, never editable.
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
}
