#include "keyringpasswordstore.h"

#include <QCoreApplication>

#include <qt_windows.h>
#include <wincred.h>

// Windows keeps the passwords in its Credential Manager, under the user's
// logon: one generic credential per key.

namespace {

QString targetOf(const QString &key)
{
    return QStringLiteral("tk52k-database/") + key;
}

const wchar_t *wide(const QString &text)
{
    return reinterpret_cast<const wchar_t *>(text.utf16());
}

QString lastError()
{
    return qt_error_string(int(GetLastError()));
}

} // namespace

KeyringPasswordStore::KeyringPasswordStore(const QString &filePath)
    : m_file(new PasswordFile(filePath.isEmpty() ? PasswordFile::defaultPath() : filePath))
{}

KeyringPasswordStore::~KeyringPasswordStore() = default;

bool KeyringPasswordStore::keyringRuns()
{
    // Every logon has its Credential Manager.
    m_keyring = 1;
    return true;
}

bool KeyringPasswordStore::read(const QString &key, QString *password, QString *error)
{
    password->clear();
    keyringRuns();
    const QString target = targetOf(key);
    PCREDENTIALW credential = nullptr;
    if (!CredReadW(wide(target), CRED_TYPE_GENERIC, 0, &credential)) {
        if (GetLastError() == ERROR_NOT_FOUND)
            return true;
        *error = lastError();
        return false;
    }
    *password = QString::fromUtf8(reinterpret_cast<const char *>(credential->CredentialBlob),
                                  int(credential->CredentialBlobSize));
    CredFree(credential);
    return true;
}

bool KeyringPasswordStore::write(const QString &key, const QString &password, QString *error)
{
    keyringRuns();
    const QString target = targetOf(key);
    if (password.isEmpty()) {
        if (!CredDeleteW(wide(target), CRED_TYPE_GENERIC, 0) && GetLastError() != ERROR_NOT_FOUND) {
            *error = lastError();
            return false;
        }
        return true;
    }
    QByteArray blob = password.toUtf8();
    QString user = key;
    CREDENTIALW credential = {};
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = const_cast<wchar_t *>(wide(target));
    credential.UserName = const_cast<wchar_t *>(wide(user));
    credential.CredentialBlob = reinterpret_cast<LPBYTE>(blob.data());
    credential.CredentialBlobSize = DWORD(blob.size());
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    if (!CredWriteW(&credential, 0)) {
        *error = lastError();
        return false;
    }
    return true;
}

QString KeyringPasswordStore::where() const
{
    return QCoreApplication::translate("KeyringPasswordStore", "桌面密钥环");
}
