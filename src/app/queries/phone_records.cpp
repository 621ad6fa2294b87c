#include "app/queries/phone_records.h"

#include <set>

#include "app/protocol/topics.h"
#include "app/queries/query_runner.h"
#include "common/diagnostics.h"

namespace tgw::app {

PhoneRecords::PhoneRecords(bool enabled, QueryRunner& runner, Publish publish)
    : m_enabled(enabled),
      m_runner(runner),
      m_publish(std::move(publish)),
      m_self(std::make_shared<PhoneRecords*>(this)) {}

PhoneRecords::~PhoneRecords() {
    *m_self = nullptr;
}

void PhoneRecords::setAccount(std::string prefix, const DevicePresence& presence) {
    m_account = std::move(prefix);
    m_phones.clear();  // a read still running for the earlier account counts no more
    devicesListed(presence);
}

void PhoneRecords::devicesListed(const DevicePresence& presence) {
    if (!m_enabled || m_account.empty()) return;
    bool androidListed = true, appleListed = true;
    for (const ToolProblem& p : presence.toolProblems)
        (p.tool == QLatin1String("adb") ? androidListed : appleListed) = false;

    std::set<QString> listed;
    for (const DeviceInfo& d : presence.devices) {
        listed.insert(d.id);
        // Only an id that is one topic level is published under.
        if (!isValidDeviceId(d.id)) continue;
        const bool ready = problemOf(d) == PhoneProblem::none;
        const auto it = m_phones.find(d.id);
        if (ready && (it == m_phones.end() || !it->second.ready)) {
            Phone& phone = m_phones[d.id];
            phone.apple = d.platform == DeviceInfo::Platform::apple;
            phone.ready = true;
            readIdentity(d, phone);
        } else if (it != m_phones.end()) {
            it->second.ready = ready;
        }
    }
    for (auto it = m_phones.begin(); it != m_phones.end();) {
        if (listed.contains(it->first) || !(it->second.apple ? appleListed : androidListed)) {
            ++it;
            continue;
        }
        qCInfo(lcDevices).noquote() << "phone" << it->first << "went: its record is cleared";
        m_publish(m_account, phoneTopic(m_account, it->first.toStdString()), {});
        it = m_phones.erase(it);
    }
}

void PhoneRecords::readIdentity(const DeviceInfo& phone, Phone& entry) {
    entry.read = ++m_reads;
    qCInfo(lcDevices).noquote() << "phone" << phone.id << "is ready: reading its identity";
    std::weak_ptr<PhoneRecords*> self = m_self;
    m_runner.enqueueRead(
        phone, m_account,
        [self, id = phone.id, read = entry.read, prefix = m_account](PhoneIdentity identity) {
            const auto s = self.lock();
            if (!s || !*s) return;
            PhoneRecords& records = **s;
            const auto it = records.m_phones.find(id);
            // Gone, read again since, or another account's by now.
            if (prefix != records.m_account || it == records.m_phones.end() ||
                it->second.read != read)
                return;
            records.m_publish(prefix, phoneTopic(prefix, id.toStdString()),
                              writeIdentity(identity));
        });
}

}  // namespace tgw::app
