#include "mainwindow/tk52k_comm.h"
#include "meter/tkdatadas.h"
#include "resources/resources.h"

#include <QtTest>

#include <QDir>
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
    bool lit(QWidget *w) const { return w->isVisibleTo(win->ui.groupBox); }
    bool lit(const char *name) const { return lit(win->ui.groupBox->findChild<QWidget *>(QLatin1String(name))); }
    int litCells() const { return int(std::count_if(win->barCells.begin(), win->barCells.end(), [this](QWidget *c) { return lit(c); })); }
    // Decodes a frame the way the tick does; the reading is not needed here.
    bool feed(const QByteArray &frame) { return std::unique_ptr<TkDataDas>(win->decodeFrame(frame)) != nullptr; }
    // One tick's panel work with a reading written the way the digits show it.
    void tick(const QString &value, bool rangeChanged, const QString &unit = QStringLiteral("V"), bool overload = false)
    {
        TkDataDas *r = win->currentReading;
        r->funcStr = QStringLiteral("DCV");
        r->unitStr = unit;
        r->overload = overload;
        r->decimals = value.contains('.') ? value.size() - value.indexOf('.') - 1 : 0;
        r->value = value.toDouble();
        r->valueStr = value;
        r->negative = value.startsWith('-');
        win->updatePanel(rangeChanged);
    }

    TK52K_Comm *win = nullptr;
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
    QVERIFY(lit(win->ui.CommLabel) && lit(win->barTicks[0]) && lit(win->ui.label_4));
    // The bar signs only light from a frame.
    QVERIFY(!lit(win->ui.pushButton_62) && !lit(win->ui.pushButton_63) && !lit(win->ui.pushButton_64));
    QCOMPARE(win->ui.label_8->text(), QStringLiteral("8.000"));
    QVERIFY(win->ui.maxLineEdit->text().isEmpty() && win->ui.minLineEdit->text().isEmpty());
    // The level lights cells from the left, so the array must run left to right.
    for (int i = 1; i < 61; ++i)
        QVERIFY(win->barCells[i]->x() > win->barCells[i - 1]->x());
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
        QCOMPARE(lit(win->barCells[i]), i < cells);
    QCOMPARE(lit(win->ui.pushButton_63), plus);
    QCOMPARE(lit(win->ui.pushButton_64), plus);
    QCOMPARE(lit(win->ui.pushButton_62), minus);
    QVERIFY(lit(win->barTicks[60]) && lit(win->ui.label_4));
}

void tst_Panel::barOffIgnoresTheBarByte()
{
    QVERIFY(feed(meterFrame(B7Bar, 0, 70 | B11Minus)));
    QVERIFY(feed(meterFrame(0, 0, 70 | B11Minus)));
    QCOMPARE(litCells(), 0);
    for (QPushButton *t : win->barTicks)
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
    win->showLinkIndicator(false);
    QVERIFY(feed(meterFrame(0, 0, 0)));
    QVERIFY(!lit(win->ui.CommLabel));
    win->showLinkIndicator(true);
    QVERIFY(lit(win->ui.CommLabel) && lit(win->ui.label_8));
}

void tst_Panel::invalidFrameChangesNothing()
{
    // A known state, then a frame that would switch everything were it valid.
    QVERIFY(feed(meterFrame(B7Auto | B7Bar, B8Bat, 12 | B11Minus, '-')));
    tick(QStringLiteral("-5.00"), true);
    auto snapshot = [this] {
        QStringList state;
        for (QWidget *w : win->ui.groupBox->findChildren<QWidget *>())
            state << w->objectName() + (lit(w) ? QStringLiteral(" lit") : QStringLiteral(" dark"));
        return state << win->ui.label_8->text() << win->ui.maxLineEdit->text() << win->ui.minLineEdit->text();
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
    for (const char *v : {"1.000", "3.000", "2.000"})
        tick(QLatin1String(v), v[0] == '1');
    QCOMPARE(win->ui.label_8->text(), QStringLiteral("2.000"));
    QCOMPARE(win->ui.maxLineEdit->text(), QStringLiteral("3.000V"));
    QCOMPARE(win->ui.minLineEdit->text(), QStringLiteral("1.000V"));
    QCOMPARE(win->ui.FuncLabel->text(), QStringLiteral("DCV"));
    QVERIFY(!lit(win->ui.NegPushButton));

    // The sign of a negative reading stands apart from the digits, while the
    // extremes carry it in their text.
    tick(QStringLiteral("-4.250"), false);
    QCOMPARE(win->ui.label_8->text(), QStringLiteral("4.250"));
    QVERIFY(lit(win->ui.NegPushButton));
    QCOMPARE(win->ui.minLineEdit->text(), QStringLiteral("-4.250V"));
    tick(QStringLiteral("0.500"), false);
    QVERIFY(!lit(win->ui.NegPushButton));

    tick(QStringLiteral("0.42"), true, QStringLiteral("kΩ"));
    QCOMPARE(win->ui.maxLineEdit->text(), QStringLiteral("0.42kΩ"));
    QCOMPARE(win->ui.minLineEdit->text(), QStringLiteral("0.42kΩ"));
    QCOMPARE(win->ui.UnitLabel->text(), QStringLiteral("kΩ"));
}

void tst_Panel::overloadTexts()
{
    const char *const digits[] = {" OL ", " OL. ", " O.L ", " .OL "};
    for (int d = 0; d < 4; ++d) {
        const bool negative = d % 2;
        tick(QString::number(negative ? -8 : 8, 'f', d), true, QStringLiteral("V"), true);
        const QString field = (negative ? '-' : '+') + QString::fromLatin1(digits[d]) + 'V';
        QCOMPARE(win->ui.label_8->text(), QString::fromLatin1(digits[d]));
        QCOMPARE(win->ui.maxLineEdit->text(), field);
        QCOMPARE(win->ui.minLineEdit->text(), field);
    }
}

void tst_Panel::textsFitTheirCells()
{
    // A font that falls back from the Arial metrics widens the digits past
    // the panel's cells and the meter's texts come out clipped.
    const QList<QPair<QLabel *, QStringList>> widest = {
        {win->ui.label_8, {"8.000", "800.0", "8888", " OL. ", " .OL ", " O.L "}},
        {win->ui.FuncLabel, {"DCV", "ACV", "DCA", "ACA", "OHM", "DIODE", "BEEP", "CAP", "FREQ", "DUTY", "TEMP", "hFE"}},
        {win->ui.UnitLabel, {"mV", "uA", "mA", "kΩ", "MΩ", "nF", "uF", "kHz", "MHz", "℃", "℉"}},
        {win->ui.BatLabel, {"BAT"}}, {win->ui.HoldLabel, {"HOLD"}}, {win->ui.CommLabel, {"RS232"}},
        {win->ui.AutoLabel, {"AUTO"}}, {win->ui.label_7, {"60"}}, {win->ui.MaxLabel, {"MAX"}},
        {win->ui.MinLabel, {"MIN"}}, {win->ui.RelLabel, {"REL"}}, {win->ui.ApoLabel, {"APO"}}};
    for (const auto &w : widest)
        for (const QString &text : w.second) {
            const QRect ink = QFontMetrics(w.first->font()).boundingRect(text);
            QVERIFY2(ink.width() <= w.first->contentsRect().width(),
                     qPrintable(QStringLiteral("%1 in %2: %3 > %4").arg(text, w.first->objectName()).arg(ink.width())
                                    .arg(w.first->contentsRect().width())));
        }
}

void tst_Panel::screenshots()
{
    // Pictures of the panel for a person to look at, in the build folder;
    // the pixel checks make sure the grab shows what the widgets say.
    const QString dir = QDir::cleanPath(qEnvironmentVariable("TK52K_BIN_DIR", QDir::currentPath()) + "/../panel-shots");
    QDir().mkpath(dir);
    win->show();
    QVERIFY(QTest::qWaitForWindowExposed(win));
    auto shoot = [&](const QString &name, QWidget *w = nullptr) {
        const QImage image = (w ? w : win->ui.groupBox)->grab().toImage();
        image.save(dir + '/' + name + ".png");
        return image;
    };
    auto show = [this](const QByteArray &frame, bool rangeChanged) {
        delete win->currentReading;
        win->currentReading = win->decodeFrame(frame);
        win->updatePanel(rangeChanged);
    };
    // Lit: some pixel of the widget's place on the panel is the segment green.
    auto green = [](const QImage &img, QWidget *w) {
        for (int y = w->geometry().top(); y <= w->geometry().bottom(); ++y)
            for (int x = w->geometry().left(); x <= w->geometry().right(); ++x)
                if (img.pixelColor(x, y).green() > 200 && img.pixelColor(x, y).red() < 60 && img.pixelColor(x, y).blue() < 60)
                    return true;
        return false;
    };

    QImage img = shoot("all-lit");
    QVERIFY(green(img, win->barCells[60]) && !green(img, win->ui.pushButton_63));
    for (int level : {0, 30, 61}) {
        show(meterFrame(B7Bar, 0, quint8(level)), false);
        img = shoot(QStringLiteral("bar-%1").arg(level));
        QVERIFY(green(img, win->barCells[qMin(level, 60)]) && green(img, win->barTicks[0]));
        QVERIFY(level == 61 || !green(img, win->barCells[level + 1]));
        QCOMPARE(green(img, win->ui.pushButton_63), level > 60);
    }
    show(meterFrame(B7Auto | B7Bar, 0, 25 | B11Minus, '-', "0250"), true);
    img = shoot("negative");
    QVERIFY(green(img, win->ui.pushButton_62) && green(img, win->ui.NegPushButton));
    show(meterFrame(B7Auto | B7Bar, 0, 50, '+', "0500"), false);
    shoot("extremes", win->ui.groupBox_2);
    // The overload count fills the bar past its end, hence the plus mark.
    for (char code : {'0', '4', '2', '1'}) {
        show(meterFrame(B7Auto | B7Bar, 0, 127, '+', "?0:?", code), true);
        QVERIFY(green(shoot(QStringLiteral("overload-%1").arg(code)), win->ui.pushButton_64));
    }
    win->showLinkIndicator(false);
    show(meterFrame(B7Hold, B8Bat, 0, '+', "1234"), false);
    img = shoot("hold-bat-no-link");
    QVERIFY(green(img, win->ui.BatLabel) && green(img, win->ui.HoldLabel) && green(img, win->ui.UnitLabel));
    QVERIFY(!green(img, win->ui.CommLabel) && !green(img, win->barTicks[0]) && !green(img, win->ui.MaxLabel));
}

QTEST_MAIN(tst_Panel)
#include "tst_panel.moc"
