#include "scratchdatabase.h"

#include "core/store/dbsettings.h"
#include "core/store/passwordstore.h"
#include "widgets/dialogs/dbsettingform.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

constexpr int kWait = 20000;

const char *const kVariables[] = {"TK52K_DB_HOST", "TK52K_DB_PORT",     "TK52K_DB_NAME",
                                  "TK52K_DB_USER", "TK52K_DB_PASSWORD", "TK52K_SOURCE"};

int modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Windows keeps the file private through the profile's access list; its mode bits mean nothing.
#ifdef Q_OS_WIN
#define COMPARE_MODE(path, mode) Q_UNUSED(modeOf)
#else
#define COMPARE_MODE(path, mode) QCOMPARE(modeOf(path), mode)
#endif

} // namespace

class tst_DbSetting : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QByteArrayList m_saved; // the variables as the test run found them

    void clearVariables()
    {
        for (const char *v : kVariables)
            qunsetenv(v);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        for (const char *v : kVariables)
            m_saved << (qEnvironmentVariableIsSet(v) ? qgetenv(v) : QByteArray());
    }

    void cleanup()
    {
        int i = 0;
        for (const char *v : kVariables) {
            if (m_saved.at(i++).isNull())
                qunsetenv(v);
            else
                qputenv(v, m_saved.at(i - 1));
        }
    }

    // What the desktop uses: a variable over the user's own value over the
    // default, field by field; the password kept for the login that results,
    // unless a variable gives one.
    void precedence_data()
    {
        QTest::addColumn<QStringList>("environment"); // NAME=value
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("source");
        QTest::newRow("saved only") << QStringList() << "db.example" << 5433 << "bench"
                                    << "kept-for-bench"
                                    << "desk-2";
        QTest::newRow("host and port from the environment")
            << QStringList{"TK52K_DB_HOST=10.0.0.9", "TK52K_DB_PORT=6543"} << "10.0.0.9" << 6543 << "bench"
            << ""
            << "desk-2";
        QTest::newRow("another login, its password kept too")
            << QStringList{"TK52K_DB_USER=reader"} << "db.example" << 5433 << "reader"
            << "kept-for-reader"
            << "desk-2";
        QTest::newRow("password and meter from the environment")
            << QStringList{"TK52K_DB_PASSWORD=from-env", "TK52K_SOURCE=line-3"} << "db.example" << 5433
            << "bench"
            << "from-env"
            << "line-3";
        QTest::newRow("an empty meter name is no name")
            << QStringList{"TK52K_SOURCE="} << "db.example" << 5433 << "bench"
            << "kept-for-bench"
            << "desk-2";
    }
    void precedence()
    {
        QFETCH(QStringList, environment);
        clearVariables();
        QSettings settings(m_dir.filePath(QStringLiteral("precedence.ini")), QSettings::IniFormat);
        settings.clear();
        DbSettings own;
        own.host = QStringLiteral("db.example");
        own.port = 5433;
        own.userName = QStringLiteral("bench");
        own.source = QStringLiteral("desk-2");
        own.save(settings);
        PasswordFile passwords(m_dir.filePath(QStringLiteral("precedence-passwords.json")));
        QString error;
        for (const QString &user : {QStringLiteral("bench"), QStringLiteral("reader")}) {
            DbSettings login = own;
            login.userName = user;
            QVERIFY2(passwords.write(login.passwordKey(), QStringLiteral("kept-for-") + user, &error),
                     qPrintable(error));
        }
        for (const QString &assignment : environment)
            qputenv(assignment.section('=', 0, 0).toLatin1().constData(),
                    assignment.section('=', 1).toUtf8());

        const DbSettings s = DbSettings::fromSaved(settings, &passwords);
        QFETCH(QString, host);
        QCOMPARE(s.host, host);
        QFETCH(int, port);
        QCOMPARE(s.port, port);
        QFETCH(QString, user);
        QCOMPARE(s.userName, user);
        QFETCH(QString, password);
        // Another server's login has nothing kept: the default password.
        QCOMPARE(s.password, password.isEmpty() ? DbSettings().password : password);
        QFETCH(QString, source);
        QCOMPARE(s.source, source);
        QCOMPARE(s.databaseName, DbSettings().databaseName);
    }

    // A meter nobody named is called after its port, and a port path may
    // hold anything: the journal would set such readings aside at replay.
    void defaultNameIsAlwaysStorable()
    {
        const QString name = DbSettings::defaultMeterName(QStringLiteral("vm"), QStringLiteral("/dev/x\n\t\u2028y"));
        QCOMPARE(name, QStringLiteral("vm:x???y"));
        QString kept;
        QCOMPARE(DbSettings::meterNameProblem(QStringLiteral("name"), name.toUtf8(), &kept), QString());
    }

    // Only its owner may read the password file, whatever the umask and
    // whatever rights an older copy had; the passwords of other logins stay.
    void passwordFileIsPrivate()
    {
        const QString path = m_dir.filePath(QStringLiteral("private/passwords.json"));
        PasswordFile file(path);
        const mode_t old = ::umask(0);
        QString error;
        const bool written = file.write(QStringLiteral("a@h:1/d"), QStringLiteral("secret-a"), &error);
        ::umask(old);
        QVERIFY2(written, qPrintable(error));
        COMPARE_MODE(path, 0600);
        COMPARE_MODE(QFileInfo(path).absolutePath(), 0700);

        // A copy left readable by everybody is narrowed before it is read.
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);
        QString password;
        QVERIFY2(file.read(QStringLiteral("a@h:1/d"), &password, &error), qPrintable(error));
        QCOMPARE(password, QStringLiteral("secret-a"));
        COMPARE_MODE(path, 0600);

        QVERIFY2(file.write(QStringLiteral("b@h:1/d"), QStringLiteral("secret-b"), &error),
                 qPrintable(error));
        COMPARE_MODE(path, 0600);
        QVERIFY(file.read(QStringLiteral("a@h:1/d"), &password, &error));
        QCOMPARE(password, QStringLiteral("secret-a"));
        QVERIFY(!QFile::exists(path + QStringLiteral(".tmp")));
    }

    // 测试连接 shows what the server answers: its version, or why not in
    // short with the server's own words.
    void testConnectionShowsTheAnswer_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("words");
        QTest::newRow("right") << "right-one" << 0 << true << "连接成功。服务器：PostgreSQL 15"
                               << "";
        QTest::newRow("wrong password") << "wrong-one" << 0 << false << "连接失败：密码错误\n服务器："
                                        << "password authentication failed";
    }
    void testConnectionShowsTheAnswer()
    {
        QFETCH(QString, password);
        QFETCH(int, port);
        QFETCH(bool, ok);
        QFETCH(QString, start);
        QFETCH(QString, words);
        // A second login of the shared server, with a password of its own.
        ScratchDatabase db(QStringLiteral("dbsetting"));
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        const QString role = db.name() + QStringLiteral("_login");
        QVERIFY2(db.exec(QStringLiteral("DROP ROLE IF EXISTS %1; CREATE ROLE %1 LOGIN PASSWORD 'right-one'")
                             .arg(role)),
                 qPrintable(db.error()));
        auto dropRole = qScopeGuard([&] { db.exec(QStringLiteral("DROP ROLE IF EXISTS %1").arg(role)); });
        clearVariables();

        DbSettings own = db.settings();
        own.userName = role;
        own.password = password;
        if (port)
            own.port = port;
        DbSettingForm form(own);
        form.show();
        QSignalSpy tested(&form, &DbSettingForm::tested);
        form.findChild<QPushButton *>(QStringLiteral("testPushButton"))->click();
        QVERIFY(tested.wait(kWait));
        QCOMPARE(tested.first().first().toBool(), ok);
        const QString shown = form.findChild<QLabel *>(QStringLiteral("testResultLabel"))->text();
        QCOMPARE(shown, form.testAnswer());
        QVERIFY2(shown.startsWith(start) && shown.contains(words), qPrintable(shown));
    }

    // A field a variable sets shows the variable's value and cannot be
    // changed; what is kept is the user's own value.
    void environmentFieldsAreLocked()
    {
        clearVariables();
        qputenv("TK52K_DB_HOST", "10.1.2.3");
        DbSettings own;
        own.host = QStringLiteral("db.example");
        own.userName = QStringLiteral("bench");
        DbSettingForm form(own);
        auto *host = form.findChild<QLineEdit *>(QStringLiteral("hostLineEdit"));
        auto *user = form.findChild<QLineEdit *>(QStringLiteral("userLineEdit"));
        QCOMPARE(host->text(), QStringLiteral("10.1.2.3"));
        QVERIFY(!host->isEnabled());
        QVERIFY(user->isEnabled());
        QVERIFY(
            form.findChild<QLabel *>(QStringLiteral("environmentLabel"))->text().contains("TK52K_DB_HOST"));
        user->setText(QStringLiteral("operator"));
        QCOMPARE(form.settings().host, QStringLiteral("db.example"));
        QCOMPARE(form.settings().userName, QStringLiteral("operator"));
    }
};

QTEST_MAIN(tst_DbSetting)
#include "tst_dbsetting.moc"
