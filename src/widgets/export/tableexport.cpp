#include "widgets/export/tableexport.h"

#include "export/exportprogress.h"
#include "export/readingcsvwriter.h"
#include "export/tabletextwriter.h"
#include "export/tableworkbookwriter.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTableView>
#include <QUrl>

namespace {

// A notice with one button: the main window labels it "确定", the history
// window uses the standard button it was given.
void notice(QMessageBox::Icon icon, const QString &title, const QString &text, ExportBoxStyle style,
            QMessageBox::StandardButton historyButton)
{
    QMessageBox box(icon, title, text);
    if (style == ExportBoxStyle::MainWindow)
        box.setDefaultButton(
            box.addButton(QCoreApplication::translate("TableExport", "确定"), QMessageBox::AcceptRole));
    else
        box.setStandardButtons(historyButton);
    box.exec();
}

bool askOpen(ExportBoxStyle style)
{
    const QString title = QCoreApplication::translate("TableExport", "完成");
    const QString text = QCoreApplication::translate("TableExport", "文件已经导出，是否现在打开？");
    if (style == ExportBoxStyle::HistoryWindow)
        return QMessageBox::question(nullptr, title, text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::NoButton) == QMessageBox::Yes;
    QMessageBox box(QMessageBox::Question, title, text);
    QPushButton *yes = box.addButton(QCoreApplication::translate("TableExport", "是"), QMessageBox::YesRole);
    box.addButton(QCoreApplication::translate("TableExport", "否"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.exec();
    return box.clickedButton() == yes;
}

constexpr char kFolderKey[] = "export/folder";

// Where a save dialog opens: the folder of the last export while it is
// still there, else `fallback` while that is there, else the home folder.
// Always a folder that exists: the dialog takes a missing one's last name
// for the file's name.
QString startFolder(const QString &fallback)
{
    const QString last = QSettings().value(QLatin1String(kFolderKey)).toString();
    if (!last.isEmpty() && QFileInfo(last).isDir())
        return last;
    if (fallback.isEmpty() || QFileInfo(fallback).isDir())
        return fallback;
    return QDir::homePath();
}

// The save dialog of every export; the folder chosen is where the next one
// opens.
QString askSaveFile(QWidget *parent, const QString &filter, const QString &fallback = QString())
{
    const QString path = QFileDialog::getSaveFileName(
        parent, QCoreApplication::translate("TableExport", "保存"), startFolder(fallback), filter);
    if (!path.isEmpty())
        QSettings().setValue(QLatin1String(kFolderKey), QFileInfo(path).absolutePath());
    return path;
}

// An export the user stopped says so, instead of calling it a failure.
bool toldCancelled(ExportBoxStyle style)
{
    if (!exportCancelled())
        return false;
    notice(QMessageBox::Information, QCoreApplication::translate("TableExport", "提示"),
           QCoreApplication::translate("TableExport", "导出已取消，未保存文件。"), style, QMessageBox::Ok);
    return true;
}

void exportFailed(const QString &path, const QString &why, ExportBoxStyle style)
{
    notice(QMessageBox::Warning, QCoreApplication::translate("TableExport", "错误"),
           QCoreApplication::translate("TableExport", "文件导出失败：\n%1\n%2")
               .arg(QDir::toNativeSeparators(path), why),
           style, QMessageBox::Apply);
}

} // namespace

QVector<int> tableColumnWidths(const QTableView *view)
{
    QVector<int> widths;
    const QAbstractItemModel *model = view ? view->model() : nullptr;
    if (!model)
        return widths;
    for (int c = 0; c < model->columnCount(); ++c)
        widths.append(view->columnWidth(c));
    return widths;
}

void exportTableToText(const QAbstractItemModel *model, QWidget *parent, ExportBoxStyle style)
{
    if (!model)
        return;
    const QString path =
        exportFileName(askSaveFile(parent, QCoreApplication::translate("TableExport", "文本文档(*.txt)")),
                       QStringLiteral("txt"));
    if (path.isEmpty())
        return;

    const TextWriteResult result = writeTableText(*model, path);
    exportFinished();
    if (result != TextWriteResult::Written && toldCancelled(style))
        return;
    switch (result) {
    case TextWriteResult::OpenFailed:
        QMessageBox::warning(parent, QCoreApplication::translate("TableExport", "Read File"),
                             QCoreApplication::translate("TableExport", "Cannot open file:\n%1").arg(path),
                             QMessageBox::Ok);
        return;
    case TextWriteResult::WriteFailed:
        notice(QMessageBox::Warning, QCoreApplication::translate("TableExport", "提示"),
               QCoreApplication::translate("TableExport", "文本文档保存失败！\n%1")
                   .arg(QDir::toNativeSeparators(path)),
               style, QMessageBox::Apply);
        return;
    case TextWriteResult::Written:
        notice(QMessageBox::Warning, QCoreApplication::translate("TableExport", "提示"),
               QCoreApplication::translate("TableExport", "文本文档保存成功！"), style, QMessageBox::Apply);
        return;
    }
}

void exportTableToCsv(const QAbstractItemModel *model, QWidget *parent, ExportBoxStyle style)
{
    if (!model)
        return;
    const QString path =
        exportFileName(askSaveFile(parent, QCoreApplication::translate("TableExport", "CSV 文件(*.csv)")),
                       QStringLiteral("csv"));
    if (path.isEmpty())
        return;
    const TextWriteResult result = writeReadingsCsv(*model, path);
    exportFinished();
    if (result != TextWriteResult::Written && toldCancelled(style))
        return;
    switch (result) {
    case TextWriteResult::Written:
        notice(QMessageBox::Information, QCoreApplication::translate("TableExport", "提示"),
               QCoreApplication::translate("TableExport", "CSV 文件保存成功！"), style, QMessageBox::Ok);
        return;
    case TextWriteResult::OpenFailed:
        exportFailed(path, QCoreApplication::translate("TableExport", "无法创建文件"), style);
        return;
    case TextWriteResult::WriteFailed:
        exportFailed(path, QCoreApplication::translate("TableExport", "写入失败"), style);
        return;
    }
}

QAction *addCsvExportAction(QAction *besides, const QAbstractItemModel *model, QWidget *window)
{
    auto *action = new QAction(QCoreApplication::translate("TableExport", "导出CSV"), window);
    action->setEnabled(besides->isEnabled());
    QObject::connect(besides, &QAction::changed, action,
                     [action, besides] { action->setEnabled(besides->isEnabled()); });
    QObject::connect(action, &QAction::triggered, window,
                     [model, window] { exportTableToCsv(model, window, ExportBoxStyle::MainWindow); });
    for (QWidget *holder : besides->associatedWidgets()) {
        const QList<QAction *> actions = holder->actions();
        const int at = actions.indexOf(besides);
        holder->insertAction(actions.value(at + 1), action);
    }
    return action;
}

void exportTableToExcel(const QAbstractItemModel *model, const QString &title,
                        const QVector<int> &columnWidths, QWidget *parent, ExportBoxStyle style)
{
    if (!model)
        return;
    const QString chosen =
        askSaveFile(parent, QCoreApplication::translate("TableExport", "Excel 文件(*.xls *.xlsx)"),
                    QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    if (chosen.isEmpty())
        return;

    const QString path = workbookFileName(chosen);
    QString why;
    const bool written = writeTableWorkbook(*model, title, columnWidths, path, &why);
    exportFinished();
    if (!written) {
        if (!toldCancelled(style))
            exportFailed(path, why, style);
        return;
    }
    // Without a program for workbooks the desktop opens nothing and says
    // nothing: the user is told where the file is instead.
    if (askOpen(style) && !QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        notice(QMessageBox::Warning, QCoreApplication::translate("TableExport", "提示"),
               QCoreApplication::translate("TableExport", "没有可打开此文件的程序，文件已保存在：\n%1")
                   .arg(QDir::toNativeSeparators(path)),
               style, QMessageBox::Ok);
}

bool printTable(const QAbstractItemModel *model, const QString &title, const QVector<int> &columnWidths,
                QWidget *parent, ExportBoxStyle style)
{
    if (!model)
        return false;
    const QString path = printWorkingFile();
    QString why;
    if (!writeTableWorkbook(*model, title, columnWidths, path, &why)) {
        exportFinished();
        // The working file would no longer match what was printed.
        if (!toldCancelled(style))
            exportFailed(path, why, style);
        return false;
    }
    const bool printed = printTableModel(*model, title, columnWidths, QFileInfo(path).fileName(), parent);
    exportFinished();
    if (!printed) {
        toldCancelled(style);
        return false;
    }
    notice(QMessageBox::Question, QCoreApplication::translate("TableExport", "完成"),
           QCoreApplication::translate("TableExport", "文件打印成功！"), style, QMessageBox::Yes);
    return true;
}
