#include "modaldriver.h"

#include "core/app/uilanguage.h"
#include "core/store/database.h"
#include "widgets/help/helpbrowser.h"
#include "widgets/help/helpform.h"
#include "widgets/help/manual.h"
#include "widgets/mainwindow/tk52k_comm.h"
#include "widgets/resources/resources.h"

#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextDocumentFragment>
#include <QTranslator>
#include <QtTest>

namespace {

// Flattens a tree into "depth|name|local" lines, which compare and print well.
QStringList flat(const QVector<ChmTopic> &topics, int depth = 0)
{
    QStringList out;
    for (const ChmTopic &t : topics)
        out << QStringLiteral("%1|%2|%3").arg(depth).arg(t.name, t.local) << flat(t.children, depth + 1);
    return out;
}

QString entry(const QString &name, const QString &local)
{
    return QStringLiteral("<LI><OBJECT type=\"text/sitemap\"><param name=\"Name\" value=\"%1\">"
                          "<param name=\"Local\" value=\"%2\"></OBJECT>")
        .arg(name, local);
}

QString pagePath(const QString &link)
{
    return ChmArchive::normalizedPath(link.section(QLatin1Char('#'), 0, 0)).toLower();
}

} // namespace

// The manual the build compiled, read back with the archive reader and shown
// in the program's own help window; the Help menu's two commands.
class TstHelp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initTk52kResources();
        installFontSubstitutions();
        m_chm = qEnvironmentVariable("TK52K_BIN_DIR") + QStringLiteral("/help.chm");
        QVERIFY2(m_archive.open(m_chm), qPrintable(m_archive.errorString()));
        m_besideProgram = manualPath();
        QFile::remove(m_besideProgram);
    }

    void normalizedPath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::newRow("dot, dotdot") << "./pages/../images/a.png"
                                     << "/images/a.png";
        QTest::newRow("above root") << "../../a.html"
                                    << "/a.html";
        QTest::newRow("backslash, double slash") << "images\\/a.png"
                                                 << "/images/a.png";
    }

    void normalizedPath()
    {
        QFETCH(QString, path);
        QTEST(ChmArchive::normalizedPath(path), "expected");
    }

    void parseSitemap_data()
    {
        QTest::addColumn<QString>("html");
        QTest::addColumn<QStringList>("expected");
        const QString a = entry("A", "a.html"), b = entry("B", "b.html"), c = entry("C", "c.html#x");
        QTest::newRow("nested") << QStringLiteral("<UL>%1<UL>%2<UL>%3</UL></UL>%2</UL>").arg(a, b, c)
                                << QStringList{"0|A|a.html", "1|B|b.html", "2|C|c.html#x", "0|B|b.html"};
        QTest::newRow("unclosed, stray closing")
            << QStringLiteral("</UL><UL>%1<UL>%2").arg(a, b) << QStringList{"0|A|a.html", "1|B|b.html"};
        QTest::newRow("lower case, single quotes, unquoted")
            << QStringLiteral("<ul><li><object type='text/sitemap'><param name='name' value='A'>"
                              "<param name=local value=a.html></object></ul>")
            << QStringList{"0|A|a.html"};
        QTest::newRow("heading without page, site properties, comment")
            << QStringLiteral(
                   "<OBJECT type=\"text/site properties\"><param name=\"Local\" value=\"x.html\"></OBJECT>"
                   "<UL><LI><OBJECT type=\"text/sitemap\"><param name=\"Name\" value=\"H\"></OBJECT>"
                   "<UL><!-- %1 -->%2</UL></UL>")
                   .arg(a, b)
            << QStringList{"0|H|", "1|B|b.html"};
        QTest::newRow("entities") << entry("导出 &amp; 打印 &lt;1&gt; &#20013;&#x6587; &bogus;",
                                           "a&amp;b.html")
                                  << QStringList{"0|导出 & 打印 <1> 中文 &bogus;|a&b.html"};
    }

    void parseSitemap()
    {
        QFETCH(QString, html);
        QTEST(flat(::parseSitemap(html)), "expected");
    }

    // Both manuals, the Chinese and the English one.
    void manuals_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("sourceDir");
        QTest::addColumn<uint>("language");
        QTest::newRow("zh") << "help.chm"
                            << "docs/manual" << 0x0804u;
        QTest::newRow("en") << "help-en.chm"
                            << "docs/manual-en" << 0x0409u;
    }

    // The names in the tree survive the compiler and the code page conversion,
    // and every page they name is there.
    void contentsMatchSourceAndResolve_data() { manuals_data(); }
    void contentsMatchSourceAndResolve()
    {
        QFETCH(QString, file);
        QFETCH(QString, sourceDir);
        QFETCH(uint, language);
        ChmArchive archive;
        QVERIFY2(archive.open(binDir() + file), qPrintable(archive.errorString()));
        QCOMPARE(archive.language() & 0xFFFF, language);
        QVERIFY(archive.contains(archive.defaultTopic()));
        // Names are matched without regard to case, as hand-written links expect.
        QCOMPARE(archive.object(QStringLiteral("/INDEX.HTML")), archive.object(QStringLiteral("index.html")));
        // Text without a charset is read as UTF-8 when it is valid UTF-8, else in
        // the archive's language (GBK: the Chinese contents file is stored so).
        QCOMPARE(archive.decodeText(QByteArray("<p>\xe6\x95\xb0</p>")), QStringLiteral("<p>数</p>"));
        QFile source(qEnvironmentVariable("TK52K_SOURCE_DIR") + QLatin1Char('/') + sourceDir +
                     QStringLiteral("/help.hhc"));
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QStringList lines = flat(archive.contents());
        QVERIFY(lines.size() >= 5);
        QCOMPARE(lines, flat(::parseSitemap(QString::fromUtf8(source.readAll()))));
        for (const QString &line : lines) {
            const QString local = line.section(QLatin1Char('|'), 2).section(QLatin1Char('#'), 0, 0);
            QVERIFY2(local.isEmpty() || archive.contains(local), qPrintable(local));
        }
    }

    // Every page is decoded cleanly; every href and src of it leads to something
    // inside the manual, and every anchor it names exists on the target page.
    void everyLinkResolves_data() { manuals_data(); }
    void everyLinkResolves()
    {
        QFETCH(QString, file);
        ChmArchive archive;
        QVERIFY2(archive.open(binDir() + file), qPrintable(archive.errorString()));
        static const QRegularExpression link(QStringLiteral("\\b(?:href|src)\\s*=\\s*\"([^\"]*)\""),
                                             QRegularExpression::CaseInsensitiveOption);
        int links = 0;
        for (const QString &page : archive.files()) {
            if (!page.endsWith(QLatin1String(".html"), Qt::CaseInsensitive))
                continue;
            const QString html = archive.decodeText(archive.object(page));
            QVERIFY2(html.contains(QLatin1String("<title>"), Qt::CaseInsensitive), qPrintable(page));
            QVERIFY2(!html.contains(QChar::ReplacementCharacter), qPrintable(page));
            auto it = link.globalMatch(html);
            while (it.hasNext()) {
                const QString target = it.next().captured(1);
                if (QUrl(target).scheme().size() > 1 || target.startsWith(QLatin1Char('#')))
                    continue;
                ++links;
                const QString dir = page.left(page.lastIndexOf(QLatin1Char('/')) + 1);
                const QString path = ChmArchive::normalizedPath(dir + target.section(QLatin1Char('#'), 0, 0));
                QVERIFY2(archive.contains(path),
                         qPrintable(page + QStringLiteral(" links to missing ") + target));
                const QString anchor = target.section(QLatin1Char('#'), 1);
                if (anchor.isEmpty())
                    continue;
                const QRegularExpression named(
                    QStringLiteral("\\b(?:name|id)\\s*=\\s*\"%1\"").arg(QRegularExpression::escape(anchor)));
                QVERIFY2(archive.decodeText(archive.object(path)).contains(named),
                         qPrintable(page + QStringLiteral(": no anchor ") + target));
            }
        }
        QVERIFY(links >= 10);
    }

    void readsOnlyFromTheArchive()
    {
        HelpForm form;
        QVERIFY(form.openFile(m_chm));
        form.showTopic(QStringLiteral("no-such-page.html"));
        QVERIFY(form.browser()->toPlainText().contains(QStringLiteral("页面不存在")));
        QVERIFY(form.browser()->toPlainText().contains(QStringLiteral("/no-such-page.html")));
        // An image named relative to the page, as a page names it, comes from the
        // archive; nothing is fetched from outside it.
        const QStringList images = form.archive().files().filter(QStringLiteral(".png"), Qt::CaseInsensitive);
        QVERIFY2(!images.isEmpty(), "the manual holds no screenshot");
        const QVariant data =
            form.browser()->loadResource(QTextDocument::ImageResource, QUrl(images.first().mid(1)));
        QVERIFY(QImage::fromData(data.toByteArray()).width() > 100);
        for (const char *outside : {"file:///etc/hostname", "../../../etc/hostname"})
            QVERIFY2(form.browser()->loadResource(QTextDocument::ImageResource, QUrl(outside)).isNull(),
                     outside);
    }

    // The manual is looked for beside the program, then where an installation
    // puts it: <prefix>/share/tk52k, the program being in <prefix>/bin.
    void manualCommand()
    {
        TK52K_Comm w;
        ModalDriver driver;
        driver.answerBox(QString());
        w.doMenuManual();
        QVERIFY(driver.done());
        QVERIFY2(driver.boxes[0].text.contains(QStringLiteral("找不到帮助文件")),
                 qPrintable(driver.boxes[0].text));
        QVERIFY(driver.boxes[0].text.contains(QDir::toNativeSeparators(m_besideProgram)));
        QVERIFY(w.findChildren<HelpForm *>().isEmpty());

        const QString installed = QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                                  QStringLiteral("/../share/tk52k/help.chm"));
        const auto removeInstalled = qScopeGuard([&] {
            QFile::remove(installed);
            QDir().rmpath(QFileInfo(installed).path());
        });
        QVERIFY(QDir().mkpath(QFileInfo(installed).path()));
        QVERIFY(QFile::copy(m_chm, installed));
        QCOMPARE(manualPath(), installed);
        QVERIFY(QFile::copy(m_chm, m_besideProgram));
        QCOMPARE(manualPath(), m_besideProgram);

        w.doMenuManual();
#ifdef Q_OS_WIN
        // The system's help program shows it.
        QProcess *viewer = nullptr;
        for (QProcess *process : w.findChildren<QProcess *>()) {
            if (process->program().endsWith(QStringLiteral("hh.exe"), Qt::CaseInsensitive))
                viewer = process;
        }
        QVERIFY(viewer);
        QCOMPARE(viewer->arguments(), QStringList{QDir::toNativeSeparators(m_besideProgram)});
        QVERIFY(w.findChildren<HelpForm *>().isEmpty());
        viewer->kill();
        viewer->waitForFinished();
#else
        QCOMPARE(w.findChildren<HelpForm *>().size(), 1);
        HelpForm *form = w.findChildren<HelpForm *>().first();
        QVERIFY(form->isWindow() && form->isVisible());
        QCOMPARE(pagePath(form->browser()->source().path()), pagePath(form->archive().defaultTopic()));
#endif
    }
    // Every menu command of the main window, in the words the interface uses
    // in that language, is explained in the manual of that language, and so
    // is the history window's meter selector.
    void manualCoversEveryMenuCommand_data() { manuals_data(); }
    void manualCoversEveryMenuCommand()
    {
        QFETCH(QString, file);
        ChmArchive archive;
        QVERIFY2(archive.open(binDir() + file), qPrintable(archive.errorString()));
        QString text;
        for (const QString &page : archive.files())
            if (page.endsWith(QLatin1String(".html"), Qt::CaseInsensitive))
                text +=
                    QTextDocumentFragment::fromHtml(archive.decodeText(archive.object(page))).toPlainText();
        text.replace(QChar(0xa0), QLatin1Char(' '));

        QTranslator english;
        if (QTest::currentDataTag() == QLatin1String("en")) {
            QVERIFY(english.load(QStringLiteral(":/translations/tk52k_en.qm")));
            QCoreApplication::installTranslator(&english);
        }
        QTemporaryDir journal;
        TK52K_Comm w(new database(DbSettings::fromEnvironment(), journal.path()));
        QStringList commands;
        std::function<void(const QList<QAction *> &)> walk = [&](const QList<QAction *> &actions) {
            for (QAction *a : actions) {
                if (a->isSeparator())
                    continue;
                QString name = a->text();
                name.remove(QRegularExpression(QStringLiteral("\\(&.\\)|\\.\\.\\.$")));
                name.remove(QLatin1Char('&'));
                commands << name.trimmed();
                if (a->menu())
                    walk(a->menu()->actions());
            }
        };
        walk(w.menuBar()->actions());
        commands << QCoreApplication::translate("HisViewForm", "全部仪表");
        QCoreApplication::removeTranslator(&english);
        QVERIFY(commands.size() >= 12);
        QStringList missing;
        for (const QString &command : qAsConst(commands))
            if (!text.contains(command, Qt::CaseInsensitive))
                missing << command;
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QStringLiteral(" | "))));
    }

    // Help opens the manual of the interface's language; without an English
    // one, the Chinese one rather than none.
    void manualOfTheLanguage()
    {
        const QString english = QCoreApplication::applicationDirPath() + QStringLiteral("/help-en.chm");
        const auto removeBoth = qScopeGuard([&] {
            QFile::remove(m_besideProgram);
            QFile::remove(english);
        });
        QFile::remove(m_besideProgram);
        QFile::remove(english);
        QVERIFY(QFile::copy(m_chm, m_besideProgram));
        QCOMPARE(manualPath(UiLanguage::English), m_besideProgram);
        QVERIFY(QFile::copy(binDir() + QStringLiteral("help-en.chm"), english));
        QCOMPARE(manualPath(UiLanguage::English), english);
        QCOMPARE(manualPath(UiLanguage::Chinese), m_besideProgram);
        installTranslations(qApp, UiLanguage::English);
        QCOMPARE(manualPath(), english);
        installTranslations(qApp, UiLanguage::Chinese);
        QCOMPARE(manualPath(), m_besideProgram);
    }

    void cleanupTestCase() { QFile::remove(m_besideProgram); }

private:
    static QString binDir() { return qEnvironmentVariable("TK52K_BIN_DIR") + QLatin1Char('/'); }

    QString m_chm;
    QString m_besideProgram;
    ChmArchive m_archive;
};

QTEST_MAIN(TstHelp)
#include "tst_help.moc"
