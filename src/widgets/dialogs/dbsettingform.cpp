#include "dbsettingform.h"

#include "core/store/database.h"
#include "core/store/passwordstore.h"
#include "core/store/recordschema.h"
#include "core/store/storestate.h"

#include "ui_dbsettingform.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QThread>

#include <cstdio>

using Field = DbSettings::Field;

DbSettingForm::DbSettingForm(const DbSettings &saved, QWidget *parent)
    : QDialog(parent), ui(new Ui::DbSettingForm), m_saved(saved)
{
    ui->setupUi(this);
    const DbSettings shown = DbSettings::withEnvironment(saved);
    ui->hostLineEdit->setText(shown.host);
    ui->portSpinBox->setValue(shown.port);
    ui->databaseLineEdit->setText(shown.databaseName);
    ui->userLineEdit->setText(shown.userName);
    ui->passwordLineEdit->setText(shown.password);
    // The host name is the meter's name while none is given.
    ui->sourceLineEdit->setText(saved.source);
    ui->sourceLineEdit->setPlaceholderText(DbSettings::withEnvironment(DbSettings()).source);
    if (DbSettings::setByEnvironment(Field::Source))
        ui->sourceLineEdit->setText(shown.source);

    const QList<QPair<Field, QWidget *>> fields{
        {Field::Host, ui->hostLineEdit},         {Field::Port, ui->portSpinBox},
        {Field::Database, ui->databaseLineEdit}, {Field::User, ui->userLineEdit},
        {Field::Password, ui->passwordLineEdit}, {Field::Source, ui->sourceLineEdit}};
    QStringList variables;
    for (const auto &f : fields) {
        if (!DbSettings::setByEnvironment(f.first))
            continue;
        const QString variable = DbSettings::variableOf(f.first);
        variables << variable;
        f.second->setEnabled(false);
        f.second->setToolTip(tr("由环境变量 %1 设定").arg(variable));
    }
    ui->environmentLabel->setVisible(!variables.isEmpty());
    ui->environmentLabel->setText(tr("环境变量 %1 已设定：其值优先于这里的设置，相应的项不能在此更改。")
                                      .arg(variables.join(QStringLiteral("、"))));
    const QString problem = shown.problem.isEmpty() ? shown.sourceProblem : shown.problem;
    if (!problem.isEmpty())
        ui->environmentLabel->setText(ui->environmentLabel->text() + QLatin1Char('\n') +
                                      tr("设置无效：%1").arg(problem));
    ui->passwordPlaceLabel->hide();

    connect(ui->testPushButton, &QPushButton::clicked, this, &DbSettingForm::testConnection);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &DbSettingForm::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &DbSettingForm::reject);
}

DbSettingForm::~DbSettingForm()
{
    delete ui;
}

DbSettings DbSettingForm::settings() const
{
    DbSettings s = m_saved;
    const auto take = [](Field f) { return !DbSettings::setByEnvironment(f); };
    if (take(Field::Host))
        s.host = ui->hostLineEdit->text().trimmed();
    if (take(Field::Port))
        s.port = ui->portSpinBox->value();
    if (take(Field::Database))
        s.databaseName = ui->databaseLineEdit->text().trimmed();
    if (take(Field::User))
        s.userName = ui->userLineEdit->text().trimmed();
    if (take(Field::Password))
        s.password = ui->passwordLineEdit->text();
    if (take(Field::Source))
        s.source = ui->sourceLineEdit->text().trimmed();
    return s;
}

void DbSettingForm::setPasswordPlace(const QString &where)
{
    ui->passwordPlaceLabel->setText(tr("密码保存在：%1").arg(where));
    ui->passwordPlaceLabel->setVisible(!where.isEmpty() && !DbSettings::setByEnvironment(Field::Password));
}

QString DbSettingForm::testAnswer() const
{
    return m_answer;
}

void DbSettingForm::testConnection()
{
    const DbSettings s = DbSettings::withEnvironment(settings());
    if (!s.problem.isEmpty()) {
        m_answer = tr("设置无效：%1").arg(s.problem);
        ui->testResultLabel->setText(m_answer);
        emit tested(false);
        return;
    }
    ui->testPushButton->setEnabled(false);
    ui->testResultLabel->setText(tr("正在连接 %1:%2 …").arg(s.host).arg(s.port));
    // Up to the connect timeout away from the window's thread; the answer
    // comes back only while the dialog is there.
    QPointer<DbSettingForm> self(this);
    auto result = std::make_shared<std::pair<bool, QString>>();
    QThread *thread = QThread::create([s, result] { result->first = s.testConnection(&result->second); });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QThread::finished, this, [this, result] {
        ui->testPushButton->setEnabled(true);
        const QString reason = StoreStatus::shortReason(result->second);
        m_answer = result->first ? tr("连接成功。服务器：%1").arg(result->second)
                   : reason == result->second.trimmed()
                       ? tr("连接失败：%1").arg(result->second)
                       : tr("连接失败：%1\n服务器：%2").arg(reason, result->second);
        ui->testResultLabel->setText(m_answer);
        emit tested(result->first);
    });
    thread->start();
}

void DbSettingForm::accept()
{
    if (!DbSettings::setByEnvironment(Field::Source)) {
        QString name;
        const QString problem = DbSettings::meterNameProblem(
            tr("仪表名称"), ui->sourceLineEdit->text().trimmed().toUtf8(), &name);
        if (!problem.isEmpty()) {
            QMessageBox::warning(this, windowTitle(), problem);
            return;
        }
    }
    if (ui->hostLineEdit->isEnabled() && ui->hostLineEdit->text().trimmed().isEmpty()) {
        QMessageBox::warning(this, windowTitle(), tr("请填写服务器。"));
        return;
    }
    const QString name = ui->databaseLineEdit->text().trimmed();
    if (ui->databaseLineEdit->isEnabled() &&
        (name.isEmpty() || RecordSchema::quotedIdentifier(name).isEmpty())) {
        QMessageBox::warning(this, windowTitle(), tr("“%1”不能用作数据库名称。").arg(name));
        return;
    }
    QDialog::accept();
}

DbSettings savedDbSettings(PasswordStore *passwords)
{
    QString problem;
    const DbSettings s = DbSettings::fromSaved(QSettings(), passwords, &problem);
    if (!problem.isEmpty())
        std::fprintf(stderr, "tk52k: the database password cannot be read: %s\n", qPrintable(problem));
    return s;
}

bool applyDbSettings(const DbSettings &entered, PasswordStore *passwords, database *store, QString *error)
{
    QSettings settings;
    entered.save(settings);
    bool kept = true;
    if (!DbSettings::setByEnvironment(Field::Password))
        kept = passwords->write(DbSettings::withEnvironment(entered).passwordKey(), entered.password, error);
    if (store) {
        store->setSettings(DbSettings::withEnvironment(entered));
        // A store that could not start on the old settings starts now.
        store->openDatabase();
    }
    return kept;
}

QAction *addDbSettingAction(QMenu *menu, QAction *after, QWidget *window, database *store,
                            PasswordStore *passwords, const std::function<void()> &applied)
{
    auto *action = new QAction(QCoreApplication::translate("DbSettingForm", "数据库设置(&D)"), menu);
    action->setObjectName(QStringLiteral("actionSettingDatabase"));
    const QList<QAction *> actions = menu->actions();
    const int at = after ? actions.indexOf(after) : -1;
    menu->insertAction(at >= 0 ? actions.value(at + 1) : nullptr, action);
    QObject::connect(action, &QAction::triggered, window, [window, store, passwords, applied] {
        QString problem;
        auto *form = new DbSettingForm(DbSettings::userSettings(QSettings(), passwords, &problem), window);
        form->setAttribute(Qt::WA_DeleteOnClose);
        form->setPasswordPlace(problem.isEmpty()
                                   ? passwords->where()
                                   : QCoreApplication::translate("DbSettingForm", "%1（无法读取：%2）")
                                         .arg(passwords->where(), problem));
        QObject::connect(form, &QDialog::accepted, window, [form, window, store, passwords, applied] {
            QString error;
            if (!applyDbSettings(form->settings(), passwords, store, &error))
                QMessageBox::warning(
                    window, form->windowTitle(),
                    QCoreApplication::translate("DbSettingForm", "密码未能保存：%1").arg(error));
            if (applied)
                applied();
        });
        form->open();
    });
    return action;
}
