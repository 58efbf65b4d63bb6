#include "hisviewform.h"

#include "widgets/export/tableexport.h"
#include "core/store/database.h"
#include "core/store/historyloader.h"
#include "core/history/historyrange.h"
#include "core/history/historystatistics.h"
#include "models/historytablemodel.h"
#include "widgets/panel/statsbox.h"
#include "widgets/plot/decimatingcurve.h"
#include "widgets/plot/plotseriesdata.h"
#include "widgets/plot/plotviewbar.h"
#include "core/meter/rangescale.h"
#include "widgets/plot/trendplot.h"

#include <QComboBox>
#include <QGroupBox>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <qwt_plot_curve.h>

#include <algorithm>

namespace {
constexpr int kColumnWidth = 100;
constexpr int kUnitColumnWidth = 60;
// Loads shorter than this finish without a progress box flashing up.
constexpr int kProgressDelayMs = 400;

QString alarmLine(const AlarmEvent &e)
{
    const QString limit = QStringLiteral("%1 %2").arg(QString::number(e.limitValue), e.unit).trimmed();
    const QString what =
        e.limit == AlarmEvent::Limit::High
            ? (e.raised ? HisViewForm::tr("报警：高于上限 %1") : HisViewForm::tr("解除：上限 %1"))
            : (e.raised ? HisViewForm::tr("报警：低于下限 %1") : HisViewForm::tr("解除：下限 %1"));
    return QStringLiteral("%1  %2  %3  %4")
        .arg(e.time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), what.arg(limit), e.function,
             QString::number(e.value));
}
} // namespace

HisViewForm::HisViewForm(QWidget *parent) : QWidget(parent)
{
    ui.setupUi(this);
    m_baseTitle = windowTitle();
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
    connect(ui.outCsvPushButton, SIGNAL(clicked()), this, SLOT(doBtnCsvSlot()));
    // The main window's keys for the same commands.
    ui.outTxtPushButton->setShortcut(QKeySequence(Qt::CTRL + Qt::Key_T));
    ui.outExcelPushButton->setShortcut(QKeySequence(Qt::CTRL + Qt::Key_E));
    ui.outCsvPushButton->setShortcut(QKeySequence(Qt::CTRL + Qt::SHIFT + Qt::Key_C));
    ui.printPushButton->setShortcut(QKeySequence::Print);

    connect(ui.reloadPushButton, &QPushButton::clicked, this, &HisViewForm::reloadRange);
    // One meter or all of them (a null source); the meters are those the
    // last range held, known once it is read.
    ui.sourceComboBox->addItem(tr("全部仪表"), QString());
    ui.sourceComboBox->setEnabled(false);
    connect(ui.sourceComboBox, QOverload<int>::of(&QComboBox::activated), this, [this] { reloadRange(); });
    const QList<QPair<QPushButton *, HistoryPreset>> presets{
        {ui.lastHourPushButton, HistoryPreset::LastHour},
        {ui.todayPushButton, HistoryPreset::Today},
        {ui.yesterdayPushButton, HistoryPreset::Yesterday},
        {ui.lastWeekPushButton, HistoryPreset::LastSevenDays}};
    for (const auto &preset : presets) {
        connect(preset.first, &QPushButton::clicked, this, [this, p = preset.second] {
            const auto range = historyPresetRange(p, QDateTime::currentDateTime());
            showRangeInBar(range.first, range.second);
            reloadRange();
        });
    }
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

    m_plotBar = new PlotViewBar(ui.qwtPlot, PlotViewBar::Kind::History, this);
    ui.verticalLayout->insertWidget(ui.verticalLayout->indexOf(ui.qwtPlot), m_plotBar);
    m_quantityBox = new QComboBox(m_plotBar);
    m_quantityBox->setObjectName(QStringLiteral("quantityComboBox"));
    m_quantityBox->setToolTip(tr("曲线显示的功能和单位"));
    m_quantityAction = m_plotBar->addWidget(m_quantityBox);
    m_quantityAction->setVisible(false);
    connect(m_quantityBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &HisViewForm::showQuantity);

    // Below the plot: the figures of the quantity drawn and the range's alarms.
    m_statsBox = new StatsBox(this);
    ui.verticalLayout->addWidget(m_statsBox);
    auto *alarmBox = new QGroupBox(tr("报警事件"), this);
    auto *alarmLayout = new QVBoxLayout(alarmBox);
    alarmLayout->setContentsMargins(6, 4, 6, 4);
    m_alarmList = new QListWidget(alarmBox);
    m_alarmList->setObjectName(QStringLiteral("alarmListWidget"));
    // Three lines show; a range with more scrolls.
    m_alarmList->setMaximumHeight(3 * m_alarmList->fontMetrics().lineSpacing() + 8);
    alarmLayout->addWidget(m_alarmList);
    ui.verticalLayout->addWidget(alarmBox);
}

void HisViewForm::setRows(std::shared_ptr<const HistoryData> rows)
{
    showRows(std::move(rows), nullptr);
}

void HisViewForm::showRows(std::shared_ptr<const HistoryData> rows, const HistoryStatistics *firstStats)
{
    if (!rows)
        rows = std::make_shared<HistoryData>();
    // Keep the old rows until the curve and the table have let go of them.
    std::shared_ptr<const HistoryData> old = std::move(m_rows);
    m_rows = std::move(rows);

    m_baseTime = m_rows->baseTime();
    const int count = m_rows->rowCount();
    setTrendPlotBase(ui.qwtPlot, m_baseTime,
                     count > 0 && spansSeveralDays(m_rows->time(0), m_rows->time(count - 1)));

    m_quantities = historyQuantities(*m_rows);
    {
        const QSignalBlocker block(m_quantityBox);
        m_quantityBox->clear();
        for (const HistoryQuantity &q : m_quantities)
            m_quantityBox->addItem(QStringLiteral("%1 (%2)").arg(q.function, q.unit));
    }
    m_quantityAction->setVisible(m_quantities.size() > 1);
    plotQuantity(0, firstStats);

    m_model->setRows(m_rows);
    for (int c = 0; c < HistoryTableModel::ColumnCount; ++c)
        ui.tableView->setColumnWidth(c, kColumnWidth);
    // The time column is as wide as a date and a time are.
    const int timeWidth =
        ui.tableView->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) +
        2 * ui.tableView->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 12;
    ui.tableView->setColumnWidth(HistoryTableModel::TimeColumn, std::max(kColumnWidth, timeWidth));
    // Units are a few letters; the narrower column keeps the four within the table.
    ui.tableView->setColumnWidth(HistoryTableModel::UnitColumn, kUnitColumnWidth);
}

void HisViewForm::showQuantity(int index)
{
    if (index < 0 || index >= m_quantities.size())
        return;
    plotQuantity(index, nullptr);
}

void HisViewForm::plotQuantity(int index, const HistoryStatistics *stats)
{
    {
        const QSignalBlocker block(m_quantityBox);
        m_quantityBox->setCurrentIndex(index);
    }
    // Every row written by the meter names a range 0–44; a first row that
    // names none has no scale of its own, so the axis follows the data.
    const HistoryQuantity q = m_quantities.value(index);
    const int range = m_quantities.isEmpty() ? m_rows->firstRangeIndex() : m_rows->rangeIndex(q.firstRow);
    if (const auto scale = rangeScale(range))
        m_plotBar->setRangeScale(scale->lower, scale->upper, scale->step);
    else
        m_plotBar->clearRangeScale();

    PlotSeriesData *points;
    if (m_quantities.size() <= 1) {
        // One quantity: the curve reads the rows' own x and y columns in
        // place for as long as the window holds them.
        points = new PlotSeriesData(&m_rows->xPoints(), &m_rows->yPoints());
        m_curveX.clear();
        m_curveY.clear();
    } else {
        // The old points are not drawn again before the curve lets them go.
        quantityPoints(*m_rows, q, &m_curveX, &m_curveY);
        points = new PlotSeriesData(&m_curveX, &m_curveY);
    }
    points->showSource();
    m_curve->setData(points);

    const HistoryStatistics own = stats ? *stats : [&] {
        HistoryStatistics s(q.function, q.unit);
        s.addRows(*m_rows, q.firstRow, m_rows->rowCount());
        return s;
    }();
    const int count = m_rows->rowCount();
    StatsFormat format;
    format.unit = q.unit;
    format.decimals = own.decimals();
    format.withDate = count > 0 && spansSeveralDays(m_rows->time(0), m_rows->time(count - 1));
    m_statsBox->setStatistics(own.statistics(), format);
    m_plotBar->fit();
}

void HisViewForm::showAlarms(const AlarmSchema::Load &alarms)
{
    m_alarmList->clear();
    if (!alarms.ok) {
        m_alarmList->addItem(tr("报警事件读取失败：%1").arg(alarms.error));
        return;
    }
    for (const AlarmEvent &e : alarms.events)
        m_alarmList->addItem(alarmLine(e));
}

void HisViewForm::loadRange(const DbSettings &settings, const QDateTime &start, const QDateTime &stop)
{
    delete m_ownStore;
    m_ownStore = new database(settings, QString(), this);
    m_ownStore->openForReading();
    loadRange(m_ownStore, start, stop);
}

void HisViewForm::loadRange(RecordStore *store, const QDateTime &start, const QDateTime &stop)
{
    cancelLoad();
    m_store = store;
    showRangeInBar(start, stop);
    if (!m_store) {
        QMessageBox::warning(this, tr("错误"), tr("历史记录读取失败！\n%1").arg(tr("数据库已关闭")));
        return;
    }
    m_loader = new HistoryLoader(m_store, start, stop, this);
    m_loader->setSource(ui.sourceComboBox->currentData().toString());

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
    // The load stops within one block of rows and shows what it has read.
    connect(m_progress, &QProgressDialog::canceled, this, [this] {
        if (m_loader)
            m_loader->cancel();
        closeProgress();
    });
    m_loader->start();
}

bool HisViewForm::isLoading() const
{
    return m_loader && m_loader->isRunning();
}

void HisViewForm::closeProgress()
{
    if (!m_progress)
        return;
    m_progress->blockSignals(true);
    // Hidden and its show timer stopped now: an export waiting for the load
    // runs its dialogs before the box is deleted, and the box must not come
    // up over them.
    m_progress->reset();
    m_progress->hide();
    m_progress->deleteLater();
    m_progress = nullptr;
}

void HisViewForm::finishLoad()
{
    HistoryLoader *loader = m_loader;
    m_loader = nullptr;
    closeProgress();
    if (!loader)
        return;
    const HistoryLoadResult result = loader->result();
    loader->deleteLater();

    if (result.status == HistoryLoadResult::Failed) {
        m_pending = Pending::None;
        QMessageBox::warning(this, tr("错误"), tr("历史记录读取失败！\n%1").arg(result.error));
        // An empty table would read as a range without readings; a window
        // that shows rows keeps them, and its bar names their range again.
        if (!m_shownRows)
            close();
        else
            showRangeInBar(m_shownStart, m_shownStop);
        return;
    }
    showSources(result);
    m_shownStart = ui.rangeStartEdit->dateTime();
    m_shownStop = ui.rangeStopEdit->dateTime();
    m_partial = result.status == HistoryLoadResult::Cancelled;
    m_shownRows = true;
    setWindowTitle(m_partial ? m_baseTitle + tr("（部分）") : m_baseTitle);
    // The loader worked out row 0's figures while it read; a cancelled load
    // gets them from the rows it read.
    showRows(result.rows, m_partial ? nullptr : &result.statistics);
    showAlarms(result.alarms);
    runPending();
}

void HisViewForm::cancelLoad()
{
    if (!m_loader)
        return;
    HistoryLoader *loader = m_loader;
    m_loader = nullptr;
    loader->disconnect(this);
    loader->cancel();
    closeProgress();
    // Its thread stops within one block of rows; deleting waits for that.
    loader->deleteLater();
}

void HisViewForm::showRangeInBar(const QDateTime &start, const QDateTime &stop)
{
    ui.rangeStartEdit->setDateTime(start);
    ui.rangeStopEdit->setDateTime(stop);
}

void HisViewForm::showSources(const HistoryLoadResult &result)
{
    QComboBox *box = ui.sourceComboBox;
    const QString chosen = box->currentData().toString();
    // A load of all meters names them anew; one of a single meter keeps the
    // others offered, and the meter chosen stays even where this range holds
    // none of its readings.
    QStringList sources = result.sources;
    if (!chosen.isNull()) {
        for (int i = 1; i < box->count(); ++i)
            sources << box->itemData(i).toString();
        sources.removeDuplicates();
        sources.sort();
    }
    const QSignalBlocker quiet(box);
    while (box->count() > 1)
        box->removeItem(1);
    for (const QString &source : qAsConst(sources))
        box->addItem(source, source);
    box->setCurrentIndex(std::max(0, box->findData(chosen)));
    box->setEnabled(result.hasSource);
}

void HisViewForm::reloadRange()
{
    const QDateTime start = ui.rangeStartEdit->dateTime();
    const QDateTime stop = ui.rangeStopEdit->dateTime();
    if (start.secsTo(stop) <= 0) {
        QMessageBox::warning(this, tr("警告"), tr("停止时间要大于起始时间！"));
        return;
    }
    loadRange(m_store, start, stop);
}

void HisViewForm::runPending()
{
    const Pending pending = m_pending;
    m_pending = Pending::None;
    switch (pending) {
    case Pending::Text:
        doBtnTxtSlot();
        break;
    case Pending::Excel:
        doBtnExcelSlot();
        break;
    case Pending::Print:
        doBtnPrintSlot();
        break;
    case Pending::Csv:
        doBtnCsvSlot();
        break;
    case Pending::None:
        break;
    }
}

QString HisViewForm::tableTitle() const
{
    return m_partial ? tr("数据记录（部分）") : tr("数据记录");
}

void HisViewForm::doBtnTxtSlot()
{
    if (isLoading()) {
        m_pending = Pending::Text;
        return;
    }
    exportTableToText(m_model, this, ExportBoxStyle::HistoryWindow);
}

void HisViewForm::doBtnExcelSlot()
{
    if (isLoading()) {
        m_pending = Pending::Excel;
        return;
    }
    exportTableToExcel(m_model, tableTitle(), tableColumnWidths(ui.tableView), ui.tableView,
                       ExportBoxStyle::HistoryWindow);
}

void HisViewForm::doBtnPrintSlot()
{
    if (isLoading()) {
        m_pending = Pending::Print;
        return;
    }
    printTable(m_model, tableTitle(), tableColumnWidths(ui.tableView), this, ExportBoxStyle::HistoryWindow);
}

void HisViewForm::doBtnCsvSlot()
{
    if (isLoading()) {
        m_pending = Pending::Csv;
        return;
    }
    exportTableToCsv(m_model, this, ExportBoxStyle::HistoryWindow);
}
