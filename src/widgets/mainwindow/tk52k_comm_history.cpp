// The main window's history commands: the range dialog and the windows it opens.
#include "tk52k_comm.h"

#include "core/store/database.h"
#include "widgets/dialogs/tooldialog.h"
#include "widgets/history/hissettingform.h"
#include "widgets/history/hisviewform.h"

#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

void TK52K_Comm::doMenuHis()
{
    auto *form = new HisSettingForm(nullptr);
    hisSettingForm = form;
    showToolDialog(form, QSize(354, 188));
    connect(form, SIGNAL(signalsBtnEnter(QDateTime, QDateTime)), this,
            SLOT(doHisSettingBtnEnter(QDateTime, QDateTime)));
}

void TK52K_Comm::doHisSettingBtnEnter(QDateTime startTime, QDateTime stopTime)
{
    historyStart = startTime;
    historyStop = stopTime;
    if (hisSettingForm)
        hisSettingForm->close();

    if (startTime.secsTo(stopTime) > 0) {
        auto *view = new HisViewForm(nullptr);
        // Each window holds its own rows; they go when it is closed.
        view->setAttribute(Qt::WA_DeleteOnClose);
        // Closing the main window ends the program, whatever history is open.
        view->setAttribute(Qt::WA_QuitOnClose, false);
        hisViewForm = view;
        view->showWithin(screen()->availableGeometry());
        view->loadRange(m_store, startTime, stopTime);
        return;
    }

    QMessageBox box(QMessageBox::Warning, tr("警告"), tr("停止时间要大于起始时间！"),
                    QMessageBox::Ok | QMessageBox::Cancel);
    box.button(QMessageBox::Ok)->setText(tr("确 定"));
    box.button(QMessageBox::Cancel)->setText(tr("取 消"));
    box.exec();
}

void TK52K_Comm::doMenuRunHistory()
{
    if (!m_runStart.isValid())
        return;
    auto *view = new HisViewForm(nullptr);
    view->setAttribute(Qt::WA_DeleteOnClose);
    view->setAttribute(Qt::WA_QuitOnClose, false);
    hisViewForm = view;
    view->chooseSource(m_store->source());
    view->showWithin(screen()->availableGeometry());
    view->loadRange(m_store, m_runStart, m_runStop.isValid() ? m_runStop : QDateTime::currentDateTime());
}
