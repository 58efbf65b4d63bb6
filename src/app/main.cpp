#include "core/app/signalquitter.h"
#include "widgets/mainwindow/tk52k_comm.h"
#include "core/app/uilanguage.h"
#include "core/app/windowplacement.h"
#include "core/meter/metersession.h"
#include "widgets/resources/resources.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QScreen>
#include <QSettings>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Without a screen Qt would abort in QApplication. Off screen, --help and
    // --version still answer (help2man asks them while the package is
    // built) and a wrong command line is still told so; a run is refused below.
    // Windows always has its desktop.
#ifdef Q_OS_WIN
    const bool noScreen = false;
#else
    const bool noScreen = qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
                          qEnvironmentVariableIsEmpty("DISPLAY") &&
                          qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#endif
    if (noScreen)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tk52k"));
    QApplication::setApplicationVersion(QStringLiteral(TK52K_VERSION));
    QApplication::setOrganizationName(QStringLiteral("tk52k"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("TALVIK 52K 上位软件"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("Use the meter on DEVICE (a port name such as ttyUSB0, or a device path)."),
        QStringLiteral("DEVICE"));
    const QCommandLineOption startOption(QStringLiteral("start"),
                                         QStringLiteral("Start a run as soon as the window is shown."));
    const QCommandLineOption intervalOption(
        QStringLiteral("interval"),
        QStringLiteral("Record every frame (auto, the default) or one every SECONDS (1-3600)."),
        QStringLiteral("SECONDS|auto"));
    const QCommandLineOption langOption(
        QStringLiteral("lang"),
        QStringLiteral("Interface language for this run: zh (Chinese, the default) or en (English). "
                       "Without it the language picked in the settings menu is used."),
        QStringLiteral("zh|en"));
    const QCommandLineOption resumeOption(
        QStringLiteral("resume"),
        QStringLiteral("Runs outlive a silent meter and a port that goes away (it is reopened every 2 s), "
                       "for this program run; the settings menu's switch keeps it for every run."));
    parser.addOptions({portOption, startOption, intervalOption, langOption, resumeOption});
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "tk52k: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "tk52k: unexpected argument \"%s\"\n",
                     qPrintable(parser.positionalArguments().first()));
        return 2;
    }

    UiLanguage language = rememberedLanguage();
    if (parser.isSet(langOption)) {
        const std::optional<UiLanguage> chosen = parseLanguage(parser.value(langOption));
        if (!chosen) {
            std::fprintf(stderr, "tk52k: --lang wants zh or en, not \"%s\"\n",
                         qPrintable(parser.value(langOption)));
            return 2;
        }
        language = *chosen;
    }
    const QString translationProblem = installTranslations(&app, language);
    if (!translationProblem.isEmpty())
        std::fprintf(stderr, "tk52k: %s\n", qPrintable(translationProblem));

    bool automatic = true;
    uint seconds = 1;
    if (parser.isSet(intervalOption) && !parseSamplingInterval(parser.value(intervalOption), &automatic, &seconds)) {
        std::fprintf(stderr, "tk52k: --interval wants auto or whole seconds from 1 to 3600, not \"%s\"\n",
                     qPrintable(parser.value(intervalOption)));
        return 2;
    }

    if (noScreen) {
        std::fputs("tk52k: no screen to show the window on (DISPLAY and WAYLAND_DISPLAY are not set)\n",
                   stderr);
        return 1;
    }

    initTk52kResources();
    installFontSubstitutions();

    // SIGTERM and SIGINT leave through the event loop, so the window's
    // destructor still writes or saves the readings waiting for the database.
    SignalQuitter signalQuitter;

    TK52K_Comm window;
    // The size and place the window had when it was last closed; the first
    // run opens at four fifths of the screen, centred.
    const QString geometryKey = QStringLiteral("mainwindow/geometry");
    if (window.restoreGeometry(QSettings().value(geometryKey).toByteArray())) {
        window.show();
    } else {
        const QRect desktop = QGuiApplication::primaryScreen()->geometry();
        window.resize(initialWindowSize(desktop.size()));
        window.show();
        window.move(desktop.topLeft() + centredWindowPosition(desktop.size(), window.size()));
    }
    if (parser.isSet(resumeOption))
        window.setResuming(true);
    if (parser.isSet(intervalOption))
        window.setSamplingMode(automatic, seconds);
    if (parser.isSet(portOption))
        window.choosePort(parser.value(portOption));
    if (parser.isSet(startOption))
        QTimer::singleShot(0, &window, &TK52K_Comm::doToolStart);
    const int status = app.exec();
    QSettings().setValue(geometryKey, window.saveGeometry());
    return status;
}
