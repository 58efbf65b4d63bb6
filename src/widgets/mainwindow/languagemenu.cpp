#include "languagemenu.h"

#include "core/app/uilanguage.h"

#include <QActionGroup>
#include <QCoreApplication>
#include <QMenu>
#include <QMessageBox>

void addLanguageMenu(QMenu *settingsMenu, QWidget *owner)
{
    settingsMenu->addSeparator();
    QMenu *menu = settingsMenu->addMenu(QCoreApplication::translate("LanguageMenu", "语言(&L)"));
    menu->setObjectName(QStringLiteral("menuLanguage"));
    auto *group = new QActionGroup(menu);
    const UiLanguage current = rememberedLanguage();
    // Each language is named in itself, so a user who cannot read the
    // current one still finds their own.
    const struct
    {
        UiLanguage language;
        const char *name;
        const char *objectName;
    } entries[] = {{UiLanguage::Chinese, "中文", "actionLanguageChinese"},
                   {UiLanguage::English, "English", "actionLanguageEnglish"}};
    for (const auto &entry : entries) {
        QAction *action = menu->addAction(QString::fromUtf8(entry.name));
        action->setObjectName(QLatin1String(entry.objectName));
        action->setCheckable(true);
        action->setChecked(entry.language == current);
        group->addAction(action);
        const UiLanguage language = entry.language;
        QObject::connect(action, &QAction::triggered, owner, [owner, language] {
            if (language == rememberedLanguage())
                return;
            rememberLanguage(language);
            QMessageBox::information(
                owner, QCoreApplication::translate("LanguageMenu", "语言"),
                QCoreApplication::translate("LanguageMenu", "界面语言将在下次启动时更改。"));
        });
    }
}
