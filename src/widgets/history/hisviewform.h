#pragma once

#include "ui_hisviewform.h"

#include "core/history/historydata.h"
#include "core/history/historyquantity.h"
#include "core/store/dbsettings.h"

#include <QDateTime>
#include <QPointer>
#include <QProgressDialog>
#include <QWidget>

#include <memory>

namespace AlarmSchema {
struct Load;
}
class HistoryLoader;
struct HistoryLoadResult;
class HistoryStatistics;
class PlotViewBar;
class RecordStore;
class database;
class QAction;
class QComboBox;
class QListWidget;
class StatsBox;
class HistoryTableModel;
class QwtPlotCurve;

/// The window that shows the result of one history query: the table of the
/// readings on the left, their curve over time on the right, and above the
/// curve a range bar (start, stop, quick choices, reload) to move through
/// time without the range dialog, and the export and print buttons.
class HisViewForm : public QWidget
{
    Q_OBJECT

public:
    /// An empty window; loadRange() or setRows() fill it.
    explicit HisViewForm(QWidget *parent = nullptr);
    ~HisViewForm() override;

    /// Reads the range on a thread of its own and shows it once read. A load
    /// that takes a while shows its progress; cancelling it shows the rows
    /// read so far, marked as partial. A failed load says why; a window that
    /// never showed rows then closes rather than pass for an empty range.
    void loadRange(RecordStore *store, const QDateTime &start, const QDateTime &stop);
    /// loadRange() through a store of the window's own, opened for reading
    /// on `settings` (a tool, a test).
    void loadRange(const DbSettings &settings, const QDateTime &start, const QDateTime &stop);
    /// Shows `rows`: the table, the curve, the time axis from row 0's time
    /// and the y scale of row 0's range (the data's own extent when row 0
    /// names no range), and the statistics of the quantity plotted.
    void setRows(std::shared_ptr<const HistoryData> rows);

    /// The curve draws one quantity (function and unit). When the rows hold
    /// several, the selector beside the plot chooses which; row 0's is drawn
    /// first. The table keeps every row.
    void showQuantity(int index);
    const QVector<HistoryQuantity> &quantities() const { return m_quantities; }
    QComboBox *quantitySelector() const { return m_quantityBox; }
    PlotViewBar *plotViewBar() const { return m_plotBar; }
    StatsBox *statsBox() const { return m_statsBox; }
    /// The alarm events of the range loaded last, one line each.
    QListWidget *alarmList() const { return m_alarmList; }

    bool isLoading() const;
    /// Whether the rows shown are only part of the range (a cancelled load).
    bool isPartial() const { return m_partial; }
    HistoryTableModel *historyModel() const { return m_model; }
    QwtPlotCurve *curve() const { return m_curve; }
    QwtPlot *plot() const { return ui.qwtPlot; }
    QTableView *tableView() const { return ui.tableView; }
    /// The progress box of the running load (null when none is running).
    QProgressDialog *progressDialog() const { return m_progress; }

public slots:
    /// The exports and the print take the whole table: pressed while rows
    /// are still loading, they run once the load has ended.
    void doBtnTxtSlot();
    void doBtnExcelSlot();
    void doBtnPrintSlot();
    void doBtnCsvSlot();

private:
    enum class Pending { None, Text, Excel, Print, Csv };

    void setUpPlot();
    void showRows(std::shared_ptr<const HistoryData> rows, const HistoryStatistics *firstStats);
    void plotQuantity(int index, const HistoryStatistics *stats);
    void showAlarms(const AlarmSchema::Load &alarms);
    void finishLoad();
    void cancelLoad();
    void closeProgress();
    void reloadRange();
    void showRangeInBar(const QDateTime &start, const QDateTime &stop);
    void showSources(const HistoryLoadResult &result);
    void runPending();
    QString tableTitle() const;

    Ui::HisViewForm ui;
    HistoryTableModel *m_model = nullptr;
    QwtPlotCurve *m_curve = nullptr;
    PlotViewBar *m_plotBar = nullptr;
    QComboBox *m_quantityBox = nullptr;
    QAction *m_quantityAction = nullptr;
    StatsBox *m_statsBox = nullptr;
    QListWidget *m_alarmList = nullptr;
    QVector<HistoryQuantity> m_quantities;
    // The curve's points when it draws a part of the rows.
    QVector<double> m_curveX;
    QVector<double> m_curveY;
    std::shared_ptr<const HistoryData> m_rows;
    QDateTime m_baseTime;
    HistoryLoader *m_loader = nullptr;
    QPointer<QProgressDialog> m_progress;
    Pending m_pending = Pending::None;
    bool m_partial = false;
    bool m_shownRows = false;
    QString m_baseTitle;
    QPointer<RecordStore> m_store;
    database *m_ownStore = nullptr;
    QDateTime m_shownStart;
    QDateTime m_shownStop;
};
