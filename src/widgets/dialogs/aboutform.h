#pragma once

#include "ui_aboutform.h"

#include <QWidget>

/// The About box: the software's name and version and a button that closes it.
class AboutForm : public QWidget
{
    Q_OBJECT

public:
    explicit AboutForm(QWidget *parent = nullptr);
    ~AboutForm() override;

public slots:
    void EnterBtnPro();

private:
    Ui::AboutForm ui;
};
