#pragma once

#include "ui_hissettingform.h"

#include <QDateTime>
#include <QWidget>

/// The small dialog in which the user picks the start and the stop of a
/// history query. OK hands the pair on; the dialog does not close itself.
class HisSettingForm : public QWidget
{
    Q_OBJECT

public:
    explicit HisSettingForm(QWidget *parent = nullptr);
    ~HisSettingForm() override;

    /// The pair most recently handed on by OK (invalid before the first OK).
    QDateTime startTime() const { return m_startTime; }
    QDateTime stopTime() const { return m_stopTime; }

signals:
    void signalsBtnEnter(QDateTime, QDateTime);

public slots:
    void doBtnEnterSlot();
    void doBtnCancelSlot();

private:
    Ui::HisSettingForm ui;
    QDateTime m_startTime;
    QDateTime m_stopTime;
};
