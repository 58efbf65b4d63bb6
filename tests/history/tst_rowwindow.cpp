// A view over a long model through a window of its rows: whichever way it
// is scrolled, the rows it shows and selects are the model's own.
#include "models/rowwindowmodel.h"
#include "widgets/history/rowwindowscroller.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTableView>
#include <QtTest>

namespace {

// Each cell says its row.
class NumberedModel : public QAbstractTableModel
{
public:
    int rows = 0;
    void setRows(int n)
    {
        beginResetModel();
        rows = n;
        endResetModel();
    }
    int rowCount(const QModelIndex &parent = QModelIndex()) const override { return parent.isValid() ? 0 : rows; }
    int columnCount(const QModelIndex &parent = QModelIndex()) const override { return parent.isValid() ? 0 : 2; }
    QVariant data(const QModelIndex &index, int role) const override
    {
        return role == Qt::DisplayRole ? QVariant(index.row()) : QVariant();
    }
};

} // namespace

class TestRowWindow : public QObject
{
    Q_OBJECT

    NumberedModel *model = nullptr;
    RowWindowModel *window = nullptr;
    QTableView *view = nullptr;
    QScrollBar *bar = nullptr;
    RowWindowScroller *scroller = nullptr;

    int shownTop() const
    {
        return view->model()->index(view->verticalScrollBar()->value(), 0).data().toInt();
    }
    int selectedRow() const
    {
        const QModelIndexList rows = view->selectionModel()->selectedRows();
        return rows.size() == 1 ? rows.first().data().toInt() : -1;
    }

private slots:
    void init()
    {
        model = new NumberedModel;
        model->setRows(10000);
        window = new RowWindowModel(nullptr, 400);
        window->setSourceModel(model);
        view = new QTableView;
        bar = new QScrollBar;
        scroller = new RowWindowScroller(view, bar, window);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->resize(300, 300);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view));
    }
    void cleanup()
    {
        delete scroller;
        delete view;
        delete bar;
        delete window;
        delete model;
    }

    void barReachesEveryRow()
    {
        QVERIFY(window->isWindowed());
        QVERIFY(!bar->isHidden());
        const int page = view->verticalScrollBar()->pageStep();
        // The bar's last position shows the model's last rows.
        QCOMPARE(bar->maximum() + page, 10000);
        for (int to : {7321, 150, bar->maximum(), 0}) {
            bar->setValue(to);
            QCOMPARE(shownTop(), to);
            QCOMPARE(scroller->topRow(), to);
            // Rows are numbered as the model's, not the window's.
            QCOMPARE(view->model()->headerData(view->verticalScrollBar()->value(), Qt::Vertical).toInt(),
                     to + 1);
        }
    }

    void viewScrollingPastTheWindowMovesIt()
    {
        // The wheel or the keys move the view's own (hidden) bar; near the
        // window's edge the window follows and the bar says where.
        for (int step = 0; step < 30; ++step) {
            QScrollBar *own = view->verticalScrollBar();
            own->setValue(own->value() + 50);
            QCoreApplication::processEvents();
            QCOMPARE(bar->value(), scroller->topRow());
            QCOMPARE(shownTop(), scroller->topRow());
        }
        QCOMPARE(scroller->topRow(), 1500);
        QVERIFY(window->first() > 0);
    }

    void selectionKeepsItsReading()
    {
        scroller->selectRow(120);
        QCOMPARE(selectedRow(), 120);
        bar->setValue(300); // within reach: the window moves, the selection with it
        QVERIFY(window->first() > 0);
        QCOMPARE(selectedRow(), 120);
        QCOMPARE(view->currentIndex().data().toInt(), 120);
        bar->setValue(9000); // out of the window: nothing else is selected
        QCOMPARE(selectedRow(), -1);

        QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(selectedRow(), 9999);
        QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(selectedRow(), 0);
        QCOMPARE(shownTop(), 0);
    }

    void shortModelUsesTheViewsBar()
    {
        scroller->scrollToBottom();
        QVERIFY(window->first() > 0);
        model->setRows(250);
        QCOMPARE(window->first(), 0);
        QCOMPARE(window->rowCount(), 250);
        QVERIFY(bar->isHidden());
        model->setRows(30000); // grown by another writer, followed to its end
        scroller->scrollToBottom();
        QCOMPARE(view->model()->index(view->model()->rowCount() - 1, 0).data().toInt(), 29999);
        QCOMPARE(bar->value(), bar->maximum());
    }
};

QTEST_MAIN(TestRowWindow)
#include "tst_rowwindow.moc"
