#pragma once

#include "ui_hisviewform.h"

#include "core/store/dbsettings.h"
#include "core/store/historyreads.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMap>
#include <QPointer>
#include <QProgressDialog>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>

#include <qwt_interval.h>

class HistoryCurve;
class HistoryTableModel;
class PlotViewBar;
class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QwtLegend;
class RecordStore;
class RowWindowScroller;
class StatsBox;
struct StatsFormat;
struct StatsLine;
class database;

/// The window that shows one history range: the table of its readings on
/// the left, their curve over time on the right, above the curve a range bar
/// (start, stop, meter, quick choices, reload, follow the newest) to move
/// through time without the range dialog, and the export and print buttons.
///
/// It never holds the range. The table reads its rows in pages as they come
/// into view; the curve is read as the first, last, lowest and highest
/// reading of each pixel column (drawn, that paints exactly what a line
/// through every reading paints), anew for the visible part at each zoom or
/// pan; statistics and row counts come from the store's summaries.
class HisViewForm : public QWidget
{
    Q_OBJECT

public:
    explicit HisViewForm(QWidget *parent = nullptr);
    ~HisViewForm() override;

    /// Reads the range through `store` and shows it once read. A read that
    /// takes a while shows its progress and can be cancelled. A failed read
    /// says why; a window that never showed a range then closes rather than
    /// pass for an empty one.
    void loadRange(RecordStore *store, const QDateTime &start, const QDateTime &stop);
    /// loadRange() through a store of the window's own, opened for reading
    /// on `settings` (a tool, a test).
    void loadRange(const DbSettings &settings, const QDateTime &start, const QDateTime &stop);

    /// The curve draws one quantity (a function in one base unit). When the
    /// range holds several, the selector beside the plot chooses which; the
    /// first one's is drawn first. The table keeps every row.
    void showQuantity(int index);
    const QVector<HistoryReads::Quantity> &quantities() const { return m_quantities; }
    QComboBox *quantitySelector() const { return m_quantityBox; }
    PlotViewBar *plotViewBar() const { return m_plotBar; }
    StatsBox *statsBox() const { return m_statsBox; }
    /// The alarm events of the range loaded last, one line each.
    QListWidget *alarmList() const { return m_alarmList; }
    QCheckBox *followCheckBox() const { return m_followBox; }

    /// Whether a range or a curve is being read.
    bool isLoading() const;
    /// Whether the curve is being read, or is about to be (a zoom settling).
    bool isCurveLoading() const { return m_curveRead || m_curveTimer.isActive() || m_curveAgain; }
    /// Readings further apart than this (ms) leave a gap in the curve, as
    /// the last curve read found it.
    double curveGapMs() const { return m_gapMs; }
    HistoryTableModel *historyModel() const { return m_model; }
    /// The curve of the first meter, and of all of them.
    HistoryCurve *curve() const { return m_curves.value(0); }
    const QVector<HistoryCurve *> &curves() const { return m_curves; }
    QwtPlot *plot() const { return ui.qwtPlot; }
    QTableView *tableView() const { return ui.tableView; }
    /// Reads the meter named `source` only from the next read on (null:
    /// every meter), offered in the meter choice even before a read names it.
    void chooseSource(const QString &source);
    /// Shows the window within `available` (a screen's free area): its own
    /// size where that fits, smaller where not, never past the edges.
    void showWithin(const QRect &available);
    /// Scrolls the table to the range's row `row` (the curve's click does).
    void showRow(int row);
    /// The progress box of the running read (null when none is running).
    QProgressDialog *progressDialog() const { return m_progress; }
    /// Time origin of the curve's x (seconds from it), in naive ms.
    qint64 originMs() const { return m_originMs; }
    /// Why the range is read from the rows rather than the summaries, once.
    QLabel *noteLabel() const { return m_note; }

public slots:
    /// The exports and the print take the whole range: pressed while it is
    /// still being read, they run once it is.
    void doBtnTxtSlot();
    void doBtnExcelSlot();
    void doBtnPrintSlot();
    void doBtnCsvSlot();

signals:
    /// A curve read ended and its points are drawn.
    void curveShown();

private:
    enum class Pending { None, Text, Excel, Print, Csv };

    void setUpPlot();
    void finishOverview(const std::shared_ptr<HistoryReads::OverviewRead> &read, bool quiet);
    void plotQuantity(int index);
    void requestStatistics(const StatsFormat &format);
    QVector<StatsLine> statisticsLines(const RangeQueries::Statistics &statistics,
                                       const QVector<HistoryReads::MeterFigures> &meters,
                                       const StatsFormat &format) const;
    void requestCurve();
    void showCurve(const std::shared_ptr<HistoryReads::CurveRead> &read);
    void showAlarms(const AlarmSchema::Load &alarms);
    void showNote(const RangeQueries::Table &table);
    void buildSummaries();
    void cancelLoad();
    void closeProgress();
    void reloadRange();
    void readAgain(bool quiet);
    void follow(bool on);
    void showRangeInBar(const QDateTime &start, const QDateTime &stop);
    void fitTableWidth();
    void showSources(const QStringList &sources, bool hasSource);
    void bringRowAt(qint64 ms);
    void runPending();
    template <class Export> void exportAll(Pending kind, Export run);
    QString tableTitle() const;
    bool eventFilter(QObject *watched, QEvent *event) override;

    Ui::HisViewForm ui;
    HistoryTableModel *m_model = nullptr;
    RowWindowScroller *m_scroller = nullptr;
    QWidget *m_tableBox = nullptr;
    QVector<HistoryCurve *> m_curves;
    QwtLegend *m_legend = nullptr;
    PlotViewBar *m_plotBar = nullptr;
    QComboBox *m_quantityBox = nullptr;
    QAction *m_quantityAction = nullptr;
    StatsBox *m_statsBox = nullptr;
    QListWidget *m_alarmList = nullptr;
    QCheckBox *m_followBox = nullptr;
    QLabel *m_note = nullptr;
    QPushButton *m_buildButton = nullptr;

    QPointer<RecordStore> m_store;
    database *m_ownStore = nullptr;
    RangeQueries::Table m_table;
    RangeQueries::Range m_range;
    QString m_source; ///< the meter chosen; null for all
    QStringList m_sources;
    QVector<HistoryReads::Quantity> m_quantities;
    int m_quantity = 0;
    qint64 m_originMs = 0;
    qint64 m_rows = 0;
    double m_gapMs = 0;
    QVector<double> m_overloads; ///< where the quantity's overloads are drawn
    QRectF m_extent; ///< x of the range's readings, where fitting returns to
    /// Each meter's y span in the curve read over the whole range, once
    /// one has been shown: a zoom keeps the meters and their y bounds.
    std::optional<QMap<QString, QwtInterval>> m_rangeValues;
    bool m_curveReadsAll = false; ///< the read under way covers the whole range

    std::shared_ptr<HistoryReads::OverviewRead> m_overview;
    std::shared_ptr<HistoryReads::CurveRead> m_curveRead;
    std::shared_ptr<HistoryReads::StatisticsRead> m_statisticsRead;
    /// The statistics, in this format, still to come with the next read of
    /// the whole range's curve: where the summaries do not serve, both are
    /// read in one pass over the rows.
    std::shared_ptr<StatsFormat> m_statsWithCurve;
    std::shared_ptr<HistoryReads::CurveRead> m_statsCurveRead; ///< the read that brings them
    bool m_curveAgain = false;
    QTimer m_curveTimer;   // zoom and pan settle before the curve is read
    QElapsedTimer m_streamClock; // since the canvas last had a wheel notch or a drag
    QTimer m_followTimer;  // at most a read a second while following
    QPoint m_pressedAt;    // a click on the canvas, not a drag
    QPointer<QProgressDialog> m_progress;
    Pending m_pending = Pending::None;
    bool m_shown = false;
    bool m_exporting = false;
    bool m_noteShown = false;
    QString m_baseTitle;
    QDateTime m_shownStart;
    QDateTime m_shownStop;
};
