#include "hisviewform.h"

#include "core/app/windowplacement.h"
#include "core/history/historyrange.h"
#include "core/meter/framedecoder.h"
#include "core/meter/frameencoder.h"
#include "core/meter/rangescale.h"
#include "core/meter/runstatistics.h"
#include "core/store/database.h"
#include "models/historytablemodel.h"
#include "models/rowwindowmodel.h"
#include "export/exportprogress.h"
#include "widgets/export/tableexport.h"
#include "widgets/history/rowwindowscroller.h"
#include "widgets/panel/statsbox.h"
#include "widgets/plot/decimatingcurve.h"
#include "widgets/plot/historycurve.h"
#include "widgets/plot/plotviewbar.h"
#include "widgets/plot/siscaledraw.h"
#include "widgets/plot/trendplot.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QScrollBar>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QStyle>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <qwt_legend.h>
#include <qwt_plot_canvas.h>
#include <qwt_scale_map.h>
#include <qwt_scale_widget.h>

#include <algorithm>
#include <cmath>
#include <future>

namespace {
constexpr int kColumnWidth = 100;
constexpr int kUnitColumnWidth = 60;
// The table's width while it shows no more than four columns.
constexpr int kTableWidth = 500;
// Reads shorter than this finish without a progress box flashing up.
constexpr int kProgressDelayMs = 400;
// Zoom and pan by the wheel or a drag, and a resize, settle this long before
// the curve is read anew: long enough for the notches of one turn of the
// wheel to make one read. A change of one step (the bar's buttons, a fit, a
// box) is read once the event at hand is done.
constexpr int kCurveSettleMs = 40;
// A change of the time axis this soon after a notch or a drag is taken for
// one of a stream.
constexpr int kStreamMs = 250;
// Following, the range is read again at most this often.
constexpr int kFollowMs = 1000;

QString alarmLine(const AlarmEvent &e, bool withSource)
{
    const QString limit = QStringLiteral("%1 %2").arg(QString::number(e.limitValue), e.unit).trimmed();
    const QString what =
        e.limit == AlarmEvent::Limit::High
            ? (e.raised ? HisViewForm::tr("报警：高于上限 %1") : HisViewForm::tr("解除：上限 %1"))
            : (e.raised ? HisViewForm::tr("报警：低于下限 %1") : HisViewForm::tr("解除：下限 %1"));
    QString line = QStringLiteral("%1  %2  %3  %4")
                       .arg(e.time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), what.arg(limit), e.function,
                            QString::number(e.value));
    if (withSource && !e.source.isEmpty())
        line += QStringLiteral("  ") + e.source;
    return line;
}

// The curves of several meters, told apart; the first in the green of the
// live plot.
QColor curveColour(int i)
{
    static const QColor colours[] = {QColor(0, 255, 0), QColor(0, 200, 255), QColor(255, 160, 0),
                                     QColor(255, 80, 200), QColor(255, 255, 255), QColor(160, 120, 255)};
    return colours[i % int(std::size(colours))];
}

// The fixed y scale of a range the meter names; none for a quantity read in
// several units (then y follows the readings).
std::optional<RangeScale> scaleOf(const HistoryReads::Quantity &q)
{
    return q.units.size() == 1 ? rangeScale(q.firstRange) : std::nullopt;
}
} // namespace

HisViewForm::HisViewForm(QWidget *parent) : QWidget(parent)
{
    ui.setupUi(this);
    // The range's ends are stored wall-clock times, also those the local
    // zone skips or repeats at a clock change.
    ui.rangeStartEdit->setTimeSpec(Qt::UTC);
    ui.rangeStopEdit->setTimeSpec(Qt::UTC);
    m_baseTitle = windowTitle();
    setUpPlot();

    m_model = new HistoryTableModel(this);
    // The view holds a window of the range's rows; a bar beside it, within
    // the table's width, stands for the whole range when it is longer.
    auto *window = new RowWindowModel(this);
    window->setSourceModel(m_model);
    auto *tableBox = new QWidget(this);
    tableBox->setObjectName(QStringLiteral("tableBox"));
    m_tableBox = tableBox;
    tableBox->setSizePolicy(ui.tableView->sizePolicy());
    tableBox->setMinimumSize(ui.tableView->minimumSize());
    tableBox->setMaximumSize(ui.tableView->maximumSize());
    ui.horizontalLayout_2->replaceWidget(ui.tableView, tableBox);
    ui.tableView->setMinimumSize(0, 0);
    ui.tableView->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    ui.tableView->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto *tableLayout = new QHBoxLayout(tableBox);
    tableLayout->setContentsMargins(0, 0, 0, 0);
    tableLayout->setSpacing(0);
    tableLayout->addWidget(ui.tableView);
    auto *rangeBar = new QScrollBar(Qt::Vertical, tableBox);
    rangeBar->setObjectName(QStringLiteral("rangeScrollBar"));
    tableLayout->addWidget(rangeBar);
    m_scroller = new RowWindowScroller(ui.tableView, rangeBar, window, this);
    ui.tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui.tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(m_model, &HistoryTableModel::readFailed, this, [this](const QString &error) {
        m_note->setText(tr("历史记录读取失败！\n%1").arg(error));
        m_note->show();
    });

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
    m_followBox = new QCheckBox(tr("跟随最新"), this);
    m_followBox->setObjectName(QStringLiteral("followCheckBox"));
    m_followBox->setToolTip(tr("其他程序写入的新读数随时显示"));
    ui.presetLayout->addWidget(m_followBox);
    connect(m_followBox, &QCheckBox::toggled, this, &HisViewForm::follow);

    m_curveTimer.setSingleShot(true);
    connect(&m_curveTimer, &QTimer::timeout, this, &HisViewForm::requestCurve);
    m_followTimer.setSingleShot(true);
    m_followTimer.setInterval(kFollowMs);
    connect(&m_followTimer, &QTimer::timeout, this, [this] {
        // An export reads the table as it stands; the newest rows come after it.
        if (m_exporting)
            m_followTimer.start();
        else if (m_followBox->isChecked() && !isLoading())
            readAgain(true);
    });
}

HisViewForm::~HisViewForm()
{
    if (m_followBox->isChecked() && m_store)
        m_store->watchTable(false);
    cancelLoad();
}

void HisViewForm::setUpPlot()
{
    // The plot's own decimating curve gives way to curves of pixel columns.
    delete setUpTrendPlot(ui.qwtPlot, QDateTime());
    auto *curve = new HistoryCurve(QStringLiteral("Acc_X"));
    curve->setPen(QPen(curveColour(0)));
    curve->attach(ui.qwtPlot);
    m_curves.append(curve);
    // The plot beside the table is narrow; more clock labels would overlap.
    ui.qwtPlot->setAxisMaxMajor(QwtPlot::xBottom, 5);
    ui.qwtPlot->canvas()->installEventFilter(this);
    // Every zoom, pan and fit reads the visible part anew at the plot's own
    // resolution.
    connect(ui.qwtPlot->axisWidget(QwtPlot::xBottom), &QwtScaleWidget::scaleDivChanged, this, [this] {
        const bool stream = m_streamClock.isValid() && m_streamClock.elapsed() < kStreamMs;
        m_curveTimer.start(stream ? kCurveSettleMs : 0);
    });

    m_plotBar = new PlotViewBar(ui.qwtPlot, PlotViewBar::Kind::History, this);
    ui.verticalLayout->insertWidget(ui.verticalLayout->indexOf(ui.qwtPlot), m_plotBar);
    m_quantityBox = new QComboBox(m_plotBar);
    m_quantityBox->setObjectName(QStringLiteral("quantityComboBox"));
    m_quantityBox->setToolTip(tr("曲线显示的功能和单位"));
    m_quantityAction = m_plotBar->addWidget(m_quantityBox);
    m_quantityAction->setVisible(false);
    connect(m_quantityBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &HisViewForm::showQuantity);

    // Above the plot, once: why the range is read from its rows.
    auto *noteRow = new QHBoxLayout;
    m_note = new QLabel(this);
    m_note->setObjectName(QStringLiteral("noteLabel"));
    m_note->setWordWrap(true);
    m_note->hide();
    m_buildButton = new QPushButton(tr("生成摘要"), this);
    m_buildButton->setObjectName(QStringLiteral("buildSummariesButton"));
    m_buildButton->setToolTip(tr("为已有读数生成摘要，之后长时间段的曲线和统计立即显示"));
    m_buildButton->hide();
    connect(m_buildButton, &QPushButton::clicked, this, &HisViewForm::buildSummaries);
    noteRow->addWidget(m_note, 1);
    noteRow->addWidget(m_buildButton);
    ui.verticalLayout->insertLayout(ui.verticalLayout->indexOf(m_plotBar), noteRow);

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
    if (m_followBox->isChecked() && m_store != store) {
        if (m_store)
            m_store->watchTable(false);
        if (store)
            store->watchTable(true);
    }
    if (m_store != store) {
        if (m_store)
            disconnect(m_store, &RecordStore::rowsAdded, this, nullptr);
        m_store = store;
        if (m_store)
            connect(m_store, &RecordStore::rowsAdded, this, [this](const QString &source) {
                if (m_followBox->isChecked() && (m_source.isNull() || source.isNull() || source == m_source) &&
                    !m_followTimer.isActive())
                    m_followTimer.start();
            });
        m_table = RangeQueries::Table();
    }
    showRangeInBar(start, stop);
    if (!m_store) {
        QMessageBox::warning(this, tr("错误"), tr("历史记录读取失败！\n%1").arg(tr("数据库已关闭")));
        return;
    }
    m_source = ui.sourceComboBox->currentData().toString();
    readAgain(false);
}

void HisViewForm::readAgain(bool quiet)
{
    const QDateTime start = ui.rangeStartEdit->dateTime();
    QDateTime stop = ui.rangeStopEdit->dateTime();
    if (quiet && m_followBox->isChecked()) {
        // Following: the range runs up to now.
        stop = HistoryReads::wallClockFields(QDateTime::currentDateTime());
        ui.rangeStopEdit->setDateTime(stop);
    }
    auto read = std::make_shared<HistoryReads::OverviewRead>(start, stop, m_source);
    read->table = m_table;
    m_overview = read;
    read->whenDone(this, [this, read, quiet] {
        if (m_overview == read)
            finishOverview(read, quiet);
    });
    m_store->read(read);
    if (quiet)
        return;

    m_progress = new QProgressDialog(tr("正在读取历史记录…"), tr("取消"), 0, 0, this);
    m_progress->setWindowModality(Qt::WindowModal);
    m_progress->setMinimumDuration(kProgressDelayMs);
    m_progress->setAutoReset(false);
    m_progress->setAutoClose(false);
    m_progress->setValue(0);
    connect(m_progress, &QProgressDialog::canceled, this, [this] {
        cancelLoad();
        // Nothing of the range was shown: a window without it would pass
        // for an empty range.
        if (!m_shown)
            close();
        else
            showRangeInBar(m_shownStart, m_shownStop);
    });
}

bool HisViewForm::isLoading() const
{
    return bool(m_overview);
}

void HisViewForm::closeProgress()
{
    if (!m_progress)
        return;
    m_progress->blockSignals(true);
    // Hidden and its show timer stopped now: an export waiting for the read
    // runs its dialogs before the box is deleted, and the box must not come
    // up over them.
    m_progress->reset();
    m_progress->hide();
    m_progress->deleteLater();
    m_progress = nullptr;
}

void HisViewForm::cancelLoad()
{
    if (m_overview)
        m_overview->cancel();
    m_overview.reset();
    closeProgress();
}

void HisViewForm::finishOverview(const std::shared_ptr<HistoryReads::OverviewRead> &read, bool quiet)
{
    m_overview.reset();
    closeProgress();
    if (read->failed()) {
        m_pending = Pending::None;
        if (quiet)
            return; // following: the next commit tries again
        QMessageBox::warning(this, tr("错误"), tr("历史记录读取失败！\n%1").arg(read->error()));
        // A window that shows a range keeps it, and its bar names it again.
        if (!m_shown)
            close();
        else
            showRangeInBar(m_shownStart, m_shownStop);
        return;
    }
    const QDateTime start = ui.rangeStartEdit->dateTime();
    const QDateTime stop = ui.rangeStopEdit->dateTime();
    const bool fitted = !m_shown || m_plotBar->isFollowing() || quiet;
    const QString shownQuantity = m_quantities.value(m_quantity).label();
    m_shown = true;
    m_shownStart = start;
    m_shownStop = stop;
    m_table = read->table;
    m_range = HistoryReads::rangeOf(start, stop);
    m_rows = read->rows;
    // A range with no readings has nothing to print (a blank page was said
    // to be printed).
    ui.printPushButton->setEnabled(m_rows > 0);
    m_sources = read->sources;
    showSources(read->sources, m_table.hasSource);
    showNote(m_table);

    // Row 0 is the time origin (x = 0), as the range's first reading.
    m_originMs = read->rows > 0 ? read->first.ms : m_range.fromMs;
    // An empty range has no row 0: its axis has no times to show.
    const QDateTime origin = read->rows > 0 ? HistoryReads::timeOfNaiveMs(m_originMs) : QDateTime();
    setTrendPlotBase(ui.qwtPlot, origin,
                     read->rows > 0 && spansSeveralDays(origin, HistoryReads::timeOfNaiveMs(read->last.ms)));
    m_extent = read->rows > 0 ? QRectF(HistoryCurve::xOf(read->first.ms, m_originMs), 0,
                                       HistoryCurve::xOf(read->last.ms, m_originMs) -
                                           HistoryCurve::xOf(read->first.ms, m_originMs),
                                       0)
                              : QRectF();

    // Two meters or more in one table: the meter's column says whose.
    const bool withSource = m_source.isNull() && m_sources.size() > 1;
    m_model->setRange(m_store, m_table, m_range, m_source, m_rows, withSource);
    for (int c = 0; c < m_model->columnCount(); ++c)
        ui.tableView->setColumnWidth(c, kColumnWidth);
    // The time column is as wide as a date and a time are.
    const int timeWidth = ui.tableView->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) +
                          2 * ui.tableView->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 12;
    ui.tableView->setColumnWidth(HistoryTableModel::TimeColumn, std::max(kColumnWidth, timeWidth));
    // Units are a few letters; the narrower column keeps the four within the table.
    ui.tableView->setColumnWidth(HistoryTableModel::UnitColumn, kUnitColumnWidth);
    fitTableWidth();
    if (quiet && m_followBox->isChecked())
        m_scroller->scrollToBottom();

    m_quantities = read->quantities;
    int index = 0;
    {
        const QSignalBlocker block(m_quantityBox);
        m_quantityBox->clear();
        for (int i = 0; i < m_quantities.size(); ++i) {
            m_quantityBox->addItem(m_quantities.at(i).label());
            if (m_quantities.at(i).label() == shownQuantity && quiet)
                index = i;
        }
    }
    m_quantityAction->setVisible(m_quantities.size() > 1);
    showAlarms(read->alarms);
    m_quantity = index;
    plotQuantity(index);
    if (fitted)
        m_plotBar->fit();
    // The curve is read at once for the canvas as it will be shown: the
    // table's new width and the axes' labels are laid out first.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    m_curveTimer.stop();
    requestCurve();
    runPending();
}

void HisViewForm::fitTableWidth()
{
    // The four columns fit the table's fixed width; a column more (the
    // meter's) widens it so that every column shows beside the others.
    int width = 2 * ui.tableView->frameWidth() + ui.tableView->verticalHeader()->sizeHint().width();
    for (int c = 0; c < m_model->columnCount(); ++c)
        width += ui.tableView->columnWidth(c);
    width += m_tableBox->findChild<QScrollBar *>(QStringLiteral("rangeScrollBar"))->sizeHint().width();
    width += ui.tableView->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const int fixed = std::max(kTableWidth, width);
    m_tableBox->setMinimumWidth(fixed);
    m_tableBox->setMaximumWidth(fixed);
}

void HisViewForm::chooseSource(const QString &source)
{
    QComboBox *box = ui.sourceComboBox;
    if (source.isNull()) {
        box->setCurrentIndex(0);
        return;
    }
    int at = -1;
    for (int i = 1; i < box->count() && at < 0; ++i)
        if (box->itemData(i).toString() == source)
            at = i;
    if (at < 0) {
        box->addItem(source.isEmpty() ? tr("未命名仪表") : source, source);
        at = box->count() - 1;
    }
    box->setCurrentIndex(at);
}

void HisViewForm::showWithin(const QRect &available)
{
    // The frame a window manager adds is known only once shown; a title bar
    // and thin borders are allowed for.
    const QMargins frame(4, 32, 4, 4);
    setGeometry(windowWithin(available, size(), minimumSizeHint().expandedTo(minimumSize()), frame));
    show();
}

void HisViewForm::showQuantity(int index)
{
    if (index < 0 || index >= m_quantities.size())
        return;
    plotQuantity(index);
    m_plotBar->fit();
    m_curveTimer.start(0);
}

void HisViewForm::plotQuantity(int index)
{
    m_quantity = index;
    {
        const QSignalBlocker block(m_quantityBox);
        m_quantityBox->setCurrentIndex(index);
    }
    const HistoryReads::Quantity q = m_quantities.value(index);
    // Every row written by the meter names a range 0–44; a quantity read in
    // several units, or whose first row names none, follows the data. An
    // empty range has the scale of range 0, as row 0 of nothing reads.
    if (const auto scale = m_quantities.isEmpty() ? rangeScale(0) : scaleOf(q))
        m_plotBar->setRangeScale(scale->lower, scale->upper, scale->step);
    else
        m_plotBar->clearRangeScale();
    // Where this quantity's overloads are drawn: the ends of the ranges of
    // its units, in the unit shown.
    m_overloads.clear();
    for (const RangeQueries::Quantity::Unit &u : q.query.units) {
        for (int range = 0; range < kRangeCount; ++range) {
            if (meterRangeUnit(range) != u.unit)
                continue;
            // With the decimals the meter shows there, as its overloads come.
            for (const bool negative : {false, true})
                if (const auto v = overloadCurveValue(signedOverloadText(negative, rangeDecimals(range)), range))
                    m_overloads.append(*v * u.factor);
        }
    }
    for (HistoryCurve *c : qAsConst(m_curves)) {
        c->setStretches({}, {}, m_extent);
        c->setValueExtent(QwtInterval());
        c->setOverloadValues(m_overloads);
    }
    m_plotBar->setReadoutUnit(q.baseUnit);
    // A quantity of several units is drawn in its base unit, with prefixes.
    if (q.units.size() > 1)
        ui.qwtPlot->setAxisScaleDraw(QwtPlot::yLeft, new SiScaleDraw(q.baseUnit));
    else if (dynamic_cast<SiScaleDraw *>(ui.qwtPlot->axisScaleDraw(QwtPlot::yLeft)))
        ui.qwtPlot->setAxisScaleDraw(QwtPlot::yLeft, new QwtScaleDraw);
    m_gapMs = 0;
    m_rangeValues.reset();

    StatsFormat format;
    format.unit = q.baseUnit;
    // The readings' own resolution, in the unit shown: that of the first of
    // them, else the decimals the meter shows in its range.
    const double factor = q.query.units.isEmpty() ? 1.0 : q.query.units.first().factor;
    const int decimals = q.firstDecimals >= 0 ? q.firstDecimals : rangeDecimals(q.firstRange);
    format.decimals = decimals < 0 ? -1 : std::max(0, decimals + int(std::lround(-std::log10(factor))));
    format.withDate = m_rows > 0 && HistoryReads::timeOfNaiveMs(m_range.fromMs).date() !=
                                        HistoryReads::timeOfNaiveMs(m_range.toMs - 1).date();
    m_statsBox->setStatistics(RunStatistics(), format);
    m_statisticsRead.reset();
    m_statsWithCurve.reset();
    m_statsCurveRead.reset();
    if (m_quantities.isEmpty() || !m_store)
        return;
    if (!m_table.summaries) {
        m_statsWithCurve = std::make_shared<StatsFormat>(format);
        return;
    }
    requestStatistics(format);
}

void HisViewForm::requestStatistics(const StatsFormat &format)
{
    const HistoryReads::Quantity q = m_quantities.value(m_quantity);
    auto read = std::make_shared<HistoryReads::StatisticsRead>(m_range, m_source, q.query);
    read->table = m_table;
    m_statisticsRead = read;
    read->whenDone(this, [this, read, format] {
        if (m_statisticsRead != read || read->failed())
            return;
        m_statisticsRead.reset();
        m_statsBox->setLines(statisticsLines(read->statistics, read->meters, format));
    });
    m_store->read(read);
}

QVector<StatsLine> HisViewForm::statisticsLines(const RangeQueries::Statistics &statistics,
                                                const QVector<HistoryReads::MeterFigures> &meters,
                                                const StatsFormat &format) const
{
    const auto figuresOf = [](const RangeQueries::Statistics &s) {
        RunStatistics figures;
        figures.setFigures(s.count, s.overloads, s.mean, s.stddev, s.min, HistoryReads::timeOfNaiveMs(s.minMs), s.max,
                           HistoryReads::timeOfNaiveMs(s.maxMs));
        return figures;
    };
    // A line a meter, each in the resolution of its own readings.
    QVector<StatsLine> lines;
    StatsFormat together = format;
    together.decimals = -1;
    for (const HistoryReads::MeterFigures &m : meters) {
        StatsLine line;
        line.label = m.meter.source.isEmpty() ? tr("未命名仪表") : m.meter.source;
        line.stats = figuresOf(m.meter.figures);
        line.format = format;
        if (m.decimals() >= 0) {
            line.format.decimals = m.decimals();
            line.format.minDecimals = m.minDecimals;
            line.format.maxDecimals = m.maxDecimals;
            together.decimals = std::max(together.decimals, m.decimals());
        }
        const RangeQueries::Statistics &all = statistics;
        if (m.meter.figures.count > 0 && m.meter.figures.min == all.min && m.meter.figures.minMs == all.minMs)
            together.minDecimals = m.minDecimals;
        if (m.meter.figures.count > 0 && m.meter.figures.max == all.max && m.meter.figures.maxMs == all.maxMs)
            together.maxDecimals = m.maxDecimals;
        lines.append(line);
    }
    // The figures of several meters taken together: all of them read the
    // quantity shown, in its unit; the line says how many meters it covers.
    if (lines.size() > 1) {
        StatsLine line;
        line.label = tr("%1 台仪表合计").arg(lines.size());
        line.stats = figuresOf(statistics);
        line.format = together;
        lines.append(line);
    }
    if (lines.isEmpty())
        lines.append({QString(), RunStatistics(), format});
    return lines;
}

void HisViewForm::requestCurve()
{
    if (!m_store || m_quantities.isEmpty() || m_rows == 0)
        return;
    if (m_curveRead) {
        m_curveAgain = true;
        return;
    }
    // Columns two pixels past both edges of the canvas: a reading that
    // rounds onto a visible pixel is then always in a column of its own, and
    // what lies further out only gives the lines that leave the view.
    // (The scale's ends lie a few pixels inside the canvas.)
    const QwtScaleMap xMap = ui.qwtPlot->canvasMap(QwtPlot::xBottom);
    const double p1 = -2, p2 = ui.qwtPlot->canvas()->width() + 2;
    const double s1 = std::min(xMap.invTransform(p1), xMap.invTransform(p2));
    const double s2 = std::max(xMap.invTransform(p1), xMap.invTransform(p2));
    const qint64 fromMs = std::max(m_range.fromMs, HistoryCurve::msOf(s1, m_originMs));
    const qint64 toMs = std::min(m_range.toMs, HistoryCurve::msOf(s2, m_originMs) + 1);
    QVector<qint64> bounds;
    if (fromMs < toMs)
        bounds = HistoryCurve::pixelColumns(xMap, m_originMs, fromMs, toMs);
    // The readings just outside the view, for the lines that leave it: only
    // those within the gap of its edges can join one inside. Until the
    // whole range's curve gave the gap, its meters and their values, the
    // columns reach to the range's ends.
    const bool nearOnly = m_rangeValues && m_gapMs > 0 && !bounds.isEmpty();
    const qint64 reach = qint64(std::ceil(m_gapMs)) + 1;
    if (bounds.isEmpty())
        bounds = {m_range.fromMs, m_range.toMs};
    if (bounds.first() > m_range.fromMs)
        bounds.prepend(nearOnly ? std::max(m_range.fromMs, bounds.first() - reach) : m_range.fromMs);
    if (bounds.last() < m_range.toMs)
        bounds.append(nearOnly ? std::min(m_range.toMs, bounds.last() + reach) : m_range.toMs);
    m_curveReadsAll = bounds.first() == m_range.fromMs && bounds.last() == m_range.toMs;

    RangeQueries::ColumnsRequest request;
    request.boundaries = bounds;
    request.source = m_source;
    request.quantity = m_quantities.at(m_quantity).query;
    // One gap for every zoom: the one the whole range's curve found.
    request.gapMs = m_gapMs;
    request.statistics = m_statsWithCurve && m_curveReadsAll && !m_statsCurveRead;
    auto read = std::make_shared<HistoryReads::CurveRead>(request);
    read->table = m_table;
    m_curveRead = read;
    if (request.statistics) {
        // The work of two reads in one statement: the time of two.
        read->timeoutMs = 2 * HistoryReads::kTimeoutMs;
        m_statsCurveRead = read;
    }
    read->whenDone(this, [this, read] { showCurve(read); });
    m_store->read(read);
}

void HisViewForm::showCurve(const std::shared_ptr<HistoryReads::CurveRead> &read)
{
    if (read == m_statsCurveRead) {
        m_statsCurveRead.reset();
        const std::shared_ptr<StatsFormat> format = std::move(m_statsWithCurve);
        if (format && read->failed())
            requestStatistics(*format);
        else if (format)
            m_statsBox->setLines(statisticsLines(read->statistics, read->meters, *format));
    }
    if (m_curveRead != read)
        return;
    m_curveRead.reset();
    if (m_curveAgain) {
        m_curveAgain = false;
        requestCurve();
        return;
    }
    if (read->failed()) {
        m_note->setText(tr("曲线读取失败：%1").arg(read->error()));
        m_note->show();
        return;
    }
    QVector<RangeQueries::Curve> curves = read->columns.curves;
    if (!curves.isEmpty())
        m_gapMs = curves.first().gapMs;
    // A part of the range: the meters with no reading near the view keep
    // their place (colour, legend) with an empty curve.
    if (!m_curveReadsAll && m_rangeValues) {
        for (auto it = m_rangeValues->cbegin(); it != m_rangeValues->cend(); ++it) {
            const auto at = std::lower_bound(
                curves.begin(), curves.end(), it.key(),
                [](const RangeQueries::Curve &c, const QString &source) { return c.source < source; });
            if (at == curves.end() || at->source != it.key()) {
                RangeQueries::Curve none;
                none.source = it.key();
                none.gapMs = m_gapMs;
                curves.insert(at, none);
            }
        }
    }
    // A curve per meter; the first keeps the plot's own.
    while (m_curves.size() > std::max(1, int(curves.size()))) {
        delete m_curves.takeLast();
    }
    while (m_curves.size() < curves.size()) {
        auto *c = new HistoryCurve;
        c->setPen(QPen(curveColour(m_curves.size())));
        c->setOverloadValues(m_overloads);
        c->attach(ui.qwtPlot);
        m_curves.append(c);
    }
    if (m_curveReadsAll) {
        m_rangeValues.emplace();
        m_model->setAnchors(
            RangeQueries::anchorsOf(read->request(), read->columns, m_model->range(), m_model->totalRows()));
    }
    for (int i = 0; i < m_curves.size(); ++i) {
        if (i < curves.size()) {
            m_curves[i]->setColumns(curves.at(i), m_originMs, m_extent);
            if (m_curveReadsAll) {
                m_curves[i]->setValueExtent(QwtInterval());
                const QRectF r = m_curves[i]->boundingRect();
                m_rangeValues->insert(curves.at(i).source, QwtInterval(r.top(), r.bottom()));
            }
            m_curves[i]->setValueExtent(m_rangeValues ? m_rangeValues->value(curves.at(i).source)
                                                      : QwtInterval());
            m_curves[i]->setTitle(curves.at(i).source.isEmpty() ? tr("未命名仪表") : curves.at(i).source);
        } else {
            m_curves[i]->setStretches({}, {}, m_extent);
            m_curves[i]->setValueExtent(QwtInterval());
        }
    }
    // Several meters: a legend says which curve is whose.
    const bool legend = curves.size() > 1;
    if (legend && !m_legend) {
        m_legend = new QwtLegend;
        ui.qwtPlot->insertLegend(m_legend, QwtPlot::TopLegend);
    } else if (!legend && m_legend) {
        ui.qwtPlot->insertLegend(nullptr);
        m_legend = nullptr;
    }
    for (HistoryCurve *c : qAsConst(m_curves))
        c->setItemAttribute(QwtPlotItem::Legend, legend);
    ui.qwtPlot->replot();
    emit curveShown();
}

void HisViewForm::showAlarms(const AlarmSchema::Load &alarms)
{
    m_alarmList->clear();
    if (!alarms.ok) {
        m_alarmList->addItem(tr("报警事件读取失败：%1").arg(alarms.error));
        return;
    }
    for (const AlarmEvent &e : alarms.events)
        m_alarmList->addItem(alarmLine(e, m_source.isNull()));
}

void HisViewForm::showNote(const RangeQueries::Table &table)
{
    if (table.summaries || table.summaryReason.isEmpty() || !table.exists) {
        m_buildButton->hide();
        if (!m_note->text().startsWith(tr("历史记录读取失败")))
            m_note->hide();
        return;
    }
    // Said once: the range is read from its rows, slower over long ranges.
    if (!m_noteShown) {
        m_noteShown = true;
        m_note->setText(tr("长时间段读取较慢：%1").arg(table.summaryReason));
        m_note->show();
    }
    m_buildButton->setVisible(table.summariesCanBuild);
}

void HisViewForm::buildSummaries()
{
    // On a connection of its own: the window's store goes on writing readings
    // meanwhile.
    // The server the window reads, wherever its settings came from.
    const auto *reading = qobject_cast<const database *>(m_store.data());
    auto *builder =
        new database(reading ? reading->settings() : DbSettings::fromEnvironment(), QString(), this);
    builder->openForReading();
    auto build = std::make_shared<HistoryReads::BuildSummariesRead>();
    const std::weak_ptr<HistoryReads::BuildSummariesRead> weak = build;
    HistoryReads::BuildSummariesRead *raw = build.get();
    // The progress is shown once the plan is agreed to; until then no
    // dialog of ours may come up over the question.
    auto box = std::make_shared<QPointer<QProgressDialog>>();
    build->progress = [raw, box](double fraction, qint64) {
        raw->post([box, fraction] {
            if (*box)
                (*box)->setValue(int(fraction * 1000));
        });
    };
    // What the build adds to the table and how long writers wait, asked
    // before anything changes; the build waits for the answer.
    build->announce = [this, raw, box, weak](const QString &plan) {
        auto answer = std::make_shared<std::promise<bool>>();
        std::future<bool> decided = answer->get_future();
        raw->post([this, box, weak, plan, answer] {
            const bool go = QMessageBox::question(this, tr("生成摘要"), tr("%1\n\n现在开始？").arg(plan),
                                                  QMessageBox::Yes | QMessageBox::No,
                                                  QMessageBox::Yes) == QMessageBox::Yes;
            if (go) {
                auto *dialog = new QProgressDialog(plan, tr("取消"), 0, 1000, this);
                dialog->setWindowModality(Qt::WindowModal);
                dialog->setMinimumDuration(0);
                connect(dialog, &QProgressDialog::canceled, this, [weak] {
                    if (const auto b = weak.lock())
                        b->cancel();
                });
                dialog->setValue(0);
                *box = dialog;
            }
            answer->set_value(go);
        });
        try {
            return decided.get();
        } catch (const std::future_error &) {
            return false; // the window went away before it was answered
        }
    };
    build->whenDone(this, [this, build, box, builder] {
        if (*box)
            (*box)->deleteLater();
        builder->deleteLater();
        if (build->failed()) {
            QMessageBox::warning(this, tr("错误"), tr("摘要生成失败：%1").arg(build->error()));
            return;
        }
        if (build->built) {
            m_noteShown = false;
            m_table = RangeQueries::Table();
            reloadRange();
        }
    });
    builder->read(build);
}

void HisViewForm::showRangeInBar(const QDateTime &start, const QDateTime &stop)
{
    ui.rangeStartEdit->setDateTime(HistoryReads::wallClockFields(start));
    ui.rangeStopEdit->setDateTime(HistoryReads::wallClockFields(stop));
}

void HisViewForm::showSources(const QStringList &found, bool hasSource)
{
    QComboBox *box = ui.sourceComboBox;
    const QString chosen = box->currentData().toString();
    // A read of all meters names them anew; one of a single meter keeps the
    // others offered, and the meter chosen stays even where this range holds
    // none of its readings.
    QStringList sources = found;
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
        box->addItem(source.isEmpty() ? tr("未命名仪表") : source, source);
    box->setCurrentIndex(std::max(0, box->findData(chosen)));
    box->setEnabled(hasSource);
}

void HisViewForm::reloadRange()
{
    if (!ui.rangeStartEdit->finish() || !ui.rangeStopEdit->finish())
        return;
    const QDateTime start = ui.rangeStartEdit->dateTime();
    const QDateTime stop = ui.rangeStopEdit->dateTime();
    if (start.secsTo(stop) <= 0) {
        QMessageBox::warning(this, tr("警告"), tr("停止时间要大于起始时间！"));
        return;
    }
    loadRange(m_store, start, stop);
}

void HisViewForm::follow(bool on)
{
    if (m_store)
        m_store->watchTable(on);
    if (on && m_shown && !isLoading())
        readAgain(true);
}

bool HisViewForm::eventFilter(QObject *watched, QEvent *event)
{
    // A click on the curve, not a drag, brings the row of that moment.
    if (watched == ui.qwtPlot->canvas()) {
        // Another width, other pixel columns: the curve is read for them.
        // A legend or a taller axis changes only the height: the same columns.
        if (event->type() == QEvent::Resize) {
            const auto *resize = static_cast<QResizeEvent *>(event);
            if (resize->size().width() != resize->oldSize().width())
                m_curveTimer.start(kCurveSettleMs);
        }
        if (event->type() == QEvent::Wheel ||
            (event->type() == QEvent::MouseMove && static_cast<QMouseEvent *>(event)->buttons() != Qt::NoButton))
            m_streamClock.restart();
        if (event->type() == QEvent::MouseButtonPress)
            m_pressedAt = static_cast<QMouseEvent *>(event)->pos();
        else if (event->type() == QEvent::MouseButtonRelease &&
                 (static_cast<QMouseEvent *>(event)->pos() - m_pressedAt).manhattanLength() <= 3 && m_rows > 0) {
            const double x = ui.qwtPlot->invTransform(QwtPlot::xBottom, m_pressedAt.x());
            bringRowAt(HistoryCurve::msOf(x, m_originMs));
        }
    }
    return QWidget::eventFilter(watched, event);
}

void HisViewForm::showRow(int row)
{
    m_scroller->scrollToRow(row, QAbstractItemView::PositionAtCenter);
    m_scroller->selectRow(row);
}

void HisViewForm::bringRowAt(qint64 ms)
{
    if (!m_store)
        return;
    auto read = std::make_shared<HistoryReads::RowIndexRead>(m_range, m_source, ms);
    read->table = m_table;
    if (m_model->range().fromMs == m_range.fromMs && m_model->range().toMs == m_range.toMs)
        read->setAnchors(m_model->anchors());
    read->whenDone(this, [this, read] {
        if (read->failed() || m_rows == 0)
            return;
        const int row = int(std::min<qint64>(read->index, std::min<qint64>(m_rows, m_model->rowCount()) - 1));
        showRow(row);
    });
    m_store->read(read);
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
    return tr("数据记录");
}

template <class Export> void HisViewForm::exportAll(Pending kind, Export run)
{
    if (isLoading()) {
        m_pending = kind;
        return;
    }
    // Every row, read from the store block by block as the export comes to
    // it, never the whole range at once; a long one shows how far it is and
    // can be stopped (then nothing is kept). The box comes only once the
    // writing does, after the file is chosen (never over the save dialog),
    // and goes as soon as it ends, before the outcome is told.
    m_exporting = true;
    m_model->setBlocking(true);
    {
        QPointer<QProgressDialog> box;
        bool cancelled = false;
        const ExportProgressScope progress(
            [this, &box](qint64 done, qint64 total) {
                if (!m_model->readError().isEmpty())
                    return false;
                if (!box) {
                    box = new QProgressDialog(tr("正在导出 %1 条记录…").arg(m_rows), tr("取消"), 0, 1000, this);
                    box->setWindowModality(Qt::WindowModal);
                    box->setMinimumDuration(kProgressDelayMs);
                }
                box->setValue(total > 0 ? int(done * 1000 / total) : 0);
                return !box->wasCanceled();
            },
            [&box, &cancelled] {
                cancelled = box && box->wasCanceled();
                delete box;
            },
            [&cancelled] { return cancelled; });
        run();
        exportFinished();
    }
    m_model->setBlocking(false);
    m_exporting = false;
    if (!m_model->readError().isEmpty())
        QMessageBox::warning(this, tr("错误"), tr("历史记录读取失败！\n%1").arg(m_model->readError()));
}

void HisViewForm::doBtnTxtSlot()
{
    exportAll(Pending::Text, [this] { exportTableToText(m_model, this, ExportBoxStyle::HistoryWindow); });
}

void HisViewForm::doBtnExcelSlot()
{
    exportAll(Pending::Excel, [this] {
        exportTableToExcel(m_model, tableTitle(), tableColumnWidths(ui.tableView), ui.tableView,
                           ExportBoxStyle::HistoryWindow);
    });
}

void HisViewForm::doBtnPrintSlot()
{
    exportAll(Pending::Print, [this] {
        printTable(m_model, tableTitle(), tableColumnWidths(ui.tableView), this, ExportBoxStyle::HistoryWindow);
    });
}

void HisViewForm::doBtnCsvSlot()
{
    exportAll(Pending::Csv, [this] { exportTableToCsv(m_model, this, ExportBoxStyle::HistoryWindow); });
}
