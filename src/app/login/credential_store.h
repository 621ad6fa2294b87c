// CredentialStore: where a remembered login is kept between sessions. The
// program's store is the desktop's Secret Service keyring (KeyringStore over
// QtKeychain); nothing is ever written to a file. Without a keyring nothing is
// remembered.
//
// A password read from the store lives in one QString handed to the caller,
// who wipes it (wipeText) when the login has used it.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

namespace tgw::app {

struct StoredLogin {
    QString email;
    QString password;
};

// The web service's origin, "scheme://host:port", of `webUrl`: what a
// remembered login was made for and may be sent to.
QString originOf(const QString& webUrl);

// Overwrites the characters of `text` in place, whoever shares them, then
// empties it.
void wipeText(QString& text);
// Overwrites `bytes` in place, whoever else still refers to them (nobody may
// read them afterwards); volatile so the stores are not dropped.
void wipeBytes(const QByteArray& bytes);

class CredentialStore {
  public:
    enum class Found {
        login,      // a remembered login
        none,       // the keyring answers but holds none (the e-mail address may
                    // come from an entry that cannot be used: no password then)
        noKeyring,  // no keyring to keep one in (the reason is in the log)
    };
    using Loaded = std::function<void(Found, StoredLogin)>;
    using Done = std::function<void(bool ok)>;

    virtual ~CredentialStore() = default;
    // Each calls its completion once, later, on the event loop.
    virtual void load(Loaded done) = 0;
    virtual void save(const StoredLogin& login, Done done) = 0;
    virtual void forget(Done done) = 0;
};

// The Secret Service keyring: one entry per web service, service
// "tgw-mobile-tool", key the web service's origin (`secret-tool search
// service tgw-mobile-tool` finds them). A login is only ever read for the
// origin it was made for; entries of other origins are left alone.
//
// Entries of earlier versions have the key "login" and name no web service:
// such a password is never sent anywhere. Only its e-mail address is offered
// (Found::none with the address), and the entry is removed once a login is
// remembered again or the technician logs out.
class KeyringStore : public CredentialStore {
  public:
    static constexpr const char* kService = "tgw-mobile-tool";
    static constexpr const char* kUnboundKey = "login";

    explicit KeyringStore(QString origin) : m_origin(std::move(origin)) {}

    void load(Loaded done) override;
    void save(const StoredLogin& login, Done done) override;
    void forget(Done done) override;

  private:
    // Reads the entry of earlier versions after none was found for the origin.
    void loadUnbound(Loaded done);
    QString m_origin;
};

}  // namespace tgw::app
