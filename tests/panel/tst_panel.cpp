#include "mainwindow/tk52k_comm.h"
#include "meter/framedecoder.h"
#include "meter/tkdatadas.h"
#include "resources/resources.h"

#include <QtTest>

#include <QDir>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPushButton>

#include <memory>

namespace {

QString shotDir()
{
    const QByteArray bin = qgetenv("TK52K_BIN_DIR");
    const QString base = bin.isEmpty() ? QDir::currentPath() : QString::fromLocal8Bit(bin) + QStringLiteral("/..");
    return QDir::cleanPath(base + QStringLiteral("/panel-shots"));
}

// Status bits of the meter frame that switch the panel.
enum : quint8 {
    B7Auto = 0x20, B7Rel = 0x04, B7Hold = 0x02, B7Bar = 0x01, B7Dc = 0x10,
    B8Max = 0x20, B8Min = 0x10, B8Apo = 0x08, B8Bat = 0x04,
    B10Volt = 0x80,
    B11Minus = 0x80,
};

// A DC volts frame with the given status bytes and bar byte. The decimal
// code is the meter's: '1' three decimals, '2' two, '4' one, '0' none.
QByteArray meterFrame(quint8 b7, quint8 b8, quint8 b11, char sign = '+', const char *digits = "0500",
                      char decimalCode = '2')
{
    QByteArray f;
    f += sign;
    f += digits;
    f += ' ';
    f += decimalCode;
    f += char(b7 | B7Dc);
    f += char(b8);
    f += char(0);
    f += char(B10Volt);
    f += char(b11);
    f += '\r';
    f += '\n';
    return f;
}

QByteArray barFrame(int level, bool barNegative = false)
{
    return meterFrame(B7Bar, 0, quint8(level | (barNegative ? B11Minus : 0)));
}

} // namespace

class tst_Panel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startsAllLit();
    void barArraysInOrder();
    void barLevel_data();
    void barLevel();
    void lowerLevelClearsHigherCells();
    void barMinusAndBarOff();
    void annunciators_data();
    void annunciators();
    void invalidFrameChangesNothing();
    void valueSignAndExtremes();
    void overloadTexts_data();
    void overloadTexts();
    void rangeChangeRestartsExtremes();
    void linkIndicator();
    void textsFitTheirCells_data();
    void textsFitTheirCells();
    void screenshots();

private:
    // What the panel of a window that is never shown displays.
    bool lit(QWidget *w) const { return w->isVisibleTo(win->ui.groupBox); }
    int litCells() const;
    QWidget *panelChild(const char *name) const;
    // Decodes a frame the way the tick does; the reading is not needed here.
    bool feed(const QByteArray &frame) { return std::unique_ptr<TkDataDas>(win->decodeFrame(frame)) != nullptr; }
    void tick(const QString &value, bool rangeChanged, const QString &unit = QStringLiteral("V"),
              bool overload = false, bool negative = false);
    QImage shoot(const QString &name);
    // One tick's panel work: the frame's reading replaces the current one.
    void showFrame(const QByteArray &frame, bool rangeChanged);

    TK52K_Comm *win = nullptr;
};

void tst_Panel::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
    QDir().mkpath(shotDir());
}

void tst_Panel::init()
{
    win = new TK52K_Comm;
}

void tst_Panel::cleanup()
{
    delete win;
    win = nullptr;
}

int tst_Panel::litCells() const
{
    int n = 0;
    for (QPushButton *c : win->barCells)
        n += lit(c) ? 1 : 0;
    return n;
}

QWidget *tst_Panel::panelChild(const char *name) const
{
    auto *w = win->ui.groupBox->findChild<QWidget *>(QLatin1String(name));
    if (!w)
        qFatal("no panel widget %s", name);
    return w;
}

// Feeds one reading through the tick's panel step. `value` is written the way
// the meter's digits show it; its decimals are those written.
void tst_Panel::tick(const QString &value, bool rangeChanged, const QString &unit, bool overload, bool negative)
{
    TkDataDas *r = win->currentReading;
    r->funcStr = QStringLiteral("DCV");
    r->unitStr = unit;
    r->overload = overload;
    const int point = value.indexOf(QLatin1Char('.'));
    r->decimals = point < 0 ? 0 : value.size() - point - 1;
    r->value = value.toDouble();
    r->valueStr = value;
    r->negative = negative || value.startsWith(QLatin1Char('-'));
    win->updatePanel(rangeChanged);
}

void tst_Panel::startsAllLit()
{
    QCOMPARE(litCells(), 61);
    for (QPushButton *t : win->barTicks)
        QVERIFY(lit(t));
    for (const char *n : {"label", "label_2", "label_3", "label_4", "label_5", "label_6", "label_7", "BatLabel",
                          "MaxLabel", "MinLabel", "HoldLabel", "RelLabel", "CommLabel", "FuncLabel", "AutoLabel",
                          "ApoLabel", "NegPushButton", "label_8", "UnitLabel"})
        QVERIFY2(lit(panelChild(n)), n);
    // The bar signs only light from a frame.
    for (const char *n : {"pushButton_62", "pushButton_63", "pushButton_64"})
        QVERIFY2(!lit(panelChild(n)), n);
    QCOMPARE(win->ui.label_8->text(), QStringLiteral("8.000"));
    QVERIFY(win->ui.maxLineEdit->text().isEmpty());
    QVERIFY(win->ui.minLineEdit->text().isEmpty());
}

void tst_Panel::barArraysInOrder()
{
    // The level lights cells from the left, so the array must run left to right.
    for (int i = 0; i < 61; ++i) {
        QWidget *c = win->barCells[i];
        QCOMPARE(c->x(), 38 + 8 * i);
        QCOMPARE(c->geometry().bottom() + 1, 285);
        QCOMPARE(c->height(), i % 10 == 0 ? 25 : i % 5 == 0 ? 20 : 15);
    }
    QSet<int> tickX;
    for (QWidget *t : win->barTicks) {
        QCOMPARE(t->y(), 310);
        tickX.insert(t->x());
    }
    QCOMPARE(tickX.size(), 61);
    for (int j = 0; j < 61; ++j)
        QVERIFY(tickX.contains(38 + 8 * j));
}

void tst_Panel::barLevel_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("cells");
    QTest::addColumn<bool>("plus");

    QTest::newRow("0 lights the first cell") << 0 << 1 << false;
    QTest::newRow("1") << 1 << 2 << false;
    QTest::newRow("30") << 30 << 31 << false;
    QTest::newRow("59") << 59 << 60 << false;
    QTest::newRow("60 lights all without plus") << 60 << 61 << false;
    QTest::newRow("61 adds the plus") << 61 << 61 << true;
    QTest::newRow("127") << 127 << 61 << true;
}

void tst_Panel::barLevel()
{
    QFETCH(int, level);
    QFETCH(int, cells);
    QFETCH(bool, plus);
    QVERIFY(feed(barFrame(level)));
    QCOMPARE(litCells(), cells);
    // Lit cells are the leftmost ones.
    for (int i = 0; i < 61; ++i)
        QCOMPARE(lit(win->barCells[i]), i < cells);
    QCOMPARE(lit(win->ui.pushButton_63), plus);
    QCOMPARE(lit(win->ui.pushButton_64), plus);
    QVERIFY(!lit(win->ui.pushButton_62));
    for (QPushButton *t : win->barTicks)
        QVERIFY(lit(t));
    QVERIFY(lit(win->ui.label_4));
}

void tst_Panel::lowerLevelClearsHigherCells()
{
    QVERIFY(feed(barFrame(90)));
    QVERIFY(feed(barFrame(5)));
    QCOMPARE(litCells(), 6);
    QVERIFY(!lit(win->ui.pushButton_63));
    QVERIFY(!lit(win->ui.pushButton_64));
}

void tst_Panel::barMinusAndBarOff()
{
    QVERIFY(feed(barFrame(0, true)));
    QVERIFY(lit(win->ui.pushButton_62));
    QCOMPARE(litCells(), 1);
    QVERIFY(lit(win->barCells[0]));

    QVERIFY(feed(barFrame(0, false)));
    QVERIFY(!lit(win->ui.pushButton_62));

    QVERIFY(feed(barFrame(70, true)));
    // Bar byte set, bar graph bit clear: the byte is ignored.
    QVERIFY(feed(meterFrame(0, 0, 70 | B11Minus)));
    QCOMPARE(litCells(), 0);
    for (QPushButton *t : win->barTicks)
        QVERIFY(!lit(t));
    for (const char *n : {"label", "label_2", "label_3", "label_4", "label_5", "label_6", "label_7",
                          "pushButton_62", "pushButton_63", "pushButton_64"})
        QVERIFY2(!lit(panelChild(n)), n);
}

void tst_Panel::annunciators_data()
{
    QTest::addColumn<int>("byte7");
    QTest::addColumn<int>("byte8");
    QTest::addColumn<char>("sign");
    QTest::addColumn<QString>("widget");
    QTest::newRow("AUTO") << int(B7Auto) << 0 << '+' << "AutoLabel";
    QTest::newRow("REL") << int(B7Rel) << 0 << '+' << "RelLabel";
    QTest::newRow("HOLD") << int(B7Hold) << 0 << '+' << "HoldLabel";
    QTest::newRow("MAX") << 0 << int(B8Max) << '+' << "MaxLabel";
    QTest::newRow("MIN") << 0 << int(B8Min) << '+' << "MinLabel";
    QTest::newRow("APO") << 0 << int(B8Apo) << '+' << "ApoLabel";
    QTest::newRow("BAT") << 0 << int(B8Bat) << '+' << "BatLabel";
    QTest::newRow("minus") << 0 << 0 << '-' << "NegPushButton";
}

void tst_Panel::annunciators()
{
    QFETCH(int, byte7);
    QFETCH(int, byte8);
    QFETCH(char, sign);
    QFETCH(QString, widget);

    QVERIFY(feed(meterFrame(quint8(byte7), quint8(byte8), 0, sign)));
    for (const char *n : {"AutoLabel", "RelLabel", "HoldLabel", "MaxLabel", "MinLabel", "ApoLabel", "BatLabel",
                          "NegPushButton"})
        QVERIFY2(lit(panelChild(n)) == (widget == QLatin1String(n)), n);
    // The link annunciator and the digits belong to other sources.
    QVERIFY(lit(win->ui.CommLabel));
    QVERIFY(lit(win->ui.label_8));

    QVERIFY(feed(meterFrame(0, 0, 0)));
    QVERIFY(!lit(panelChild(qPrintable(widget))));
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
        state << win->ui.label_8->text() << win->ui.maxLineEdit->text() << win->ui.minLineEdit->text();
        return state;
    };
    const QStringList before = snapshot();

    QByteArray noise = meterFrame(B7Rel | B7Hold | B7Bar, B8Max | B8Min | B8Apo, 90, '+');
    noise[5] = 'x';
    QVERIFY(!feed(noise));
    QCOMPARE(snapshot(), before);
}

void tst_Panel::valueSignAndExtremes()
{
    tick(QStringLiteral("1.000"), true);
    tick(QStringLiteral("3.000"), false);
    tick(QStringLiteral("2.000"), false);
    QCOMPARE(win->ui.label_8->text(), QStringLiteral("2.000"));
    QCOMPARE(win->ui.maxLineEdit->text(), QStringLiteral("3.000V"));
    QCOMPARE(win->ui.minLineEdit->text(), QStringLiteral("1.000V"));
    QCOMPARE(win->ui.FuncLabel->text(), QStringLiteral("DCV"));
    QCOMPARE(win->ui.UnitLabel->text(), QStringLiteral("V"));
    QVERIFY(!lit(win->ui.NegPushButton));

    // The sign of a negative reading stands apart from the digits, while the
    // extremes carry it in their text.
    tick(QStringLiteral("-4.250"), false);
    QCOMPARE(win->ui.label_8->text(), QStringLiteral("4.250"));
    QVERIFY(lit(win->ui.NegPushButton));
    QCOMPARE(win->ui.minLineEdit->text(), QStringLiteral("-4.250V"));
    QCOMPARE(win->ui.maxLineEdit->text(), QStringLiteral("3.000V"));

    tick(QStringLiteral("0.500"), false);
    QVERIFY(!lit(win->ui.NegPushButton));
}

void tst_Panel::overloadTexts_data()
{
    QTest::addColumn<int>("decimals");
    QTest::addColumn<bool>("negative");
    QTest::addColumn<QString>("digits");
    QTest::addColumn<QString>("field");
    QTest::newRow("0 +") << 0 << false << " OL " << "+ OL V";
    QTest::newRow("1 -") << 1 << true << " OL. " << "- OL. V";
    QTest::newRow("2 +") << 2 << false << " O.L " << "+ O.L V";
    QTest::newRow("3 -") << 3 << true << " .OL " << "- .OL V";
}

void tst_Panel::overloadTexts()
{
    QFETCH(int, decimals);
    QFETCH(bool, negative);
    const QString value = QString::number(negative ? -8 : 8, 'f', decimals);
    tick(value, true, QStringLiteral("V"), true, negative);
    QTEST(win->ui.label_8->text(), "digits");
    QTEST(win->ui.maxLineEdit->text(), "field");
    QTEST(win->ui.minLineEdit->text(), "field");
}

void tst_Panel::rangeChangeRestartsExtremes()
{
    tick(QStringLiteral("1.00"), true);
    tick(QStringLiteral("5.00"), false);
    win->currentReading->funcStr = QStringLiteral("OHM");
    tick(QStringLiteral("0.42"), true, QStringLiteral("kΩ"));
    QCOMPARE(win->ui.maxLineEdit->text(), QStringLiteral("0.42kΩ"));
    QCOMPARE(win->ui.minLineEdit->text(), QStringLiteral("0.42kΩ"));
    QCOMPARE(win->ui.UnitLabel->text(), QStringLiteral("kΩ"));
}

void tst_Panel::linkIndicator()
{
    win->showLinkIndicator(false);
    QVERIFY(!lit(win->ui.CommLabel));
    // A frame switches the meter's annunciators but never the link one.
    QVERIFY(feed(meterFrame(0, 0, 0)));
    QVERIFY(!lit(win->ui.CommLabel));
    win->showLinkIndicator(true);
    QVERIFY(lit(win->ui.CommLabel));
}

void tst_Panel::textsFitTheirCells_data()
{
    QTest::addColumn<QString>("widget");
    QTest::addColumn<QString>("text");
    // The widest texts each label ever gets.
    for (const char *t : {"8.000", "800.0", "8888", " OL. ", " .OL ", " O.L "})
        QTest::newRow(t) << "label_8" << t;
    for (const char *t : {"DCV", "ACV", "DCA", "ACA", "OHM", "DIODE", "BEEP", "CAP", "FREQ", "DUTY", "TEMP", "hFE"})
        QTest::newRow(t) << "FuncLabel" << t;
    for (const char *t : {"mV", "uA", "mA", "kΩ", "MΩ", "nF", "uF", "kHz", "MHz", "℃", "℉"})
        QTest::newRow(t) << "UnitLabel" << t;
    QTest::newRow("BAT") << "BatLabel" << "BAT";
    QTest::newRow("MAX") << "MaxLabel" << "MAX";
    QTest::newRow("MIN") << "MinLabel" << "MIN";
    QTest::newRow("HOLD") << "HoldLabel" << "HOLD";
    QTest::newRow("REL") << "RelLabel" << "REL";
    QTest::newRow("RS232") << "CommLabel" << "RS232";
    QTest::newRow("AUTO") << "AutoLabel" << "AUTO";
    QTest::newRow("APO") << "ApoLabel" << "APO";
    QTest::newRow("60") << "label_7" << "60";
}

void tst_Panel::textsFitTheirCells()
{
    QFETCH(QString, widget);
    QFETCH(QString, text);
    auto *w = win->ui.groupBox->findChild<QLabel *>(widget);
    QVERIFY(w);
    // A font that falls back from the Arial metrics widens the digits past
    // the panel's cells, and the meter's texts come out clipped. Draw the text
    // where the label's alignment puts it, on a canvas wider than the label,
    // and look for ink outside the label.
    const QRect box = w->contentsRect();
    const int margin = 100;
    QImage canvas(box.width() + 2 * margin, box.height(), QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
        QPainter p(&canvas);
        p.setFont(w->font());
        p.setPen(Qt::black);
        p.drawText(QRect(margin, 0, box.width(), box.height()), int(w->alignment()) | Qt::TextDontClip, text);
    }
    int left = canvas.width(), right = -1;
    for (int x = 0; x < canvas.width(); ++x)
        for (int y = 0; y < canvas.height(); ++y)
            if (qAlpha(canvas.pixel(x, y)) > 0) {
                left = qMin(left, x);
                right = qMax(right, x);
            }
    QVERIFY(right >= 0);
    QVERIFY2(left >= margin && right < margin + box.width(),
             qPrintable(QStringLiteral("ink %1..%2 in 0..%3 (%4)")
                            .arg(left - margin)
                            .arg(right - margin)
                            .arg(box.width() - 1)
                            .arg(QFontInfo(w->font()).family())));
}

void tst_Panel::showFrame(const QByteArray &frame, bool rangeChanged)
{
    TkDataDas *reading = win->decodeFrame(frame);
    QVERIFY(reading);
    delete win->currentReading;
    win->currentReading = reading;
    win->updatePanel(rangeChanged);
}

QImage tst_Panel::shoot(const QString &name)
{
    const QImage image = win->ui.groupBox->grab().toImage();
    image.save(shotDir() + QLatin1Char('/') + name + QStringLiteral(".png"));
    return image;
}

void tst_Panel::screenshots()
{
    // Pictures of the panel for a person to look at, in the build folder;
    // the pixel checks make sure the grab shows what the widgets say.
    win->show();
    QVERIFY(QTest::qWaitForWindowExposed(win));
    // Lit: some pixel of the widget's place on the panel is the segment green.
    auto green = [](const QImage &img, QWidget *w) {
        const QRect r = w->geometry();
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) {
                const QColor c = img.pixelColor(x, y);
                if (c.green() > 200 && c.red() < 60 && c.blue() < 60)
                    return true;
            }
        return false;
    };

    QImage img = shoot(QStringLiteral("all-lit"));
    QVERIFY(green(img, win->barCells[60]));
    QVERIFY(!green(img, win->ui.pushButton_63));

    for (int level : {0, 30, 61}) {
        QVERIFY(feed(barFrame(level)));
        img = shoot(QStringLiteral("bar-%1").arg(level));
        QVERIFY(green(img, win->barCells[qMin(level, 60)]));
        if (level < 60)
            QVERIFY(!green(img, win->barCells[level + 1]));
        QCOMPARE(green(img, win->ui.pushButton_63), level > 60);
        QVERIFY(green(img, win->barTicks[0]));
    }

    showFrame(meterFrame(B7Auto | B7Bar, 0, 25 | B11Minus, '-', "0250"), true);
    img = shoot(QStringLiteral("negative"));
    QCOMPARE(win->ui.label_8->text(), QStringLiteral("2.50"));
    QVERIFY(green(img, win->ui.pushButton_62));
    QVERIFY(green(img, win->ui.NegPushButton));

    showFrame(meterFrame(B7Auto | B7Bar, 0, 50, '+', "0500"), false);
    win->ui.groupBox_2->grab().save(shotDir() + QStringLiteral("/extremes.png"));
    QCOMPARE(win->ui.maxLineEdit->text(), QStringLiteral("5.00V"));
    QCOMPARE(win->ui.minLineEdit->text(), QStringLiteral("-2.50V"));

    // The overload count fills the bar past its end, hence the plus mark.
    const char codes[] = {'0', '4', '2', '1'};
    for (int d = 0; d < 4; ++d) {
        showFrame(meterFrame(B7Auto | B7Bar, 0, 127, '+', "?0:?", codes[d]), true);
        img = shoot(QStringLiteral("overload-%1").arg(d));
        QVERIFY(green(img, win->ui.pushButton_64));
    }

    const QList<QPair<QString, QPair<quint8, quint8>>> annunciators = {
        {"auto", {B7Auto, 0}}, {"rel", {B7Rel, 0}}, {"hold", {B7Hold, 0}}, {"max", {0, B8Max}},
        {"min", {0, B8Min}},   {"apo", {0, B8Apo}}, {"bat", {0, B8Bat}}};
    for (const auto &a : annunciators) {
        showFrame(meterFrame(a.second.first | B7Bar, a.second.second, 12, '+', "1234"), false);
        shoot(QStringLiteral("annunciator-") + a.first);
    }
    win->showLinkIndicator(false);
    showFrame(meterFrame(0, 0, 0, '+', "1234"), false);
    img = shoot(QStringLiteral("dark"));
    // Nothing but the digits, the function and the unit is left.
    QVERIFY(!green(img, win->ui.BatLabel));
    QVERIFY(!green(img, win->ui.CommLabel));
    QVERIFY(!green(img, win->barTicks[0]));
    QVERIFY(green(img, win->ui.UnitLabel));
}

QTEST_MAIN(tst_Panel)
#include "tst_panel.moc"
