#include "aboutform.h"

#include "widgets/dialogs/tooldialog.h"

AboutForm::AboutForm(QWidget *parent) : QWidget(parent)
{
    ui.setupUi(this);
    connect(ui.pushButton, &QPushButton::clicked, this, &AboutForm::EnterBtnPro);
    setDialogKeys(this, ui.pushButton);
}

AboutForm::~AboutForm() = default;

void AboutForm::EnterBtnPro()
{
    close();
}
