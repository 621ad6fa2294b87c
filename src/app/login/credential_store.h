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
        none,       // the keyring answers but holds none
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

// The Secret Service keyring: one entry, service "tgw-mobile-tool", key
// "login" (`secret-tool search service tgw-mobile-tool` finds it).
class KeyringStore : public CredentialStore {
  public:
    static constexpr const char* kService = "tgw-mobile-tool";
    static constexpr const char* kKey = "login";

    void load(Loaded done) override;
    void save(const StoredLogin& login, Done done) override;
    void forget(Done done) override;
};

}  // namespace tgw::app
