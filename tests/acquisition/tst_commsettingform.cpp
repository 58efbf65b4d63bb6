#include "ptypeer.h"

#include "dialogs/commsettingform.h"
#include "mainwindow/tk52k_comm.h"
#include "resources/resources.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSerialPort>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(QSerialPortInfo)

namespace {

QList<CommSettingForm *> openDialogs()
{
    QList<CommSettingForm *> forms;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *f = qobject_cast<CommSettingForm *>(w); f && f->isVisible())
            forms << f;
    }
    return forms;
}

} // namespace

class TestCommSettingForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void layout_data();
    void layout();
    void listsTheSystemPortsAndTakesATypedPath();
    void cancelSendsNothing();
    void menuOpensAFreshModalDialogEachTime();
    void typedPtyPathIsUsedByTheNextStart();
    void commandLineRefusesABadInterval_data();
    void commandLineRefusesABadInterval();

private:
    QTemporaryDir m_dir;
};

void TestCommSettingForm::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
    qRegisterMetaType<QSerialPortInfo>();
    // The remembered port goes to a settings file of the test's own.
    QVERIFY(m_dir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    QCoreApplication::setOrganizationName(QStringLiteral("tk52k-test"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_commsettingform"));
    qputenv("TK52K_SPOOL_DIR", m_dir.path().toLocal8Bit());
    qputenv("TK52K_DB_NAME", "tk52k_test_acquisition");
}

void TestCommSettingForm::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("family");
    QTest::addColumn<QString>("text");
    QTest::newRow("label") << "label" << QRect(20, 20, 71, 21) << "仿宋" << "串口号：";
    QTest::newRow("comboBox") << "comboBox" << QRect(90, 20, 121, 22) << "Arial" << QString();
    QTest::newRow("OK") << "pushButton" << QRect(20, 70, 75, 41) << "Arial" << "确定";
    QTest::newRow("cancel") << "pushButton_2" << QRect(140, 70, 75, 41) << "Arial" << "取消";
}

void TestCommSettingForm::layout()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, family);
    QFETCH(QString, text);
    CommSettingForm form;
    QCOMPARE(form.objectName(), QStringLiteral("CommSettingForm"));
    QCOMPARE(form.windowTitle(), QStringLiteral("串口设置"));
    QCOMPARE(form.size(), QSize(243, 135));
    auto *w = form.findChild<QWidget *>(name);
    QVERIFY(w);
    QCOMPARE(w->geometry(), geometry);
    QCOMPARE(w->font().family(), family);
    QCOMPARE(w->font().pointSize(), 12);
    QCOMPARE(w->font().weight(), 75);
    if (auto *label = qobject_cast<QLabel *>(w))
        QCOMPARE(label->text(), text);
    if (auto *button = qobject_cast<QPushButton *>(w))
        QCOMPARE(button->text(), text);
}

void TestCommSettingForm::listsTheSystemPortsAndTakesATypedPath()
{
    QSettings().remove(CommSettingForm::settingsKey());
    CommSettingForm form;
    auto *combo = form.findChild<QComboBox *>(QStringLiteral("comboBox"));
    QStringList listed;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        listed << info.portName();
    QStringList shown;
    for (int i = 0; i < combo->count(); ++i)
        shown << combo->itemText(i);
    QCOMPARE(shown, listed);
    QVERIFY(combo->isEditable());

    QSignalSpy names(&form, &CommSettingForm::signalsPortNameEnter);
    QSignalSpy infos(&form, &CommSettingForm::signalsBtnEnter);
    combo->lineEdit()->clear();
    QTest::keyClicks(combo->lineEdit(), QStringLiteral("/dev/serial/by-id/usb-meter"));
    QTest::mouseClick(form.findChild<QPushButton *>(QStringLiteral("pushButton")), Qt::LeftButton);
    QCOMPARE(names.count(), 1);
    QCOMPARE(names.at(0).at(0).toString(), QStringLiteral("/dev/serial/by-id/usb-meter"));
    // The name arrives before the port description, which is null for a
    // device the system does not list.
    QCOMPARE(infos.count(), 1);
    QVERIFY(infos.at(0).at(0).value<QSerialPortInfo>().isNull());

    // Remembered and preselected by the next dialog.
    CommSettingForm next;
    QCOMPARE(next.findChild<QComboBox *>(QStringLiteral("comboBox"))->currentText(),
             QStringLiteral("/dev/serial/by-id/usb-meter"));
}

void TestCommSettingForm::cancelSendsNothing()
{
    TK52K_Comm w;
    w.findChild<QAction *>(QStringLiteral("actionSettingComm"))->trigger();
    QCOMPARE(openDialogs().size(), 1);
    CommSettingForm *form = openDialogs().first();
    QSignalSpy names(form, &CommSettingForm::signalsPortNameEnter);
    QSignalSpy infos(form, &CommSettingForm::signalsBtnEnter);
    form->findChild<QComboBox *>(QStringLiteral("comboBox"))->setEditText(QStringLiteral("/dev/ttyS9"));
    QTest::mouseClick(form->findChild<QPushButton *>(QStringLiteral("pushButton_2")), Qt::LeftButton);
    QCOMPARE(names.count(), 0);
    QCOMPARE(infos.count(), 0);
    QVERIFY(openDialogs().isEmpty());
    QVERIFY(w.findChild<QSerialPort *>(QStringLiteral("serialPort"))->portName().isEmpty());
    QVERIFY(w.findChild<QAction *>(QStringLiteral("actionStart"))->isEnabled());
    QVERIFY(!w.findChild<QAction *>(QStringLiteral("actionStop"))->isEnabled());
}

void TestCommSettingForm::menuOpensAFreshModalDialogEachTime()
{
    TK52K_Comm w;
    QAction *menu = w.findChild<QAction *>(QStringLiteral("actionSettingComm"));
    menu->trigger();
    QCOMPARE(openDialogs().size(), 1);
    QPointer<CommSettingForm> first = openDialogs().first();
    QCOMPARE(first->parentWidget(), nullptr);
    QCOMPARE(first->windowModality(), Qt::ApplicationModal);
    QCOMPARE(first->minimumSize(), QSize(243, 135));
    QCOMPARE(first->maximumSize(), QSize(243, 135));
    // Qt adds the title and system-menu hints a close button needs; nothing
    // else may be there (no minimise or maximise button).
    const Qt::WindowFlags flags = first->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    first->close();
    // A closed dialog is of no further use and goes.
    QTRY_VERIFY(first.isNull());

    menu->trigger();
    QCOMPARE(openDialogs().size(), 1);
    openDialogs().first()->close();
}

void TestCommSettingForm::typedPtyPathIsUsedByTheNextStart()
{
    PtyPeer meter;
    QVERIFY(meter.isValid());
    TK52K_Comm w;
    w.findChild<QAction *>(QStringLiteral("actionSettingComm"))->trigger();
    QCOMPARE(openDialogs().size(), 1);
    CommSettingForm *form = openDialogs().first();
    auto *combo = form->findChild<QComboBox *>(QStringLiteral("comboBox"));
    combo->lineEdit()->clear();
    QTest::keyClicks(combo->lineEdit(), meter.path());
    QTest::mouseClick(form->findChild<QPushButton *>(QStringLiteral("pushButton")), Qt::LeftButton);
    // The window takes the choice and closes the dialog.
    QVERIFY(openDialogs().isEmpty());

    w.findChild<QAction *>(QStringLiteral("actionStart"))->trigger();
    QCOMPARE(w.findChild<QLabel *>(QStringLiteral("statusLabel"))->text(), QStringLiteral("已连接"));
    QVERIFY(w.findChild<QSerialPort *>(QStringLiteral("serialPort"))->isOpen());

    // The next dialog shows the port in use.
    w.findChild<QAction *>(QStringLiteral("actionSettingComm"))->trigger();
    QCOMPARE(openDialogs().first()->findChild<QComboBox *>(QStringLiteral("comboBox"))->currentText(),
             meter.path());
    openDialogs().first()->close();
}

void TestCommSettingForm::commandLineRefusesABadInterval_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("zero") << "0";
    QTest::newRow("too long") << "3601";
    QTest::newRow("not a number") << "often";
    QTest::newRow("fraction") << "1.5";
}

void TestCommSettingForm::commandLineRefusesABadInterval()
{
    QFETCH(QString, value);
    QProcess p;
    p.start(qEnvironmentVariable("TK52K_BIN_DIR") + QStringLiteral("/tk52k"), {"--interval", value});
    QVERIFY2(p.waitForFinished(30000), "the program did not exit");
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 2);
    QVERIFY(QString::fromLocal8Bit(p.readAllStandardError()).contains(QStringLiteral("--interval")));
}

QTEST_MAIN(TestCommSettingForm)
#include "tst_commsettingform.moc"
