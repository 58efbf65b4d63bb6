#include "manual.h"

#include "widgets/help/helpform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>

QString manualFileName(UiLanguage language)
{
    return language == UiLanguage::English ? QStringLiteral("help-en.chm") : QStringLiteral("help.chm");
}

QString manualPath(UiLanguage language)
{
    const QString dir = QCoreApplication::applicationDirPath();
    const QString beside = dir + QLatin1Char('/') + manualFileName(language);
    QStringList candidates;
    for (const UiLanguage l : {language, UiLanguage::Chinese}) {
        // An installed copy: the program in <prefix>/bin, the manual in
        // <prefix>/share/tk52k, wherever the prefix is.
        candidates << dir + QLatin1Char('/') + manualFileName(l)
                   << QDir::cleanPath(dir + QStringLiteral("/../share/tk52k/") + manualFileName(l));
    }
    for (const QString &path : qAsConst(candidates))
        if (QFileInfo(path).isFile())
            return path;
    return beside;
}

QObject *openManual(const QString &path, QWidget *owner)
{
    if (!QFileInfo(path).isFile()) {
        QMessageBox::warning(owner, QObject::tr("帮助"),
                             QObject::tr("找不到帮助文件：%1").arg(QDir::toNativeSeparators(path)));
        return nullptr;
    }
#ifdef Q_OS_WIN
    // The system's help program; the program's own viewer where it has none.
    const QString helpProgram = QStandardPaths::findExecutable(QStringLiteral("hh"));
    if (!helpProgram.isEmpty()) {
        auto *process = new QProcess(owner);
        process->start(helpProgram, {QDir::toNativeSeparators(path)}, QIODevice::ReadWrite);
        return process;
    }
#endif
    // Owned by the main window so that closing it ends the program even while
    // the manual is open, yet shown as a window of its own.
    auto *form = new HelpForm(owner, Qt::Window);
    form->setAttribute(Qt::WA_DeleteOnClose);
    if (!form->openFile(path)) {
        QMessageBox::warning(owner, QObject::tr("帮助"),
                             QObject::tr("无法打开帮助文件：%1").arg(QDir::toNativeSeparators(path)));
        delete form;
        return nullptr;
    }
    form->show();
    return form;
}
