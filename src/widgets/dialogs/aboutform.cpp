#include "aboutform.h"

AboutForm::AboutForm(QWidget *parent) : QWidget(parent)
{
    ui.setupUi(this);
    connect(ui.pushButton, &QPushButton::clicked, this, &AboutForm::EnterBtnPro);
}

AboutForm::~AboutForm() = default;

void AboutForm::EnterBtnPro()
{
    close();
}
