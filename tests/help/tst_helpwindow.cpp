#include "help/helpbrowser.h"
#include "help/helpform.h"
#include "resources/resources.h"

#include <QImage>
#include <QTextBlock>
#include <QTextDocument>
#include <QTreeWidget>
#include <QtTest>

// The program's own help window on the manual the build compiled.
class TstHelpWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void showsDefaultTopic();
    void followsClickedLink();
    void contentsTreeOpensPages();
    void imagesComeFromArchive();
    void missingPage();
    void unreadableFile();

private:
    QString m_chm;
};

namespace {

// The first link in the shown page that leads to another page of the manual.
QTextCursor firstPageLink(QTextDocument *doc, QString *href)
{
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            const QString target = format.anchorHref();
            if (format.isAnchor() && !target.isEmpty() && !target.startsWith(QLatin1Char('#')) &&
                QUrl(target).scheme().isEmpty()) {
                *href = target;
                QTextCursor cursor(doc);
                cursor.setPosition(fragment.position() + fragment.length() / 2);
                return cursor;
            }
        }
    }
    return QTextCursor();
}

QString pagePath(const QString &link)
{
    return ChmArchive::normalizedPath(link.section(QLatin1Char('#'), 0, 0)).toLower();
}

} // namespace

void TstHelpWindow::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
    m_chm = qEnvironmentVariable("TK52K_BIN_DIR") + QStringLiteral("/help.chm");
    QVERIFY2(QFile::exists(m_chm), qPrintable(m_chm));
}

void TstHelpWindow::showsDefaultTopic()
{
    HelpForm form;
    QVERIFY2(form.openFile(m_chm), qPrintable(form.errorString()));
    QCOMPARE(form.windowTitle(), QStringLiteral("TALVIK 52K 上位软件 使用说明"));

    const QString home = form.archive().defaultTopic();
    QCOMPARE(pagePath(form.browser()->source().path()), pagePath(home));
    // The page itself is shown, decoded: its heading is in the document.
    const QString html = form.archive().decodeText(form.archive().object(home));
    const QString heading = html.section(QLatin1String("<h1>"), 1).section(QLatin1String("</h1>"), 0, 0);
    QVERIFY(!heading.isEmpty());
    QVERIFY2(form.browser()->toPlainText().contains(heading), qPrintable(form.browser()->toPlainText()));

    // The table of contents is there, and the default topic is its current entry.
    QCOMPARE(form.contentsTree()->topLevelItemCount(), form.archive().contents().size());
    QVERIFY(form.contentsTree()->currentItem());
    QCOMPARE(pagePath(form.contentsTree()->currentItem()->data(0, Qt::UserRole).toString()), pagePath(home));
}

void TstHelpWindow::followsClickedLink()
{
    HelpForm form;
    QVERIFY(form.openFile(m_chm));
    form.resize(960, 680);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    HelpBrowser *browser = form.browser();
    const QUrl home = browser->source();
    QString href;
    QTextCursor cursor = firstPageLink(browser->document(), &href);
    QVERIFY2(!cursor.isNull(), "the default topic links to no other page");
    browser->setTextCursor(cursor);
    browser->ensureCursorVisible();
    const QPoint where = browser->cursorRect(cursor).center();

    QSignalSpy changed(browser, &QTextBrowser::sourceChanged);
    QTest::mouseClick(browser->viewport(), Qt::LeftButton, Qt::NoModifier, where);
    QTRY_COMPARE(changed.count(), 1);

    const QString target = ChmArchive::normalizedPath(href.section(QLatin1Char('#'), 0, 0));
    QCOMPARE(pagePath(browser->source().path()), target.toLower());
    const QString html = form.archive().decodeText(form.archive().object(target));
    const QString title = html.section(QLatin1String("<title>"), 1).section(QLatin1String("</title>"), 0, 0);
    QCOMPARE(browser->documentTitle(), title);
    QVERIFY(browser->isBackwardAvailable());

    browser->backward();
    QCOMPARE(browser->source().path(), home.path());
}

void TstHelpWindow::contentsTreeOpensPages()
{
    HelpForm form;
    QVERIFY(form.openFile(m_chm));
    QTreeWidget *tree = form.contentsTree();
    QVERIFY(tree->topLevelItemCount() >= 2);

    int visited = 0;
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        const QString local = (*it)->data(0, Qt::UserRole).toString();
        if (local.isEmpty())
            continue;
        emit tree->itemClicked(*it, 0);
        QCOMPARE(pagePath(form.browser()->source().path()), pagePath(local));
        QVERIFY2(!form.browser()->toPlainText().contains(QStringLiteral("页面不存在")), qPrintable(local));
        QCOMPARE(tree->currentItem(), *it);
        ++visited;
    }
    QVERIFY(visited >= 5);
}

void TstHelpWindow::imagesComeFromArchive()
{
    HelpForm form;
    QVERIFY(form.openFile(m_chm));
    const QStringList files = form.archive().files();
    QString image;
    for (const QString &f : files)
        if (f.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
            image = f;
    QVERIFY2(!image.isEmpty(), "the manual holds no screenshot");

    // An image named relative to the page shown, as a page names it.
    const QString relative = image.mid(1);
    const QVariant data = form.browser()->loadResource(QTextDocument::ImageResource, QUrl(relative));
    QImage picture;
    QVERIFY(picture.loadFromData(data.toByteArray()));
    QVERIFY(picture.width() > 100);

    // Nothing is fetched from outside the archive.
    QVERIFY(form.browser()
                ->loadResource(QTextDocument::ImageResource, QUrl(QStringLiteral("file:///etc/hostname")))
                .isNull());
    QVERIFY(form.browser()
                ->loadResource(QTextDocument::ImageResource, QUrl(QStringLiteral("../../../etc/hostname")))
                .isNull());
}

void TstHelpWindow::missingPage()
{
    HelpForm form;
    QVERIFY(form.openFile(m_chm));
    form.showTopic(QStringLiteral("no-such-page.html"));
    QVERIFY(form.browser()->toPlainText().contains(QStringLiteral("页面不存在")));
    QVERIFY(form.browser()->toPlainText().contains(QStringLiteral("/no-such-page.html")));
}

void TstHelpWindow::unreadableFile()
{
    HelpForm form;
    QVERIFY(!form.openFile(QStringLiteral("/nonexistent/help.chm")));
    QVERIFY(!form.errorString().isEmpty());
    QCOMPARE(form.contentsTree()->topLevelItemCount(), 0);
    QVERIFY(form.browser()->toPlainText().isEmpty());
}

QTEST_MAIN(TstHelpWindow)
#include "tst_helpwindow.moc"
