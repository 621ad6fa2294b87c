// PhoneRecords: the identity of every ready phone, published without being
// asked. When a listing shows a phone ready that was not ready before (or, for
// an account that has just logged in, every ready phone), its identity is read
// once, through the query runner and so within the query limits, and goes
// retained to tg/<prefix>/tool/phones/<serial or udid>; when a listing no
// longer shows the phone, an empty retained message clears that topic. A
// phone that stops being ready without going (offline, not trusted any more)
// keeps its record. A listing that could not ask a platform's tool says
// nothing about that platform's phones: they keep their records.
//
// Records are for the account logged in only: a new account starts afresh,
// and a read that finishes for an account no longer in force is dropped. The
// goodbye of a connection clears the account's records (the broker link
// does that), since nobody would clear them once the agent has gone.
//
// Lives on the main thread; owned by the AppDelegate, beside the runner.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/devices/device_monitor.h"

namespace tgw::app {

class QueryRunner;

class PhoneRecords {
  public:
    // Hands one retained message (empty: a clear) on `topic` for `prefix` over.
    using Publish =
        std::function<void(const std::string& prefix, std::string topic, std::string payload)>;

    // With `enabled` false nothing is read or published. `runner` must
    // outlive this.
    PhoneRecords(bool enabled, QueryRunner& runner, Publish publish);
    ~PhoneRecords();

    // The account in force (empty: none); its records start from `presence`,
    // the last listing.
    void setAccount(std::string prefix, const DevicePresence& presence);
    // A new listing.
    void devicesListed(const DevicePresence& presence);

    // The phones that have (or are getting) a record.
    size_t count() const { return m_phones.size(); }

  private:
    struct Phone {
        bool apple = false;
        bool ready = false;
        uint64_t read = 0;  // the read whose identity counts
    };

    void readIdentity(const DeviceInfo& phone, Phone& entry);

    bool m_enabled;
    QueryRunner& m_runner;
    Publish m_publish;
    std::string m_account;
    std::map<QString, Phone> m_phones;  // by serial or udid
    uint64_t m_reads = 0;
    // Shared with the runner's callbacks, which may outlive this.
    std::shared_ptr<PhoneRecords*> m_self;
};

}  // namespace tgw::app
