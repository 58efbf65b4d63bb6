#include "mainwindow/signalquitter.h"
#include "mainwindow/tk52k_comm.h"
#include "mainwindow/windowplacement.h"
#include "resources/resources.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QScreen>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tk52k"));
    QApplication::setApplicationVersion(QStringLiteral(TK52K_VERSION));
    QApplication::setOrganizationName(QStringLiteral("tk52k"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("TALVIK 52K 上位软件"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);

    initTk52kResources();
    installFontSubstitutions();

    // SIGTERM and SIGINT leave through the event loop, so the window's
    // destructor still writes or saves the readings waiting for the database.
    SignalQuitter signalQuitter;

    TK52K_Comm window;
    const QRect desktop = QGuiApplication::primaryScreen()->geometry();
    window.resize(initialWindowSize(desktop.size()));
    window.show();
    window.move(desktop.topLeft() + centredWindowPosition(desktop.size(), window.size()));
    return app.exec();
}
