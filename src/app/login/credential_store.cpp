#include "app/login/credential_store.h"

#include <qt6keychain/keychain.h>

#include "common/diagnostics.h"

namespace tgw::app {

namespace {

// The entry's secret: the e-mail address, a newline (no address holds one),
// the password; UTF-8.
QByteArray encode(const StoredLogin& login) {
    return login.email.toUtf8() + '\n' + login.password.toUtf8();
}

template <typename Job>
Job* makeJob() {
    auto* job = new Job(QString::fromLatin1(KeyringStore::kService));
    job->setKey(QString::fromLatin1(KeyringStore::kKey));
    job->setInsecureFallback(false);  // never a file
    job->setAutoDelete(true);
    return job;
}

}  // namespace

void wipeBytes(const QByteArray& bytes) {
    volatile char* p = const_cast<char*>(bytes.constData());
    for (qsizetype i = 0; i < bytes.size(); ++i) p[i] = 0;
}

void wipeText(QString& text) {
    volatile char16_t* p = reinterpret_cast<char16_t*>(const_cast<QChar*>(text.constData()));
    for (qsizetype i = 0; i < text.size(); ++i) p[i] = 0;
    text = QString();
}

void KeyringStore::load(Loaded done) {
    auto* job = makeJob<QKeychain::ReadPasswordJob>();
    QObject::connect(
        job, &QKeychain::Job::finished, job, [done = std::move(done)](QKeychain::Job* j) {
            auto* read = static_cast<QKeychain::ReadPasswordJob*>(j);
            if (read->error() == QKeychain::EntryNotFound) return done(Found::none, {});
            if (read->error() != QKeychain::NoError) {
                qCWarning(lcLogin).noquote()
                    << "no keyring to remember the login in:" << read->errorString();
                return done(Found::noKeyring, {});
            }
            const QByteArray secret = read->binaryData();  // shares the job's bytes
            const qsizetype cut = secret.indexOf('\n');
            StoredLogin login;
            if (cut > 0) {
                login.email = QString::fromUtf8(secret.left(cut));
                login.password =
                    QString::fromUtf8(secret.constData() + cut + 1, secret.size() - cut - 1);
            }
            wipeBytes(secret);
            if (login.email.isEmpty()) return done(Found::none, {});
            done(Found::login, std::move(login));
        });
    job->start();
}

void KeyringStore::save(const StoredLogin& login, Done done) {
    auto* job = makeJob<QKeychain::WritePasswordJob>();
    const QByteArray secret = encode(login);
    job->setBinaryData(secret);  // shares these bytes: wiped once written
    QObject::connect(job, &QKeychain::Job::finished, job,
                     [secret, done = std::move(done)](QKeychain::Job* j) {
                         wipeBytes(secret);
                         if (j->error() != QKeychain::NoError)
                             qCWarning(lcLogin).noquote()
                                 << "the login could not be remembered:" << j->errorString();
                         done(j->error() == QKeychain::NoError);
                     });
    job->start();
}

void KeyringStore::forget(Done done) {
    auto* job = makeJob<QKeychain::DeletePasswordJob>();
    QObject::connect(
        job, &QKeychain::Job::finished, job, [done = std::move(done)](QKeychain::Job* j) {
            const bool ok =
                j->error() == QKeychain::NoError || j->error() == QKeychain::EntryNotFound;
            if (!ok)
                qCWarning(lcLogin).noquote()
                    << "the remembered login could not be removed:" << j->errorString();
            done(ok);
        });
    job->start();
}

}  // namespace tgw::app
