#include "mainwindow/frontpanel.h"
#include "mainwindow/tk52k_comm.h"
#include "meter/memoryline.h"
#include "meter/metersession.h"
#include "meter/tkdatadas.h"
#include "resources/resources.h"

#include <QtTest>

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <memory>

namespace {

// Status bits of the meter frame that switch the panel.
enum : quint8 {
    B7Auto = 0x20, B7Rel = 0x04, B7Hold = 0x02, B7Bar = 0x01, B7Dc = 0x10,
    B8Max = 0x20, B8Min = 0x10, B8Apo = 0x08, B8Bat = 0x04,
    B11Minus = 0x80,
};

// A DC volts frame ('2': two decimals) with the given status and bar bytes.
QByteArray meterFrame(quint8 b7, quint8 b8, quint8 b11, char sign = '+', const char *digits = "0500", char code = '2')
{
    return QByteArray(1, sign) + digits + ' ' + code + char(b7 | B7Dc) + char(b8) + char(0) + char(0x80) + char(b11)
        + "\r\n";
}

const char *const kAnnunciators[] = {"AutoLabel", "RelLabel", "HoldLabel", "MaxLabel",
                                     "MinLabel",  "ApoLabel", "BatLabel",  "NegPushButton"};

} // namespace

class tst_Panel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { win = new TK52K_Comm; }
    void cleanup() { delete win; }

    void startsAllLit();
    void barLevel_data();
    void barLevel();
    void barOffIgnoresTheBarByte();
    void annunciators();
    void invalidFrameChangesNothing();
    void valueSignAndExtremes();
    void overloadTexts();
    void textsFitTheirCells();
    void screenshots();

private:
    // What the panel of a window that is never shown displays.
    bool lit(QWidget *w) const { return w->isVisibleTo(ui("groupBox")); }
    bool lit(const char *name) const { return lit(ui("groupBox")->findChild<QWidget *>(QLatin1String(name))); }
    int litCells() const { return int(std::count_if(win->frontPanel()->barCells().begin(), win->frontPanel()->barCells().end(), [this](QWidget *c) { return lit(c); })); }
    // Decodes a frame the way the tick does; the reading is not needed here.
    bool feed(const QByteArray &frame) { return std::unique_ptr<TkDataDas>(win->decodeFrame(frame)) != nullptr; }
    // One tick of a run on a line that has just delivered `frame`.
    void show(const QByteArray &frame)
    {
        if (!win->session()->isRunning())
            QVERIFY(win->session()->start(&line));
        line.feed(frame);
        win->session()->sample();
    }
    template <class T = QWidget>
    T *ui(const char *name) const
    {
        return win->findChild<T *>(QLatin1String(name));
    }

    TK52K_Comm *win = nullptr;
    MemoryLine line;
};

void tst_Panel::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
}

void tst_Panel::startsAllLit()
{
    QCOMPARE(litCells(), 61);
    for (const char *n : kAnnunciators)
        QVERIFY2(lit(n), n);
    QVERIFY(lit(ui("CommLabel")) && lit(win->frontPanel()->barTicks()[0]) && lit(ui("label_4")));
    // The bar signs only light from a frame.
    QVERIFY(!lit(ui("pushButton_62")) && !lit(ui("pushButton_63")) && !lit(ui("pushButton_64")));
    QCOMPARE(ui<QLabel>("label_8")->text(), QStringLiteral("8.000"));
    QVERIFY(ui<QLineEdit>("maxLineEdit")->text().isEmpty() && ui<QLineEdit>("minLineEdit")->text().isEmpty());
    // The level lights cells from the left, so the array must run left to right.
    for (int i = 1; i < 61; ++i)
        QVERIFY(win->frontPanel()->barCells()[i]->x() > win->frontPanel()->barCells()[i - 1]->x());
}

void tst_Panel::barLevel_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("minus");
    QTest::addColumn<int>("cells");
    QTest::addColumn<bool>("plus");
    QTest::newRow("0 lights the first cell") << 0 << false << 1 << false;
    QTest::newRow("0 with the minus sign") << 0 << true << 1 << false;
    QTest::newRow("1") << 1 << false << 2 << false;
    QTest::newRow("59") << 59 << true << 60 << false;
    QTest::newRow("60 lights all without plus") << 60 << false << 61 << false;
    QTest::newRow("61 adds the plus") << 61 << false << 61 << true;
    QTest::newRow("127") << 127 << true << 61 << true;
}

void tst_Panel::barLevel()
{
    QFETCH(int, level);
    QFETCH(bool, minus);
    QFETCH(int, cells);
    QFETCH(bool, plus);
    // A longer bar with the other sign first: the new frame must clear it.
    QVERIFY(feed(meterFrame(B7Bar, 0, minus ? 90 : 90 | B11Minus)));
    QVERIFY(feed(meterFrame(B7Bar, 0, quint8(level | (minus ? B11Minus : 0)))));
    for (int i = 0; i < 61; ++i)
        QCOMPARE(lit(win->frontPanel()->barCells()[i]), i < cells);
    QCOMPARE(lit(ui("pushButton_63")), plus);
    QCOMPARE(lit(ui("pushButton_64")), plus);
    QCOMPARE(lit(ui("pushButton_62")), minus);
    QVERIFY(lit(win->frontPanel()->barTicks()[60]) && lit(ui("label_4")));
}

void tst_Panel::barOffIgnoresTheBarByte()
{
    QVERIFY(feed(meterFrame(B7Bar, 0, 70 | B11Minus)));
    QVERIFY(feed(meterFrame(0, 0, 70 | B11Minus)));
    QCOMPARE(litCells(), 0);
    for (QPushButton *t : win->frontPanel()->barTicks())
        QVERIFY(!lit(t));
    for (const char *n : {"label", "label_2", "label_3", "label_4", "label_5", "label_6", "label_7", "pushButton_62",
                          "pushButton_63", "pushButton_64"})
        QVERIFY2(!lit(n), n);
}

void tst_Panel::annunciators()
{
    const quint8 bits[][2] = {{B7Auto, 0}, {B7Rel, 0}, {B7Hold, 0}, {0, B8Max}, {0, B8Min}, {0, B8Apo}, {0, B8Bat}, {0, 0}};
    for (int a = 0; a < 8; ++a) {
        QVERIFY(feed(meterFrame(bits[a][0], bits[a][1], 0, a == 7 ? '-' : '+')));
        for (int b = 0; b < 8; ++b)
            QVERIFY2(lit(kAnnunciators[b]) == (a == b), kAnnunciators[b]);
    }
    // The link annunciator belongs to the port alone.
    win->frontPanel()->showLink(false);
    QVERIFY(feed(meterFrame(0, 0, 0)));
    QVERIFY(!lit(ui("CommLabel")));
    win->frontPanel()->showLink(true);
    QVERIFY(lit(ui("CommLabel")) && lit(ui("label_8")));
}

void tst_Panel::invalidFrameChangesNothing()
{
    // A known state, then a frame that would switch everything were it valid.
    show(meterFrame(0, 0, 0, '-', "0500"));
    QVERIFY(feed(meterFrame(B7Auto | B7Bar, B8Bat, 12 | B11Minus, '-')));
    auto snapshot = [this] {
        QStringList state;
        for (QWidget *w : ui("groupBox")->findChildren<QWidget *>())
            state << w->objectName() + (lit(w) ? QStringLiteral(" lit") : QStringLiteral(" dark"));
        return state << ui<QLabel>("label_8")->text() << ui<QLineEdit>("maxLineEdit")->text() << ui<QLineEdit>("minLineEdit")->text();
    };
    const QStringList before = snapshot();
    const int readings = win->findChildren<TkDataDas *>().size();
    for (const QByteArray &bad : {QByteArray(14, '\0'), meterFrame(B7Rel | B7Hold | B7Bar, B8Max | B8Apo, 90, '+', "12x4")})
        QCOMPARE(win->decodeFrame(bad), nullptr);
    QCOMPARE(snapshot(), before);
    QCOMPARE(win->findChildren<TkDataDas *>().size(), readings);

    // A valid frame gives a reading the window owns, stamped with local time.
    const QDateTime start = QDateTime::currentDateTime();
    std::unique_ptr<TkDataDas> r(win->decodeFrame(meterFrame(0, 0, 0, '-', "1234", '4')));
    QVERIFY(r && r->parent() == win && r->value == -123.4 && r->valueStr == QStringLiteral("-123.4"));
    QVERIFY(r->time >= start && r->time <= QDateTime::currentDateTime() && r->time.timeSpec() == Qt::LocalTime);
}

void tst_Panel::valueSignAndExtremes()
{
    for (const char *digits : {"1000", "3000", "2000"})
        show(meterFrame(0, 0, 0, '+', digits, '1'));
    QCOMPARE(ui<QLabel>("label_8")->text(), QStringLiteral("2.000"));
    QCOMPARE(ui<QLineEdit>("maxLineEdit")->text(), QStringLiteral("3.000V"));
    QCOMPARE(ui<QLineEdit>("minLineEdit")->text(), QStringLiteral("1.000V"));
    QVERIFY(ui<QLabel>("FuncLabel")->text() == QStringLiteral("DCV") && ui<QLabel>("UnitLabel")->text() == QStringLiteral("V"));
    QVERIFY(!lit(ui("NegPushButton")));

    // The sign of a negative reading stands apart from the digits, while the
    // extremes carry it in their text.
    show(meterFrame(0, 0, 0, '-', "4250", '1'));
    QCOMPARE(ui<QLabel>("label_8")->text(), QStringLiteral("4.250"));
    QVERIFY(lit(ui("NegPushButton")));
    QCOMPARE(ui<QLineEdit>("minLineEdit")->text(), QStringLiteral("-4.250V"));
    show(meterFrame(0, 0, 0, '-', "0000", '1'));
    QCOMPARE(ui<QLabel>("label_8")->text(), QStringLiteral("0.000"));

    // A new range restarts both extremes.
    show(meterFrame(0, 0, 0, '+', "0042", '4'));
    QCOMPARE(ui<QLineEdit>("maxLineEdit")->text(), QStringLiteral("4.2V"));
    QCOMPARE(ui<QLineEdit>("minLineEdit")->text(), QStringLiteral("4.2V"));
}

void tst_Panel::overloadTexts()
{
    const char *const digits[] = {" OL ", " OL. ", " O.L ", " .OL "};
    for (int d = 0; d < 4; ++d) {
        const bool negative = d % 2;
        show(meterFrame(0, 0, 0, negative ? '-' : '+', "?0:?", "0421"[d]));
        const QString field = (negative ? '-' : '+') + QString::fromLatin1(digits[d]) + 'V';
        QCOMPARE(ui<QLabel>("label_8")->text(), QString::fromLatin1(digits[d]));
        QCOMPARE(ui<QLineEdit>("maxLineEdit")->text(), field);
        QCOMPARE(ui<QLineEdit>("minLineEdit")->text(), field);
    }
}

void tst_Panel::textsFitTheirCells()
{
    // A font that falls back from the Arial metrics widens the texts past the
    // panel's cells and they come out clipped. The widest text of each label:
    const QList<QPair<QLabel *, QString>> widest = {
        {ui<QLabel>("label_8"), "8.000"},    {ui<QLabel>("label_8"), " O.L "},   {ui<QLabel>("FuncLabel"), "DIODE"},
        {ui<QLabel>("UnitLabel"), "MHz"},    {ui<QLabel>("CommLabel"), "RS232"}, {ui<QLabel>("HoldLabel"), "HOLD"},
        {ui<QLabel>("AutoLabel"), "AUTO"},   {ui<QLabel>("MaxLabel"), "MAX"},    {ui<QLabel>("label_7"), "60"}};
    for (const auto &w : widest)
        QVERIFY2(QFontMetrics(w.first->font()).boundingRect(w.second).width() <= w.first->contentsRect().width(),
                 qPrintable(w.second + " in " + w.first->objectName()));
}

void tst_Panel::screenshots()
{
    // Pictures of the panel for a person to look at, in the build folder;
    // the pixel checks make sure the grab shows what the widgets say.
    const QString dir = QDir::cleanPath(qEnvironmentVariable("TK52K_BIN_DIR", QDir::currentPath()) + "/../panel-shots");
    QDir().mkpath(dir);
    win->show();
    QVERIFY(QTest::qWaitForWindowExposed(win));
    QImage img;
    auto shoot = [&](const char *name, const QByteArray &frame) {
        show(frame);
        img = ui("groupBox")->grab().toImage();
        img.save(dir + '/' + name + ".png");
    };
    // Lit: some pixel of the widget's place on the panel is the segment green.
    auto green = [&img](QWidget *w) {
        for (int y = w->geometry().top(); y <= w->geometry().bottom(); ++y)
            for (int x = w->geometry().left(); x <= w->geometry().right(); ++x)
                if (img.pixelColor(x, y).green() > 200 && img.pixelColor(x, y).red() < 60 && img.pixelColor(x, y).blue() < 60)
                    return true;
        return false;
    };

    shoot("bar-30", meterFrame(B7Bar, 0, 30));
    QVERIFY(green(win->frontPanel()->barCells()[30]) && !green(win->frontPanel()->barCells()[31]) && green(win->frontPanel()->barTicks()[0]));
    shoot("negative", meterFrame(B7Auto | B7Bar, 0, 60 | B11Minus, '-', "0250"));
    QVERIFY(green(win->frontPanel()->barCells()[60]) && green(ui("pushButton_62")) && green(ui("NegPushButton")));
    QVERIFY(!green(ui("pushButton_63")));
    // The overload count fills the bar past its end, hence the plus mark.
    shoot("overload", meterFrame(B7Auto | B7Bar, 0, 127, '+', "?0:?", '4'));
    QVERIFY(green(ui("pushButton_63")) && green(ui("pushButton_64")));
    win->frontPanel()->showLink(false);
    shoot("hold-bat-no-link", meterFrame(B7Hold, B8Bat, 0, '+', "1234"));
    QVERIFY(green(ui("BatLabel")) && green(ui("HoldLabel")) && green(ui("UnitLabel")));
    QVERIFY(!green(ui("CommLabel")) && !green(win->frontPanel()->barTicks()[0]) && !green(ui("MaxLabel")));
}

QTEST_MAIN(tst_Panel)
#include "tst_panel.moc"
