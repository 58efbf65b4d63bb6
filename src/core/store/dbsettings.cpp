#include "dbsettings.h"

#include "core/store/recordschema.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSysInfo>
#include <QTextCodec>

DbSettings DbSettings::fromEnvironment()
{
    DbSettings s;
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

QString DbSettings::meterNameProblem(const QString &what, const QByteArray &bytes, QString *name)
{
    const auto isControl = [](QChar c) {
        const QChar::Category category = c.category();
        return category == QChar::Other_Control || category == QChar::Separator_Line ||
               category == QChar::Separator_Paragraph;
    };
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
