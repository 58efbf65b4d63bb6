#include "dialogs/aboutform.h"
#include "help/helpform.h"
#include "help/manual.h"
#include "mainwindow/tk52k_comm.h"
#include "resources/resources.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

// The two Help menu commands of the main window: the About box and the manual.
class TstAboutManual : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void aboutBox();
    void aboutBoxAgainAfterClosing();
    void missingManualNamesThePath();
    void manualOpensInHelpWindow();
    void cleanupTestCase();

private:
    AboutForm *newestAboutForm(const QSet<QWidget *> &before) const;

    TK52K_Comm *m_window = nullptr;
    QString m_besideProgram;
};

namespace {

// Answers the next message box and hands back what it said.
void closeNextMessageBox(QString *text, QString *title)
{
    QTimer::singleShot(0, [=]() {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            closeNextMessageBox(text, title);
            return;
        }
        *text = box->text();
        *title = box->windowTitle();
        box->accept();
    });
}

QSet<QWidget *> topLevels()
{
    const QWidgetList list = QApplication::topLevelWidgets();
    return QSet<QWidget *>(list.begin(), list.end());
}

} // namespace

void TstAboutManual::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
    m_window = new TK52K_Comm;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    m_besideProgram = QCoreApplication::applicationDirPath() + QStringLiteral("/help.chm");
    QFile::remove(m_besideProgram);
}

void TstAboutManual::cleanupTestCase()
{
    QFile::remove(m_besideProgram);
    delete m_window;
}

AboutForm *TstAboutManual::newestAboutForm(const QSet<QWidget *> &before) const
{
    AboutForm *found = nullptr;
    const QWidgetList list = QApplication::topLevelWidgets();
    for (QWidget *w : list)
        if (!before.contains(w))
            if (auto *about = qobject_cast<AboutForm *>(w))
                found = about;
    return found;
}

void TstAboutManual::aboutBox()
{
    const QSet<QWidget *> before = topLevels();
    m_window->doMenuAbout();
    AboutForm *box = newestAboutForm(before);
    QVERIFY(box);
    QVERIFY(box->isVisible());
    QCOMPARE(box->parentWidget(), nullptr);
    QCOMPARE(box->windowTitle(), QStringLiteral("关于"));

    // Cannot be resized, stays on top, has only a close button, and holds the
    // rest of the program until it is closed.
    QCOMPARE(box->size(), QSize(297, 158));
    QCOMPARE(box->minimumSize(), QSize(297, 158));
    QCOMPARE(box->maximumSize(), QSize(297, 158));
    // Qt adds the title and system-menu hints a close button needs; no
    // minimize or maximize button may appear.
    const Qt::WindowFlags flags = box->windowFlags();
    QVERIFY(box->isWindow());
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
    QCOMPARE(box->windowModality(), Qt::ApplicationModal);
    QTRY_COMPARE(QApplication::activeModalWidget(), static_cast<QWidget *>(box));

    auto *name = box->findChild<QLabel *>(QStringLiteral("label"));
    auto *version = box->findChild<QLabel *>(QStringLiteral("label_2"));
    auto *button = box->findChild<QPushButton *>(QStringLiteral("pushButton"));
    QVERIFY(name && version && button);
    QCOMPARE(name->text(), QStringLiteral("软件名称：TALVIK 52K 上位软件"));
    QCOMPARE(version->text(), QStringLiteral("软件版本：V2.0"));
    QCOMPARE(button->text(), QStringLiteral("确认"));
    QCOMPARE(name->geometry(), QRect(20, 20, 261, 21));
    QCOMPARE(version->geometry(), QRect(20, 60, 191, 21));
    QCOMPARE(button->geometry(), QRect(110, 100, 75, 41));
    for (QWidget *w :
         {static_cast<QWidget *>(name), static_cast<QWidget *>(version), static_cast<QWidget *>(button)}) {
        QCOMPARE(w->font().family(), QStringLiteral("仿宋"));
        QCOMPARE(w->font().pointSize(), 12);
        QVERIFY(w->font().bold());
    }
    // The texts fit their labels in the fonts the machine substitutes.
    QVERIFY(name->fontMetrics().horizontalAdvance(name->text()) <= name->width());
    QVERIFY(version->fontMetrics().horizontalAdvance(version->text()) <= version->width());

    QPointer<AboutForm> guard(box);
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_VERIFY(!guard || !guard->isVisible());
    QTRY_COMPARE(QApplication::activeModalWidget(), nullptr);
}

void TstAboutManual::aboutBoxAgainAfterClosing()
{
    QSet<QWidget *> before = topLevels();
    m_window->doMenuAbout();
    QPointer<AboutForm> first = newestAboutForm(before);
    QVERIFY(first);
    QVERIFY(first->close());
    QTRY_VERIFY(!first);

    before = topLevels();
    m_window->doMenuAbout();
    QPointer<AboutForm> second = newestAboutForm(before);
    QVERIFY(second);
    QVERIFY(second->isVisible());
    QCOMPARE(second->size(), QSize(297, 158));
    QCOMPARE(second->findChild<QLabel *>(QStringLiteral("label_2"))->text(),
             QStringLiteral("软件版本：V2.0"));
    second->close();
    QTRY_VERIFY(!second);
}

void TstAboutManual::missingManualNamesThePath()
{
    QVERIFY(!QFile::exists(m_besideProgram));
    QString text;
    QString title;
    closeNextMessageBox(&text, &title);
    m_window->doMenuManual();
    QVERIFY2(text.contains(QDir::toNativeSeparators(m_besideProgram)), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("找不到帮助文件")));
    QVERIFY(m_window->findChildren<HelpForm *>().isEmpty());

    // The same for any path handed to the launcher directly.
    closeNextMessageBox(&text, &title);
    QCOMPARE(openManual(QStringLiteral("/nonexistent/dir/help.chm"), m_window), nullptr);
    QVERIFY2(text.contains(QDir::toNativeSeparators(QStringLiteral("/nonexistent/dir/help.chm"))),
             qPrintable(text));
}

void TstAboutManual::manualOpensInHelpWindow()
{
    const QString built = qEnvironmentVariable("TK52K_BIN_DIR") + QStringLiteral("/help.chm");
    QVERIFY(QFile::copy(built, m_besideProgram));

    m_window->doMenuManual();
    const QList<HelpForm *> forms = m_window->findChildren<HelpForm *>();
    QCOMPARE(forms.size(), 1);
    HelpForm *form = forms.first();
    QVERIFY(form->isWindow());
    QVERIFY(form->isVisible());
    QCOMPARE(form->archive().fileName(), manualPath());
    QCOMPARE(ChmArchive::normalizedPath(form->browser()->source().path()).toLower(),
             ChmArchive::normalizedPath(form->archive().defaultTopic()).toLower());
    QVERIFY(form->contentsTree()->topLevelItemCount() > 0);

    // Closing the window releases it.
    QPointer<HelpForm> guard(form);
    form->close();
    QTRY_VERIFY(!guard);
}

QTEST_MAIN(TstAboutManual)
#include "tst_aboutmanual.moc"
