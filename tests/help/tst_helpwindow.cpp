#include "modaldriver.h"

#include "dialogs/aboutform.h"
#include "help/helpbrowser.h"
#include "help/helpform.h"
#include "help/manual.h"
#include "mainwindow/tk52k_comm.h"
#include "resources/resources.h"

#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTextBlock>
#include <QTreeWidget>
#include <QtTest>

namespace {

QString pagePath(const QString &link)
{
    return ChmArchive::normalizedPath(link.section(QLatin1Char('#'), 0, 0)).toLower();
}

// The first link of the shown page that leads to another page of the manual.
QTextCursor firstPageLink(QTextDocument *doc, QString *href)
{
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            *href = fragment.charFormat().anchorHref();
            if (!href->isEmpty() && !href->startsWith(QLatin1Char('#')) && QUrl(*href).scheme().isEmpty()) {
                QTextCursor cursor(doc);
                cursor.setPosition(fragment.position() + fragment.length() / 2);
                return cursor;
            }
        }
    return QTextCursor();
}

} // namespace

// The program's own help window on the manual the build compiled, and the
// Help menu's two commands.
class TstHelpWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void showsDefaultTopicAndFollowsALink();
    void readsOnlyFromTheArchive();
    void aboutBox();
    void manualCommand();
    void cleanupTestCase() { QFile::remove(m_besideProgram); }

private:
    QString m_chm;
    QString m_besideProgram;
};

void TstHelpWindow::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
    m_chm = qEnvironmentVariable("TK52K_BIN_DIR") + QStringLiteral("/help.chm");
    QVERIFY2(QFile::exists(m_chm), qPrintable(m_chm));
    m_besideProgram = manualPath();
    QFile::remove(m_besideProgram);
}

void TstHelpWindow::showsDefaultTopicAndFollowsALink()
{
    HelpForm form;
    QVERIFY2(form.openFile(m_chm), qPrintable(form.errorString()));
    form.resize(960, 680);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.windowTitle(), QStringLiteral("TALVIK 52K 上位软件 使用说明"));
    HelpBrowser *browser = form.browser();
    const QString home = form.archive().defaultTopic();
    QCOMPARE(pagePath(browser->source().path()), pagePath(home));
    // The page itself is shown, decoded, and is the current contents entry.
    const QString html = form.archive().decodeText(form.archive().object(home));
    const QString heading = html.section(QLatin1String("<h1>"), 1).section(QLatin1String("</h1>"), 0, 0);
    QVERIFY(!heading.isEmpty() && browser->toPlainText().contains(heading));
    QCOMPARE(pagePath(form.contentsTree()->currentItem()->data(0, Qt::UserRole).toString()), pagePath(home));

    QString href;
    QTextCursor cursor = firstPageLink(browser->document(), &href);
    QVERIFY2(!cursor.isNull(), "the default topic links to no other page");
    browser->setTextCursor(cursor);
    browser->ensureCursorVisible();
    QTest::mouseClick(browser->viewport(), Qt::LeftButton, Qt::NoModifier, browser->cursorRect(cursor).center());
    QTRY_COMPARE(pagePath(browser->source().path()), pagePath(href));
    const QString target = form.archive().decodeText(form.archive().object(pagePath(href)));
    QCOMPARE(browser->documentTitle(),
             target.section(QLatin1String("<title>"), 1).section(QLatin1String("</title>"), 0, 0));
    browser->backward();
    QCOMPARE(pagePath(browser->source().path()), pagePath(home));
}

void TstHelpWindow::readsOnlyFromTheArchive()
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
    const QVariant data = form.browser()->loadResource(QTextDocument::ImageResource, QUrl(images.first().mid(1)));
    QVERIFY(QImage::fromData(data.toByteArray()).width() > 100);
    for (const char *outside : {"file:///etc/hostname", "../../../etc/hostname"})
        QVERIFY2(form.browser()->loadResource(QTextDocument::ImageResource, QUrl(outside)).isNull(), outside);

    HelpForm unreadable;
    QVERIFY(!unreadable.openFile(QStringLiteral("/nonexistent/help.chm")));
    QVERIFY(unreadable.contentsTree()->topLevelItemCount() == 0 && unreadable.browser()->toPlainText().isEmpty());
}

void TstHelpWindow::aboutBox()
{
    TK52K_Comm w;
    w.doMenuAbout();
    AboutForm *box = nullptr;
    QTRY_VERIFY((box = qobject_cast<AboutForm *>(QApplication::activeModalWidget())));
    QCOMPARE(box->windowTitle(), QStringLiteral("关于"));
    QCOMPARE(box->windowModality(), Qt::ApplicationModal);
    const QStringList expected{"软件名称：TALVIK 52K 上位软件", "软件版本：V2.0"};
    for (int i = 0; i < 2; ++i) {
        auto *label = box->findChild<QLabel *>(i ? QStringLiteral("label_2") : QStringLiteral("label"));
        QCOMPARE(label->text(), expected[i]);
        // It fits its label in the fonts the machine substitutes.
        QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
    }
    auto *button = box->findChild<QPushButton *>(QStringLiteral("pushButton"));
    QCOMPARE(button->text(), QStringLiteral("确认"));
    QPointer<AboutForm> guard(box);
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_VERIFY(!guard || !guard->isVisible());
}

void TstHelpWindow::manualCommand()
{
    TK52K_Comm w;
    ModalDriver driver;
    driver.answerBox(QString());
    w.doMenuManual();
    QVERIFY(driver.done());
    QVERIFY2(driver.boxes[0].text.contains(QStringLiteral("找不到帮助文件")), qPrintable(driver.boxes[0].text));
    QVERIFY(driver.boxes[0].text.contains(QDir::toNativeSeparators(m_besideProgram)));
    QVERIFY(w.findChildren<HelpForm *>().isEmpty());

    QVERIFY(QFile::copy(m_chm, m_besideProgram));
    w.doMenuManual();
    QCOMPARE(w.findChildren<HelpForm *>().size(), 1);
    HelpForm *form = w.findChildren<HelpForm *>().first();
    QVERIFY(form->isWindow() && form->isVisible());
    QCOMPARE(pagePath(form->browser()->source().path()), pagePath(form->archive().defaultTopic()));
}

QTEST_MAIN(TstHelpWindow)
#include "tst_helpwindow.moc"
