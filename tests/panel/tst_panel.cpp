#include "mainwindow/frontpanel.h"
#include "mainwindow/tk52k_comm.h"
#include "meter/memoryline.h"
#include "meter/metersession.h"
#include "meter/tkdatadas.h"
#include "resources/resources.h"

#include <QtTest>

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

    void barLevel_data();
    void barLevel();
    void barOffIgnoresTheBarByte();
    void annunciators();
    void invalidFrameChangesNothing();
    void valueSignAndExtremes();
    void overloadTexts();
    void digitsLookAsTheLabelDrawsThem_data();
    void digitsLookAsTheLabelDrawsThem();

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

void tst_Panel::digitsLookAsTheLabelDrawsThem_data()
{
    QTest::addColumn<QString>("text");
    for (const char *text : {"8.000", "338.3", "0.123", "1888", " OL. ", " .OL "})
        QTest::newRow(text) << QString::fromLatin1(text);
}

// The big digits are painted from glyph images the panel keeps: what a
// plain label draws for the text (edge pixels a few levels apart at most),
// in every colour.
void tst_Panel::digitsLookAsTheLabelDrawsThem()
{
    QFETCH(QString, text);
    auto *digits = ui<QLabel>("label_8");
    for (const bool alarm : {false, true, false}) {
        win->frontPanel()->showAlarm(alarm);
        digits->setText(text);
        const QImage shown = digits->grab().toImage();
        QLabel plain(text);
        plain.setFont(digits->font());
        plain.setAlignment(digits->alignment());
        plain.setStyleSheet(digits->styleSheet() + QStringLiteral("background-color: rgb(0, 0, 0);"));
        plain.resize(digits->size());
        const QImage expected = plain.grab().toImage();
        QCOMPARE(expected.size(), shown.size());
        int worst = 0;
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x)
                for (const int shift : {0, 8, 16})
                    worst = std::max(worst, std::abs(int(shown.pixel(x, y) >> shift & 0xff) -
                                                     int(expected.pixel(x, y) >> shift & 0xff)));
        QVERIFY2(worst <= 8, qPrintable(QStringLiteral("%1 %2").arg(alarm).arg(worst)));
    }
}

QTEST_MAIN(tst_Panel)
#include "tst_panel.moc"
