#include "historytablemodel.h"

#include "core/store/historyreads.h"
#include "core/store/recordstore.h"
#include "models/readingroles.h"

#include <algorithm>

HistoryTableModel::HistoryTableModel(QObject *parent) : QAbstractTableModel(parent) {}

void HistoryTableModel::setRange(RecordStore *store, const RangeQueries::Table &table,
                                 const RangeQueries::Range &range, const QString &source, qint64 rows,
                                 bool withSource)
{
    beginResetModel();
    ++m_generation;
    m_store = store;
    m_table = table;
    m_range = range;
    m_source = source;
    m_rows = rows;
    m_anchors.clear();
    m_withSource = withSource;
    m_error.clear();
    m_blocks.clear();
    m_asked.clear();
    endResetModel();
}

void HistoryTableModel::clear()
{
    setRange(nullptr, RangeQueries::Table(), RangeQueries::Range(), QString(), 0, false);
}

void HistoryTableModel::setBlocking(bool on, int blockRows)
{
    m_blocking = on;
    const int size = on ? std::max(1, blockRows) : kBlockRows;
    if (size == m_blockRows)
        return;
    // Blocks of another size are numbered differently: start afresh.
    ++m_generation;
    m_blockRows = size;
    m_blocks.clear();
    m_asked.clear();
}

int HistoryTableModel::rowCount(const QModelIndex &parent) const
{
    // A view counts rows in int; beyond that the rest of the range is not shown.
    return parent.isValid() ? 0 : int(std::clamp<qint64>(m_rows, 0, std::numeric_limits<int>::max()));
}

int HistoryTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount + (m_withSource ? 1 : 0);
}

const RangeQueries::Row *HistoryTableModel::row(qint64 n) const
{
    const qint64 block = n / m_blockRows;
    auto it = m_blocks.find(block);
    if (it == m_blocks.end()) {
        request(block);
        it = m_blocks.find(block);
        if (it == m_blocks.end())
            return nullptr;
    }
    it->used = ++m_clock;
    const qint64 at = n - block * m_blockRows;
    return at < it->rows.size() ? &it->rows.at(int(at)) : nullptr;
}

bool HistoryTableModel::streamRows(
    const std::function<bool(const RangeQueries::RowBatch &, qint64)> &take) const
{
    auto *self = const_cast<HistoryTableModel *>(this);
    self->m_error.clear();
    m_streamed = 0;
    if (!m_store)
        return rowCount() == 0;
    HistoryReads::RowStream stream(m_table, m_range, m_source,
                                   m_rows < 0 ? std::numeric_limits<qint64>::max() : rowCount());
    // The store's thread is busy with the stream until it ends: a view
    // repainted meanwhile must not wait for it on this thread.
    m_streaming = true;
    stream.start(m_store.data());
    RangeQueries::RowBatch batch;
    qint64 first = 0;
    bool ok = true;
    while (ok && stream.next(&batch)) {
        ok = take(batch, first);
        first += qint64(batch.rows.size());
    }
    m_streamed = first;
    stream.stop();
    m_streaming = false;
    if (ok && !stream.error().isEmpty())
        self->m_error = stream.error();
    return ok && m_error.isEmpty();
}

void HistoryTableModel::request(qint64 block) const
{
    if (!m_store || m_asked.contains(block) || m_streaming)
        return;
    const qint64 first = block * m_blockRows;
    const int count = int(std::min<qint64>(m_blockRows, m_rows - first));
    if (count <= 0)
        return;
    auto read = std::make_shared<HistoryReads::PageRead>(m_range, m_source, first, count);
    read->table = m_table;
    read->setTotal(m_rows);
    read->setAnchors(m_anchors);
    // Reading on from the block before is cheaper than finding the row.
    const auto before = m_blocks.constFind(block - 1);
    if (before != m_blocks.cend() && before->rows.size() == m_blockRows)
        read->startAfter(before->rows.last().key);
    const int generation = m_generation;
    const int blockRows = m_blockRows;
    auto *self = const_cast<HistoryTableModel *>(this);
    if (m_blocking) {
        m_store->readNow(read);
        if (read->failed())
            self->m_error = read->error();
        else
            self->received(block, read->rows, blockRows);
        return;
    }
    m_asked.insert(block);
    read->whenDone(self, [self, read, block, generation, blockRows] {
        if (generation != self->m_generation)
            return;
        self->m_asked.remove(block);
        if (read->failed()) {
            self->m_error = read->error();
            emit self->readFailed(read->error());
            return;
        }
        self->received(block, read->rows, blockRows);
        const int first = int(block * blockRows);
        const int last = int(std::min<qint64>(self->m_rows, first + read->rows.size())) - 1;
        if (last >= first)
            emit self->dataChanged(self->index(first, 0), self->index(last, self->columnCount() - 1));
    });
    m_store->read(read);
}

void HistoryTableModel::received(qint64 block, const QVector<RangeQueries::Row> &rows, int)
{
    Block b;
    b.rows = rows;
    b.used = ++m_clock;
    m_blocks.insert(block, b);
    trim();
}

void HistoryTableModel::trim() const
{
    // The blocks least recently looked at go first; a view scrolled far
    // away reads them again if it comes back.
    while (m_blocks.size() > kKeptBlocks) {
        auto oldest = std::min_element(m_blocks.begin(), m_blocks.end(),
                                       [](const Block &a, const Block &b) { return a.used < b.used; });
        m_blocks.erase(oldest);
    }
}

QVariant HistoryTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignCenter);
    if (role != Qt::DisplayRole && (role < ReadingTimeRole || role > ReadingSourceRole))
        return QVariant();
    const RangeQueries::Row *r = row(index.row());
    if (!r)
        return role == Qt::DisplayRole ? QVariant(QString()) : QVariant();
    switch (role) {
    case ReadingTimeRole:
        return HistoryReads::timeOfNaiveMs(r->ms);
    case ReadingValueRole:
        return r->value;
    case ReadingUnitRole:
        return r->unit;
    case ReadingFunctionRole:
        return r->function;
    case ReadingRangeRole: {
        bool ok = false;
        const int range = r->frastr.trimmed().toInt(&ok);
        return ok ? QVariant(range) : QVariant();
    }
    case ReadingSourceRole:
        return r->source;
    default:
        break;
    }
    switch (index.column()) {
    case TimeColumn:
        return HistoryReads::timeOfNaiveMs(r->ms).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    case ValueColumn:
        return r->value;
    case UnitColumn:
        return r->unit;
    case FuncColumn:
        return r->function;
    case SourceColumn:
        return r->source;
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
    case SourceColumn:
        return m_withSource ? QVariant(tr("仪表")) : QVariant();
    default:
        return QVariant();
    }
}

Qt::ItemFlags HistoryTableModel::flags(const QModelIndex &index) const
{
    // Selectable for copying and row selection, never editable.
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
}
