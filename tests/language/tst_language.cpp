#include "widgets/mainwindow/languagemenu.h"
#include "core/app/uilanguage.h"
#include "modaldriver.h"

#include <QAction>
#include <QFile>
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
