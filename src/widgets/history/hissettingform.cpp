#include "hissettingform.h"

#include "core/store/historyreads.h"
#include "widgets/dialogs/tooldialog.h"

HisSettingForm::HisSettingForm(QWidget *parent)
    : QWidget(parent)
{
    ui.setupUi(this);

    const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    ui.startDateTimeEdit->setDisplayFormat(format);
    ui.StopDateTimeEdit->setDisplayFormat(format);
    // The ends name stored wall-clock times: the edits take any of them, also
    // one the local zone skips or repeats at a clock change.
    ui.startDateTimeEdit->setTimeSpec(Qt::UTC);
    ui.StopDateTimeEdit->setTimeSpec(Qt::UTC);
    const QDateTime now = QDateTime::currentDateTime();
    // Most questions are about the last while: start an hour back.
    ui.startDateTimeEdit->setDateTime(HistoryReads::wallClockFields(now.addSecs(-3600)));
    ui.StopDateTimeEdit->setDateTime(HistoryReads::wallClockFields(now));

    connect(ui.pushButton, SIGNAL(clicked()), this, SLOT(doBtnEnterSlot()));
    connect(ui.pushButton_2, SIGNAL(clicked()), this, SLOT(doBtnCancelSlot()));
    setDialogKeys(this, ui.pushButton, ui.pushButton_2);
}

HisSettingForm::~HisSettingForm() = default;

void HisSettingForm::doBtnEnterSlot()
{
    // A time typed in is taken whole, or refused before anything is asked.
    if (!ui.startDateTimeEdit->finish() || !ui.StopDateTimeEdit->finish())
        return;
    // Local times as ever, but for one the zone skips, which keeps its fields.
    m_startTime = HistoryReads::timeOfNaiveMs(HistoryReads::naiveMs(ui.startDateTimeEdit->dateTime()));
    m_stopTime = HistoryReads::timeOfNaiveMs(HistoryReads::naiveMs(ui.StopDateTimeEdit->dateTime()));
    emit signalsBtnEnter(m_startTime, m_stopTime);
}

void HisSettingForm::doBtnCancelSlot()
{
    close();
}
