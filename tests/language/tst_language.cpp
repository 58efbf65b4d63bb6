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

#include <functional>

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

    // The main window's dialogs as it opens them, in Chinese and in English
    // (grown until every text shows whole, measured with the font's
    // metrics), a long device path too.
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
        TK52K_Comm w;
        const QList<std::function<void()>> dialogs = {[&w] { w.doMenuAbout(); }, [&w] { w.doMenuHis(); },
                                                     [&w] { w.doMenuComm(); }, [&w] { w.doMenuTime(); },
                                                     [&w] { w.runMonitor()->openAlarmDialog(); }};
        for (const auto &open : dialogs) {
            open();
            QPointer<QWidget> dialog = QApplication::activeModalWidget();
            QVERIFY(dialog);
            const QStringList cut = cutTexts(dialog);
            QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral(", "))));
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
    /// The texts of `dialog` its widgets cut: the ink wider than what of the
    /// widget shows (inside the dialog, not under a sibling to its right), or
    /// a label's line higher than the label.
    static QStringList cutTexts(QWidget *dialog)
    {
        QStringList cut;
        for (QWidget *w : dialog->findChildren<QWidget *>()) {
            const auto *label = qobject_cast<QLabel *>(w);
            const auto *button = qobject_cast<QAbstractButton *>(w);
            const auto *edit = qobject_cast<QLineEdit *>(w); // that of a combo box or a date field
            QString text = label && !label->wordWrap() ? label->text()
                           : button                    ? button->text()
                           : edit && edit->parentWidget()->inherits("QAbstractSpinBox") ? edit->text()
                           : edit && edit->parentWidget()->inherits("QComboBox")        ? edit->text()
                                                                                        : QString();
            text.remove(QLatin1Char('&'));
            if (text.isEmpty() || !w->isVisibleTo(dialog))
                continue;
            int room = std::min(w->width(), dialog->width() - w->mapTo(dialog, QPoint()).x());
            for (const QWidget *o : w->parentWidget()->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
                if (o->isVisibleTo(dialog) && o->x() > w->x() && o->x() <= w->geometry().right() &&
                    o->geometry().top() <= w->geometry().bottom() && o->geometry().bottom() >= w->geometry().top())
                    room = std::min(room, o->x() - w->x());
            }
            const QStyle *style = w->style();
            const int padding = qobject_cast<QCheckBox *>(w) ? style->pixelMetric(QStyle::PM_IndicatorWidth) +
                                                                   style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing)
                                : qobject_cast<QPushButton *>(w) ? 2 * style->pixelMetric(QStyle::PM_ButtonMargin)
                                : edit                           ? 4
                                                                 : w->width() - w->contentsRect().width();
            // The ink counts: a full-width colon's blank half may lie under a field.
            const QFontMetrics &m = w->fontMetrics();
            if (m.horizontalAdvance(text) - m.rightBearing(text.back()) + padding > room)
                cut << QStringLiteral("\"%1\" in %2 px").arg(text).arg(room);
            const int height = w->contentsRect().height();
            const QRect ink = m.tightBoundingRect(text).translated(0, (height - m.height()) / 2 + m.ascent());
            if ((label || qobject_cast<QCheckBox *>(w)) && (ink.top() < 0 || ink.bottom() >= height))
                cut << QStringLiteral("\"%1\" in %2 px high").arg(text).arg(height);
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
