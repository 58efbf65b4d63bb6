// Saves pictures of the program's windows for the user manual: the front
// panel, the About box, the dialogs of the menus and, given a time range, a
// history window, and the manual's own window. scripts/manual-screenshots.sh runs it beside the program.
#include "core/app/uilanguage.h"
#include "widgets/mainwindow/tk52k_comm.h"
#include "widgets/resources/resources.h"

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSet>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <optional>

namespace {

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The window a command opened: the newest visible top-level widget that was
// not there before it ran. Null when the command opened nothing.
QWidget *openedBy(const std::function<void()> &command, int waitMs = 500)
{
    const QWidgetList before = QApplication::topLevelWidgets();
    const QSet<QWidget *> old(before.begin(), before.end());
    command();
    QElapsedTimer clock;
    clock.start();
    QWidget *found = nullptr;
    while (!found && clock.elapsed() < waitMs) {
        settle(50);
        const QWidgetList now = QApplication::topLevelWidgets();
        for (QWidget *w : now)
            if (!old.contains(w) && w->isVisible())
                found = w;
    }
    return found;
}

bool save(QWidget *widget, const QString &dir, const QString &name)
{
    settle(300);
    const QString path = QDir(dir).filePath(name);
    if (!widget || !widget->grab().save(path)) {
        std::fprintf(stderr, "%s: not taken\n", qPrintable(name));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tk52k"));
    QApplication::setOrganizationName(QStringLiteral("tk52k"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Saves screenshots of the program's windows as PNG files."));
    parser.addHelpOption();
    const QCommandLineOption fromOpt(
        QStringLiteral("history-from"),
        QStringLiteral("Also open a history window from this time (yyyy-MM-dd HH:mm:ss)."),
        QStringLiteral("TIME"));
    const QCommandLineOption toOpt(QStringLiteral("history-to"), QStringLiteral("End of that range."),
                                   QStringLiteral("TIME"));
    const QCommandLineOption langOpt(
        QStringLiteral("lang"), QStringLiteral("The interface language of the pictures: zh (default) or en."),
        QStringLiteral("zh|en"));
    parser.addOptions({fromOpt, toOpt, langOpt});
    parser.addPositionalArgument(QStringLiteral("DIR"), QStringLiteral("Folder for the PNG files."));
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);
    const QString dir = parser.positionalArguments().first();
    QDir().mkpath(dir);

    const std::optional<UiLanguage> language =
        parser.isSet(langOpt) ? parseLanguage(parser.value(langOpt)) : UiLanguage::Chinese;
    if (!language) {
        std::fprintf(stderr, "tk52k-manual-shots: --lang wants zh or en\n");
        return 2;
    }
    const QString missing = installTranslations(&app, *language);
    if (!missing.isEmpty())
        std::fprintf(stderr, "tk52k-manual-shots: %s\n", qPrintable(missing));
    initTk52kResources();
    installFontSubstitutions();

    TK52K_Comm window;
    window.resize(1200, 760);
    window.show();
    settle(500);

    int failures = 0;
    // Before any reading arrives the panel shows every segment, which is
    // what the manual explains it with.
    failures +=
        !save(window.findChild<QWidget *>(QStringLiteral("groupBox")), dir, QStringLiteral("panel.png"));

    const struct
    {
        void (TK52K_Comm::*command)();
        const char *file;
    } dialogs[] = {
        {&TK52K_Comm::doMenuAbout, "about.png"},
        {&TK52K_Comm::doMenuComm, "commsetting.png"},
        {&TK52K_Comm::doMenuTime, "timesetting.png"},
        {&TK52K_Comm::doMenuHis, "hissetting.png"},
    };
    for (const auto &d : dialogs) {
        QWidget *opened = openedBy([&]() { (window.*d.command)(); });
        failures += !save(opened, dir, QLatin1String(d.file));
        if (opened)
            opened->close();
    }
    // The database settings, with the answer of a connection test.
    if (auto *action = window.findChild<QAction *>(QStringLiteral("actionSettingDatabase"))) {
        QWidget *opened = openedBy([&]() { action->trigger(); });
        if (auto *test =
                opened ? opened->findChild<QPushButton *>(QStringLiteral("testPushButton")) : nullptr) {
            test->click();
            settle(2500);
        }
        failures += !save(opened, dir, QStringLiteral("dbsetting.png"));
        if (opened)
            opened->close();
    }

    // The manual in the program's own help window, on its second page.
    {
        QWidget *help = openedBy([&]() { window.doMenuManual(); });
        if (help) {
            help->resize(900, 560);
            QMetaObject::invokeMethod(help, "showTopic", Q_ARG(QString, QStringLiteral("connect.html")));
        }
        failures += !save(help, dir, QStringLiteral("helpwindow.png"));
        if (help)
            help->close();
    }

    if (parser.isSet(fromOpt) && parser.isSet(toOpt)) {
        const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
        const QDateTime from = QDateTime::fromString(parser.value(fromOpt), format);
        const QDateTime to = QDateTime::fromString(parser.value(toOpt), format);
        QWidget *history = openedBy([&]() { window.doHisSettingBtnEnter(from, to); }, 5000);
        if (history) {
            history->resize(1032, 650);
            settle(2000);
        }
        failures += !save(history, dir, QStringLiteral("hisview.png"));
    }
    return failures == 0 ? 0 : 1;
}
