#pragma once

#include <QWidget>

namespace Ui {
class TimeSettingForm;
}

/// The sampling-interval dialog: automatic sampling (every frame) or a fixed
/// interval of whole seconds. OK reports the choice through signalsBtnEnter;
/// the receiver closes the dialog.
class TimeSettingForm : public QWidget
{
    Q_OBJECT

public:
    /// Shows `autoflag` and, in fixed mode, `interval`.
    TimeSettingForm(bool autoflag, uint interval, QWidget *parent = nullptr);
    ~TimeSettingForm() override;

    static constexpr uint kMinInterval = 1;
    static constexpr uint kMaxInterval = 3600;

signals:
    void signalsBtnEnter(bool autoflag, uint interval);

public slots:
    void doBtnEnterSlot();
    void doBtnCancelSlot();
    void doCheckBoxSlot();

private:
    Ui::TimeSettingForm *ui;
    bool m_autoflag;
    uint m_interval;
};
