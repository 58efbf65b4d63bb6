#include "export/tabletextwriter.h"
#include "models/livereadingmodel.h"
#include "widgets/mainwindow/languagemenu.h"
#include "widgets/mainwindow/runmonitor.h"
#include "widgets/mainwindow/tk52k_comm.h"
#include "widgets/resources/resources.h"
#include "core/app/uilanguage.h"
#include "modaldriver.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTemporaryDir>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QMenu>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTranslator>
#include <QWidget>
#include <QtTest>

class TestLanguage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initTk52kResources();
        installFontSubstitutions();
        qputenv("TK52K_SPOOL_DIR", QDir::tempPath().toLocal8Bit() + "/tk52k-tst-language-spool");
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("tk52k-test"));
        QSettings().clear();
    }

    void cleanup()
    {
        removeTranslators();
        QSettings().clear();
    }

    void parse_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("expected"); // -1: not a language
        QTest::newRow("zh-CN, any case") << " ZH-cn " << int(UiLanguage::Chinese);
        QTest::newRow("cn") << "cn" << int(UiLanguage::Chinese);
        QTest::newRow("en_US") << "en_US" << int(UiLanguage::English);
        QTest::newRow("english spelled out") << "english" << -1;
        QTest::newRow("empty") << "" << -1;
    }

    void parse()
    {
        QFETCH(QString, code);
        QFETCH(int, expected);
        const std::optional<UiLanguage> language = parseLanguage(code);
        QCOMPARE(language ? int(*language) : -1, expected);
    }

    // Chinese: Qt's own buttons speak Chinese and the program's texts stay as
    // written. English: the program's texts come from the built-in catalogue and
    // Qt's own stay English.
    void translationsInstalled()
    {
        const char *qtCancel = "Cancel";
        QCOMPARE(installTranslations(qApp, UiLanguage::Chinese), QString());
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", qtCancel), QStringLiteral("取消"));
        QCOMPARE(QCoreApplication::translate("TK52K_Comm", "未连接"), QStringLiteral("未连接"));
        removeTranslators();

        QCOMPARE(installTranslations(qApp, UiLanguage::English), QString());
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", qtCancel), QStringLiteral("Cancel"));
        QCOMPARE(QCoreApplication::translate("TK52K_Comm", "未连接"), QStringLiteral("Not connected"));
        // The text export's header is the table's, in the same language.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("t.txt"));
        QCOMPARE(writeTableText(LiveReadingModel(), path), TextWriteResult::Written);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("No.\tTime\tReading\tFunction\n"));
    }

    // Every text in the catalogue has its English, with the same placeholders as
    // the Chinese, so no screen is half translated and no number goes missing.
    void catalogueComplete()
    {
        QFile file(qEnvironmentVariable("TK52K_SOURCE_DIR") + QStringLiteral("/translations/tk52k_en.ts"));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        static const QRegularExpression message(
            QStringLiteral("<source>(.*?)</source>.*?<translation([^>]*?)(?:/>|>(.*?)</translation>)"),
            QRegularExpression::DotMatchesEverythingOption);
        static const QRegularExpression placeholder(QStringLiteral("%\\d"));
        auto placeholders = [](const QString &text) {
            QStringList found;
            for (auto it = placeholder.globalMatch(text); it.hasNext();)
                found << it.next().captured();
            found.sort();
            return found;
        };
        QStringList problems;
        int messages = 0;
        for (auto it = message.globalMatch(QString::fromUtf8(file.readAll())); it.hasNext(); ++messages) {
            const QRegularExpressionMatch m = it.next();
            if (m.captured(2).contains(QLatin1String("unfinished")) || m.captured(3).isEmpty())
                problems << QStringLiteral("\"%1\" has no English").arg(m.captured(1));
            else if (placeholders(m.captured(3)) != placeholders(m.captured(1)))
                problems << QStringLiteral("\"%1\" -> \"%2\" changes the placeholders")
                                .arg(m.captured(1), m.captured(3));
        }
        QVERIFY(messages > 50);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    }

    // The main window's dialogs as it opens them. In Chinese they have their
    // own fixed sizes; in English each one grows until every text shows whole
    // (its width measured with the font's metrics), a long device path too.
    void dialogTextsFit_data()
    {
        QTest::addColumn<bool>("english");
        QTest::newRow("Chinese") << false;
        QTest::newRow("English") << true;
    }

    void dialogTextsFit()
    {
        QFETCH(bool, english);
        QCOMPARE(installTranslations(qApp, english ? UiLanguage::English : UiLanguage::Chinese), QString());
        if (english)
            QSettings().setValue(QStringLiteral("serial/port"), QStringLiteral("/dev/serial/by-id/usb-TK52K-ttyMETER"));
        TK52K_Comm window;
        const QList<QPair<const char *, QSize>> dialogs = {{"about", {297, 158}},
                                                           {"history", {354, 188}},
                                                           {"port", {243, 135}},
                                                           {"interval", {355, 235}},
                                                           {"alarm", {}}};
        for (const auto &[which, ownSize] : dialogs) {
            const QString name = QString::fromLatin1(which);
            if (name == "about")
                window.doMenuAbout();
            else if (name == "history")
                window.doMenuHis();
            else if (name == "port")
                window.doMenuComm();
            else if (name == "interval")
                window.doMenuTime();
            else
                window.runMonitor()->openAlarmDialog();
            QPointer<QWidget> dialog = QApplication::activeModalWidget();
            QVERIFY2(dialog, which);
            if (!english && ownSize.isValid())
                QCOMPARE(dialog->size(), ownSize);
            const QStringList cut = cutTexts(dialog);
            QVERIFY2(cut.isEmpty(), qPrintable(name + ": " + cut.join(QStringLiteral(", "))));
            dialog->close();
            QTRY_VERIFY(!dialog);
        }
    }

    // The menu checks the remembered language; picking the other one stores it
    // and says when it applies; picking the current one says nothing.
    void menuRemembersChoice()
    {
        rememberLanguage(UiLanguage::English);
        QWidget owner;
        QMenu settings;
        addLanguageMenu(&settings, &owner);
        auto *chinese = settings.findChild<QAction *>(QStringLiteral("actionLanguageChinese"));
        auto *english = settings.findChild<QAction *>(QStringLiteral("actionLanguageEnglish"));
        QVERIFY(chinese && english);
        QVERIFY(english->isChecked() && !chinese->isChecked());

        ModalDriver driver;
        english->trigger();
        QCOMPARE(driver.boxes.size() + driver.unexpected, 0);

        driver.answerBox(QString());
        chinese->trigger();
        QTRY_VERIFY(driver.done());
        QCOMPARE(rememberedLanguage(), UiLanguage::Chinese);
        QVERIFY(chinese->isChecked() && !english->isChecked());
        QCOMPARE(driver.boxes.size(), 1);
        QCOMPARE(driver.boxes.first().text, QStringLiteral("界面语言将在下次启动时更改。"));

        // A value the program does not know counts as the default.
        QSettings().setValue(QStringLiteral("language"), QStringLiteral("klingon"));
        QCOMPARE(rememberedLanguage(), UiLanguage::Chinese);
    }

private:
    /// The texts of `dialog` that its widgets cut: wider, by the font's
    /// metrics, than what of the widget shows (neither beyond the dialog nor
    /// under a widget to its right).
    static QStringList cutTexts(QWidget *dialog)
    {
        QStringList cut;
        const QList<QWidget *> all = dialog->findChildren<QWidget *>();
        for (QWidget *w : all) {
            if (!w->isVisibleTo(dialog))
                continue;
            QString text;
            int padding = 0;
            const QStyle *style = w->style();
            if (auto *label = qobject_cast<QLabel *>(w); label && !label->wordWrap()) {
                text = label->text();
                padding = w->width() - label->contentsRect().width();
            } else if (auto *box = qobject_cast<QCheckBox *>(w)) {
                text = box->text();
                padding = style->pixelMetric(QStyle::PM_IndicatorWidth) +
                          style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
            } else if (auto *button = qobject_cast<QPushButton *>(w)) {
                text = button->text();
                padding = 2 * style->pixelMetric(QStyle::PM_ButtonMargin);
            } else if (auto *group = qobject_cast<QGroupBox *>(w)) {
                text = group->title();
                padding = 8;
            } else if (auto *edit = qobject_cast<QLineEdit *>(w); edit && edit->parentWidget() != dialog) {
                // The line edit of a combo box or a date field.
                text = edit->text();
                padding = 4;
            }
            if (text.isEmpty())
                continue;
            text.remove(QLatin1Char('&'));
            const QRect inDialog(w->mapTo(dialog, QPoint(0, 0)), w->size());
            int shown = std::min(inDialog.right(), dialog->width() - 1) - inDialog.left() + 1;
            for (const QWidget *other : all) {
                const QRect o(other->mapTo(dialog, QPoint(0, 0)), other->size());
                if (other->parentWidget() == w->parentWidget() && other != w && other->isVisibleTo(dialog) &&
                    o.left() > inDialog.left() && o.left() <= inDialog.right() && o.top() <= inDialog.bottom() &&
                    o.bottom() >= inDialog.top())
                    shown = std::min(shown, o.left() - inDialog.left());
            }
            // The ink counts: a full-width colon's blank right half may lie under a field.
            const QFontMetrics &metrics = w->fontMetrics();
            const int needed = metrics.horizontalAdvance(text) - metrics.rightBearing(text.back()) + padding;
            if (needed > shown)
                cut << QStringLiteral("\"%1\" (%2 of %3)").arg(text).arg(shown).arg(needed);
            // The ink of a line, centred in a label or check box, lies within it.
            const int height = w->contentsRect().height();
            const int baseline = (height - metrics.height()) / 2 + metrics.ascent();
            const QRect ink = metrics.tightBoundingRect(text).translated(0, baseline);
            if ((qobject_cast<QLabel *>(w) || qobject_cast<QCheckBox *>(w)) &&
                (ink.top() < 0 || ink.bottom() >= height))
                cut << QStringLiteral("\"%1\" (ink %2-%3 of %4 high)").arg(text).arg(ink.top()).arg(ink.bottom()).arg(height);
        }
        return cut;
    }

    void removeTranslators()
    {
        for (QTranslator *t : qApp->findChildren<QTranslator *>()) {
            QCoreApplication::removeTranslator(t);
            delete t;
        }
    }
};

QTEST_MAIN(TestLanguage)
#include "tst_language.moc"
