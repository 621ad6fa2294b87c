#include "app/login/credential_store.h"

#include <qt6keychain/keychain.h>

#include <QUrl>

#include "common/diagnostics.h"

namespace tgw::app {

namespace {

// The entry's secret: the e-mail address, a newline (no address holds one),
// the password; UTF-8.
QByteArray encode(const StoredLogin& login) {
    return login.email.toUtf8() + '\n' + login.password.toUtf8();
}

// The e-mail address and password of an entry's secret; the bytes are wiped.
StoredLogin decode(const QByteArray& secret) {
    const qsizetype cut = secret.indexOf('\n');
    StoredLogin login;
    if (cut > 0) {
        login.email = QString::fromUtf8(secret.left(cut));
        login.password = QString::fromUtf8(secret.constData() + cut + 1, secret.size() - cut - 1);
    }
    wipeBytes(secret);
    return login;
}

template <typename Job>
Job* makeJob(const QString& key) {
    auto* job = new Job(QString::fromLatin1(KeyringStore::kService));
    job->setKey(key);
    job->setInsecureFallback(false);  // never a file
    job->setAutoDelete(true);
    return job;
}

// Removes the entry of earlier versions, quietly: there may be none.
void forgetUnbound() {
    auto* job = makeJob<QKeychain::DeletePasswordJob>(KeyringStore::kUnboundKey);
    QObject::connect(job, &QKeychain::Job::finished, job, [](QKeychain::Job* j) {
        if (j->error() == QKeychain::NoError)
            qCInfo(lcLogin) << "the remembered login without a web service address was removed";
    });
    job->start();
}

// No keyring at all: nothing was remembered, so nothing is worth a warning.
bool noKeyring(QKeychain::Error error) {
    return error == QKeychain::NoBackendAvailable || error == QKeychain::NotImplemented;
}

}  // namespace

QString originOf(const QString& webUrl) {
    const QUrl url(webUrl);
    return url.scheme() + "://" + url.host() + ":" + QString::number(url.port(443));
}

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
    auto* job = makeJob<QKeychain::ReadPasswordJob>(m_origin);
    QObject::connect(
        job, &QKeychain::Job::finished, job, [this, done = std::move(done)](QKeychain::Job* j) {
            auto* read = static_cast<QKeychain::ReadPasswordJob*>(j);
            if (read->error() == QKeychain::EntryNotFound) return loadUnbound(std::move(done));
            if (read->error() != QKeychain::NoError) {
                qCWarning(lcLogin).noquote()
                    << "no keyring to remember the login in:" << read->errorString();
                return done(Found::noKeyring, {});
            }
            StoredLogin login = decode(read->binaryData());  // shares the job's bytes
            if (login.email.isEmpty()) return done(Found::none, {});
            done(Found::login, std::move(login));
        });
    job->start();
}

void KeyringStore::loadUnbound(Loaded done) {
    auto* job = makeJob<QKeychain::ReadPasswordJob>(kUnboundKey);
    QObject::connect(
        job, &QKeychain::Job::finished, job, [done = std::move(done)](QKeychain::Job* j) {
            auto* read = static_cast<QKeychain::ReadPasswordJob*>(j);
            if (read->error() != QKeychain::NoError) return done(Found::none, {});
            StoredLogin login = decode(read->binaryData());
            wipeText(login.password);
            if (!login.email.isEmpty())
                qCInfo(lcLogin) << "a remembered login names no web service address: its "
                                   "password is not used";
            done(Found::none, std::move(login));
        });
    job->start();
}

void KeyringStore::save(const StoredLogin& login, Done done) {
    auto* job = makeJob<QKeychain::WritePasswordJob>(m_origin);
    const QByteArray secret = encode(login);
    job->setBinaryData(secret);  // shares these bytes: wiped once written
    QObject::connect(job, &QKeychain::Job::finished, job,
                     [secret, done = std::move(done)](QKeychain::Job* j) {
                         wipeBytes(secret);
                         if (j->error() != QKeychain::NoError)
                             qCWarning(lcLogin).noquote()
                                 << "the login could not be remembered:" << j->errorString();
                         else
                             forgetUnbound();
                         done(j->error() == QKeychain::NoError);
                     });
    job->start();
}

void KeyringStore::forget(Done done) {
    forgetUnbound();
    auto* job = makeJob<QKeychain::DeletePasswordJob>(m_origin);
    QObject::connect(
        job, &QKeychain::Job::finished, job, [done = std::move(done)](QKeychain::Job* j) {
            const bool ok =
                j->error() == QKeychain::NoError || j->error() == QKeychain::EntryNotFound;
            if (!ok && !noKeyring(j->error()))
                qCWarning(lcLogin).noquote()
                    << "the remembered login could not be removed:" << j->errorString();
            done(ok);
        });
    job->start();
}

}  // namespace tgw::app
