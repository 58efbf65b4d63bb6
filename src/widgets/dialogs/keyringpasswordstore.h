#pragma once

#include "core/store/passwordstore.h"

#include <memory>

/// The desktop's keyring (the Secret Service or KWallet, through Qt
/// Keychain) where one runs; else the file only the user can read
/// (PasswordFile). Which of the two is found once, at the first use. On
/// Windows, the user's Credential Manager.
class KeyringPasswordStore : public PasswordStore
{
public:
    /// Falls back to a PasswordFile at `filePath` (empty: its default place).
    explicit KeyringPasswordStore(const QString &filePath = QString());
    ~KeyringPasswordStore() override;

    bool read(const QString &key, QString *password, QString *error) override;
    bool write(const QString &key, const QString &password, QString *error) override;
    /// "the desktop's keyring" or the file's path.
    QString where() const override;

    /// Whether a keyring answers (asks it once).
    bool keyringRuns();

private:
    std::unique_ptr<PasswordFile> m_file;
    int m_keyring = -1; // -1 not asked yet, 0 none, 1 one answers
};
