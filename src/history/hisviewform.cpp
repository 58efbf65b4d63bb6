#include "hisviewform.h"

#include "export/tableexport.h"
#include "history/historyloader.h"
#include "history/historytablemodel.h"
#include "plot/decimatingcurve.h"
#include "plot/plotseriesdata.h"
#include "plot/rangescale.h"
#include "plot/trendplot.h"

#include <QProgressDialog>
#include <QSqlQueryModel>
#include <QSqlRecord>

#include <qwt_plot_curve.h>

namespace {
constexpr int kColumnWidth = 100;
// Loads shorter than this finish without a progress box flashing up.
constexpr int kProgressDelayMs = 400;
} // namespace

HisViewForm::HisViewForm(QWidget *parent)
    : QWidget(parent)
{
    ui.setupUi(this);
    setUpPlot();

    m_model = new HistoryTableModel(this);
    ui.tableView->setModel(m_model);
    for (int c = 0; c < HistoryTableModel::ColumnCount; ++c)
        ui.tableView->setColumnWidth(c, kColumnWidth);
    ui.tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui.tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);

    setRows(std::make_shared<HistoryData>());

    connect(ui.outTxtPushButton, SIGNAL(clicked()), this, SLOT(doBtnTxtSlot()));
    connect(ui.outExcelPushButton, SIGNAL(clicked()), this, SLOT(doBtnExcelSlot()));
    connect(ui.printPushButton, SIGNAL(clicked()), this, SLOT(doBtnPrintSlot()));
}

HisViewForm::HisViewForm(QSqlQueryModel *model, QWidget *parent)
    : HisViewForm(parent)
{
    auto rows = std::make_shared<HistoryData>();
    if (model) {
        const int count = model->rowCount();
        rows->reserve(count);
        for (int i = 0; i < count; ++i) {
            const QSqlRecord r = model->record(i);
            rows->append(r.value(QStringLiteral("create_time")).toDateTime(),
                         r.value(QStringLiteral("datavaluestr")).toString(),
                         r.value(QStringLiteral("unitstr")).toString(), r.value(QStringLiteral("funcstr")).toString(),
                         r.value(QStringLiteral("frastr")).toString());
        }
    }
    setRows(std::move(rows));
}

HisViewForm::~HisViewForm()
{
    // The curve reads the rows in place; let it go before they do.
    m_curve->setSamples(QVector<QPointF>());
}

void HisViewForm::setUpPlot()
{
    m_curve = setUpTrendPlot(ui.qwtPlot, QDateTime());
    // The plot beside the table is narrow; more clock labels would overlap.
    ui.qwtPlot->setAxisMaxMajor(QwtPlot::xBottom, 5);
}

void HisViewForm::setRows(std::shared_ptr<const HistoryData> rows)
{
    if (!rows)
        rows = std::make_shared<HistoryData>();
    // Keep the old rows until the curve and the table have let go of them.
    std::shared_ptr<const HistoryData> old = std::move(m_rows);
    m_rows = std::move(rows);

    m_baseTime = m_rows->baseTime();
    setTrendPlotBase(ui.qwtPlot, m_baseTime);

    // Every row written by the meter names a range 0–44; a row 0 that names
    // none has no scale of its own, so the axis follows the data instead.
    if (const auto scale = rangeScale(m_rows->firstRangeIndex()))
        ui.qwtPlot->setAxisScale(QwtPlot::yLeft, scale->lower, scale->upper, scale->step);
    else
        ui.qwtPlot->setAxisAutoScale(QwtPlot::yLeft);

    // The points are handed over once, in place: the curve reads the rows'
    // own x and y columns for as long as the window holds them.
    auto *points = new PlotSeriesData(&m_rows->xPoints(), &m_rows->yPoints());
    points->showSource();
    m_curve->setData(points);

    m_model->setRows(m_rows);
    for (int c = 0; c < HistoryTableModel::ColumnCount; ++c)
        ui.tableView->setColumnWidth(c, kColumnWidth);
    ui.qwtPlot->replot();
}

void HisViewForm::loadRange(const DbSettings &settings, const QDateTime &start, const QDateTime &stop)
{
    cancelLoad();
    m_loader = new HistoryLoader(settings, start, stop, this);

    m_progress = new QProgressDialog(tr("正在读取历史记录…"), tr("取消"), 0, 0, this);
    m_progress->setWindowModality(Qt::WindowModal);
    m_progress->setMinimumDuration(kProgressDelayMs);
    m_progress->setAutoReset(false);
    m_progress->setAutoClose(false);
    m_progress->setValue(0);

    connect(m_loader, &HistoryLoader::progress, this, [this](int rows, int permille) {
        if (!m_progress)
            return;
        m_progress->setMaximum(1000);
        m_progress->setLabelText(tr("正在读取历史记录… %1 条").arg(rows));
        m_progress->setValue(permille);
    });
    connect(m_loader, &HistoryLoader::finished, this, [this] { finishLoad(); });
    connect(m_progress, &QProgressDialog::canceled, this, [this] {
        cancelLoad();
        close();
    });
    m_loader->start();
}

bool HisViewForm::isLoading() const
{
    return m_loader && m_loader->isRunning();
}

void HisViewForm::finishLoad()
{
    HistoryLoader *loader = m_loader;
    m_loader = nullptr;
    if (m_progress) {
        m_progress->blockSignals(true);
        m_progress->deleteLater();
        m_progress = nullptr;
    }
    if (!loader)
        return;
    // A failed load shows an empty window; a cancelled one is closing anyway.
    if (loader->result().status == HistoryLoadResult::Loaded)
        setRows(loader->result().rows);
    loader->deleteLater();
}

void HisViewForm::cancelLoad()
{
    if (!m_loader)
        return;
    HistoryLoader *loader = m_loader;
    m_loader = nullptr;
    loader->disconnect(this);
    loader->cancel();
    if (m_progress) {
        m_progress->blockSignals(true);
        m_progress->deleteLater();
        m_progress = nullptr;
    }
    // Its thread stops within one block of rows; deleting waits for that.
    loader->deleteLater();
}

void HisViewForm::doBtnTxtSlot()
{
    exportTableToText(m_model, this, ExportBoxStyle::HistoryWindow);
}

void HisViewForm::doBtnExcelSlot()
{
    exportTableToExcel(m_model, tr("数据记录"), tableColumnWidths(ui.tableView), ui.tableView,
                       ExportBoxStyle::HistoryWindow);
}

void HisViewForm::doBtnPrintSlot()
{
    printTable(m_model, tr("数据记录"), tableColumnWidths(ui.tableView), this, ExportBoxStyle::HistoryWindow);
}
