#include "keyringpasswordstore.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <qt5keychain/keychain.h>

namespace {

const QString kService = QStringLiteral("tk52k-database");

// Runs a keychain job to its end; the jobs answer through the event loop.
void runJob(QKeychain::Job &job)
{
    job.setAutoDelete(false);
    // Never the library's plain-text fallback: where no keyring runs, the
    // passwords go to our own private file.
    job.setInsecureFallback(false);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

} // namespace

KeyringPasswordStore::KeyringPasswordStore(const QString &filePath)
    : m_file(new PasswordFile(filePath.isEmpty() ? PasswordFile::defaultPath() : filePath))
{}

KeyringPasswordStore::~KeyringPasswordStore() = default;

bool KeyringPasswordStore::keyringRuns()
{
    if (m_keyring < 0) {
        // A key nobody writes: a keyring that runs says it is not there.
        QKeychain::ReadPasswordJob probe(kService);
        probe.setKey(QStringLiteral("probe"));
        runJob(probe);
        m_keyring = probe.error() == QKeychain::NoError || probe.error() == QKeychain::EntryNotFound ? 1 : 0;
    }
    return m_keyring == 1;
}

bool KeyringPasswordStore::read(const QString &key, QString *password, QString *error)
{
    password->clear();
    if (!keyringRuns())
        return m_file->read(key, password, error);
    QKeychain::ReadPasswordJob job(kService);
    job.setKey(key);
    runJob(job);
    if (job.error() == QKeychain::NoError)
        *password = job.textData();
    else if (job.error() != QKeychain::EntryNotFound) {
        *error = job.errorString();
        return false;
    }
    return true;
}

bool KeyringPasswordStore::write(const QString &key, const QString &password, QString *error)
{
    if (!keyringRuns())
        return m_file->write(key, password, error);
    if (password.isEmpty()) {
        QKeychain::DeletePasswordJob job(kService);
        job.setKey(key);
        runJob(job);
        if (job.error() != QKeychain::NoError && job.error() != QKeychain::EntryNotFound) {
            *error = job.errorString();
            return false;
        }
        return true;
    }
    QKeychain::WritePasswordJob job(kService);
    job.setKey(key);
    job.setTextData(password);
    runJob(job);
    if (job.error() != QKeychain::NoError) {
        *error = job.errorString();
        return false;
    }
    return true;
}

QString KeyringPasswordStore::where() const
{
    return m_keyring == 1 ? QCoreApplication::translate("KeyringPasswordStore", "桌面密钥环")
                          : m_file->where();
}
