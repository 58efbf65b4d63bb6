#pragma once

#include <QString>

/// Where a user's database passwords are kept, by a name of the login
/// (DbSettings::passwordKey()). The desktop keeps them in the desktop's
/// keyring where one runs, else in a PasswordFile.
class PasswordStore
{
public:
    virtual ~PasswordStore() = default;

    /// The password kept under `key`. True with `password` set, or empty
    /// when none is kept; false with `error` set when the store could not be
    /// read.
    virtual bool read(const QString &key, QString *password, QString *error) = 0;
    /// Keeps `password` under `key` (an empty one removes it). False with
    /// `error` set when it could not be kept.
    virtual bool write(const QString &key, const QString &password, QString *error) = 0;
    /// Where the passwords are kept, for the user: "the keyring", a file's path.
    virtual QString where() const = 0;
};

/// Passwords in one file that only its owner may read or write (mode 0600),
/// as a JSON object of key and password. The file is written anew each time
/// (a temporary file made with that mode, then renamed), so it never exists
/// with wider rights nor half written; a file found with wider rights is
/// narrowed before it is read.
class PasswordFile : public PasswordStore
{
public:
    /// The file `path`; its folder is made (mode 0700) when missing.
    explicit PasswordFile(const QString &path);

    /// "db-passwords.json" beside the user's settings (in the user's
    /// configuration folder).
    static QString defaultPath();

    bool read(const QString &key, QString *password, QString *error) override;
    bool write(const QString &key, const QString &password, QString *error) override;
    QString where() const override { return m_path; }

private:
    QString m_path;
};
