#pragma once

#include "core/store/dbsettings.h"

#include <QDialog>

#include <functional>

namespace Ui {
class DbSettingForm;
}
class PasswordStore;
class QAction;
class QMenu;
class database;

/// 设置 → 数据库设置: the server, login and meter name a user keeps for the
/// desktop program, with a button that tries them and shows what the server
/// answers. Fields a TK52K_DB_* variable or TK52K_SOURCE sets are shown
/// with that value, cannot be changed, and the dialog says why.
class DbSettingForm : public QDialog
{
    Q_OBJECT

public:
    /// Shows `saved` (the user's own settings, DbSettings::userSettings(),
    /// password included); the fields the environment sets show the
    /// environment's values.
    explicit DbSettingForm(const DbSettings &saved, QWidget *parent = nullptr);
    ~DbSettingForm() override;

    /// The user's own settings as entered (what to keep); the fields the
    /// environment sets keep their saved values.
    DbSettings settings() const;
    /// Where the password will be kept, shown under the fields.
    void setPasswordPlace(const QString &where);

    /// What the last connection test answered; empty before one ends.
    QString testAnswer() const;

    void accept() override;

signals:
    /// A connection test ended.
    void tested(bool ok);

private:
    void testConnection();

    Ui::DbSettingForm *ui;
    DbSettings m_saved;
    QString m_answer;
};

/// The settings the desktop program starts with: those the user kept
/// (QSettings), the password from `passwords`, the environment over both.
/// A password that cannot be read is told on stderr, and the default used.
DbSettings savedDbSettings(PasswordStore *passwords);

/// Keeps `entered` (QSettings, the password in `passwords`) and gives the
/// store the settings that result, the environment over them. False with
/// `error` set when the password could not be kept; the rest is kept and
/// applied all the same.
bool applyDbSettings(const DbSettings &entered, PasswordStore *passwords, database *store, QString *error);

/// Adds 数据库设置 to `menu` after `after` (at the end when null): the dialog
/// over `window`, then applyDbSettings() on OK and `applied` after it.
QAction *addDbSettingAction(QMenu *menu, QAction *after, QWidget *window, database *store,
                            PasswordStore *passwords, const std::function<void()> &applied);
