#include "dbsettings.h"

#include "core/store/passwordstore.h"
#include "core/store/recordschema.h"

#include <QFile>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QTextCodec>

#include <atomic>

namespace {
const char *const kGroup = "database";
} // namespace

DbSettings DbSettings::fromEnvironment()
{
    return withEnvironment(DbSettings());
}

QString DbSettings::variableOf(Field field)
{
    switch (field) {
    case Field::Host:
        return QStringLiteral("TK52K_DB_HOST");
    case Field::Port:
        return QStringLiteral("TK52K_DB_PORT");
    case Field::Database:
        return QStringLiteral("TK52K_DB_NAME");
    case Field::User:
        return QStringLiteral("TK52K_DB_USER");
    case Field::Password:
        return QStringLiteral("TK52K_DB_PASSWORD");
    case Field::Source:
        break;
    }
    return QStringLiteral("TK52K_SOURCE");
}

bool DbSettings::setByEnvironment(Field field)
{
    const QByteArray name = variableOf(field).toLatin1();
    return field == Field::Source ? !qgetenv(name.constData()).isEmpty()
                                  : qEnvironmentVariableIsSet(name.constData());
}

DbSettings DbSettings::withEnvironment(const DbSettings &base)
{
    DbSettings s = base;
    s.problem.clear();
    s.sourceProblem.clear();
    const auto text = [](const char *name, QString &field) {
        if (qEnvironmentVariableIsSet(name))
            field = qEnvironmentVariable(name);
    };
    text("TK52K_DB_HOST", s.host);
    QStringList problems;
    if (qEnvironmentVariableIsSet("TK52K_DB_NAME")) {
        const QString name = qEnvironmentVariable("TK52K_DB_NAME");
        if (RecordSchema::quotedIdentifier(name).isEmpty())
            problems << QStringLiteral("TK52K_DB_NAME \"%1\" is not a usable database name").arg(name);
        else
            s.databaseName = name;
    }
    text("TK52K_DB_USER", s.userName);
    // The name goes to the server as it is given, whatever the locale; an
    // empty one means the default, as an unset one does.
    if (s.source.isEmpty())
        s.source = QSysInfo::machineHostName();
    const QByteArray source = qgetenv("TK52K_SOURCE");
    if (!source.isEmpty()) {
        QString name;
        s.sourceProblem = meterNameProblem(QStringLiteral("TK52K_SOURCE"), source, &name);
        if (s.sourceProblem.isEmpty())
            s.source = name;
    }
    // A service is given its password as a credential (systemd's
    // LoadCredential=db-password:FILE), a file its user alone reads, unlike
    // its environment. The variable, where a site's settings still set it,
    // goes first.
    const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
    QFile credential(credentials + QStringLiteral("/db-password"));
    if (!credentials.isEmpty() && credential.open(QIODevice::ReadOnly)) {
        QByteArray password = credential.readAll();
        if (password.endsWith('\n'))
            password.chop(password.endsWith("\r\n") ? 2 : 1);
        s.password = QString::fromUtf8(password);
    }
    text("TK52K_DB_PASSWORD", s.password);
    if (qEnvironmentVariableIsSet("TK52K_DB_PORT")) {
        const QString portText = qEnvironmentVariable("TK52K_DB_PORT");
        bool ok = false;
        const int port = portText.trimmed().toInt(&ok);
        if (ok && port > 0 && port < 65536)
            s.port = port;
        else
            problems << QStringLiteral("TK52K_DB_PORT \"%1\" is not a port number").arg(portText);
    }
    s.problem = problems.join(QLatin1String("; "));
    return s;
}

QString DbSettings::writeProblem() const
{
    if (problem.isEmpty() || sourceProblem.isEmpty())
        return problem + sourceProblem;
    return problem + QStringLiteral("; ") + sourceProblem;
}

namespace {
bool isControl(QChar c)
{
    const QChar::Category category = c.category();
    return category == QChar::Other_Control || category == QChar::Separator_Line ||
           category == QChar::Separator_Paragraph;
}
} // namespace

QString DbSettings::defaultMeterName(const QString &host, const QString &port)
{
    const QString dev = QStringLiteral("/dev/");
    QString name = host + QLatin1Char(':') + (port.startsWith(dev) ? port.mid(dev.size()) : port);
    for (QChar &c : name) {
        if (isControl(c))
            c = QLatin1Char('?');
    }
    return name;
}

QString DbSettings::meterNameProblem(const QString &what, const QByteArray &bytes, QString *name)
{
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QString text = QTextCodec::codecForMib(106)->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0) {
        // Shown byte by byte, the foreign ones in hexadecimal.
        QString shown;
        for (const char c : bytes)
            shown += c >= 0x20 && c < 0x7f ? QString(QLatin1Char(c))
                                           : QStringLiteral("\\x%1").arg(quint8(c), 2, 16, QLatin1Char('0'));
        return QStringLiteral("%1 \"%2\" is not UTF-8 text").arg(what, shown);
    }
    bool control = false;
    QString shown;
    for (const QChar c : text) {
        if (!isControl(c)) {
            shown += c;
            continue;
        }
        control = true;
        shown += c == QLatin1Char('\n')   ? QStringLiteral("\\n")
                 : c == QLatin1Char('\t') ? QStringLiteral("\\t")
                                          : QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    if (control)
        return QStringLiteral("%1 \"%2\" holds a control character; a meter's name is one line of text")
            .arg(what, shown);
    *name = text;
    return QString();
}

QSqlDatabase DbSettings::addConnection(const QString &connectionName) const
{
    QSqlDatabase db = QSqlDatabase::contains(connectionName) ? QSqlDatabase::database(connectionName, false)
                                                             : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    db.setHostName(host);
    db.setPort(port);
    db.setDatabaseName(databaseName);
    db.setUserName(userName);
    db.setPassword(password);
    // Without a timeout an unreachable host blocks open() for minutes. What
    // the server says besides its results (NOTICEs such as "relation ...
    // already exists, skipping" after a CREATE ... IF NOT EXISTS, the WARNING
    // of a server shutting down) would reach stderr through libpq's own
    // printer, unmarked and in the middle of the program's lines; errors come
    // back through the API anyway, with the reasons that are shown.
    db.setConnectOptions(QStringLiteral("connect_timeout=2;options='-c client_min_messages=error'"));
    return db;
}

DbSettings DbSettings::fromSaved(const QSettings &settings, PasswordStore *passwords,
                                 QString *passwordProblem)
{
    return withEnvironment(userSettings(settings, passwords, passwordProblem));
}

DbSettings DbSettings::userSettings(const QSettings &settings, PasswordStore *passwords,
                                    QString *passwordProblem)
{
    DbSettings s;
    const QString group = QLatin1String(kGroup) + QLatin1Char('/');
    const auto text = [&](const char *key, QString &field) {
        const QVariant v = settings.value(group + QLatin1String(key));
        if (v.isValid())
            field = v.toString();
    };
    text("host", s.host);
    text("name", s.databaseName);
    text("user", s.userName);
    text("source", s.source);
    bool ok = false;
    const int port = settings.value(group + QLatin1String("port")).toInt(&ok);
    if (ok && port > 0 && port < 65536)
        s.port = port;
    // A name saved by hand that is no database name keeps the default, as a
    // variable's would.
    if (RecordSchema::quotedIdentifier(s.databaseName).isEmpty())
        s.databaseName = DbSettings().databaseName;
    // The password of the login saved; the variables may name another login,
    // whose password then comes from them or is the default.
    if (passwords && !setByEnvironment(Field::Password)) {
        const DbSettings login = withEnvironment(s);
        QString password;
        QString why;
        if (!passwords->read(login.passwordKey(), &password, &why)) {
            if (passwordProblem)
                *passwordProblem = why;
        } else if (!password.isEmpty()) {
            s.password = password;
        }
    }
    return s;
}

void DbSettings::save(QSettings &settings) const
{
    settings.beginGroup(QLatin1String(kGroup));
    settings.setValue(QStringLiteral("host"), host);
    settings.setValue(QStringLiteral("port"), port);
    settings.setValue(QStringLiteral("name"), databaseName);
    settings.setValue(QStringLiteral("user"), userName);
    settings.setValue(QStringLiteral("source"), source);
    settings.endGroup();
}

QString DbSettings::passwordKey() const
{
    return QStringLiteral("%1@%2:%3/%4").arg(userName, host).arg(port).arg(databaseName);
}

bool DbSettings::testConnection(QString *answer) const
{
    static std::atomic<int> counter{0};
    const QString name = QStringLiteral("tk52k-test-%1").arg(++counter);
    bool ok = false;
    {
        QSqlDatabase db = addConnection(name);
        if (db.open()) {
            QSqlQuery q(db);
            ok = q.exec(QStringLiteral("SELECT version()")) && q.next();
            *answer = ok ? q.value(0).toString() : q.lastError().text().trimmed();
        } else {
            const QSqlError error = db.lastError();
            *answer = error.databaseText().trimmed().isEmpty() ? error.text().trimmed()
                                                               : error.databaseText().trimmed();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}
