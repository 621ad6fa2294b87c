// QueryRunner: runs device queries. Each query is one tool run (ToolRun: the
// time limit, the output cap, the end marker, the one result) and is answered
// exactly once with its result; the runner adds what a query is (tool,
// arguments, the result's labels, its console lines). An identity query reads
// one phone through several tool runs in turn (PhoneRead) and is answered with
// its identity. A few run at once, an identity counting as one; the rest wait
// in order. Answers go to the sink given at construction.
//
// Lives on the main thread; owned by the AppDelegate.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/config/settings.h"
#include "app/identity/phone_identity.h"
#include "app/protocol/device_list.h"
#include "app/protocol/mqtt_api.h"
#include "app/tools/tool_run.h"

namespace tgw::process {
class Bundle;
}

namespace tgw::app {

// The kinds of device query.
enum class QueryKind {
    androidProperties,
    androidImei,
    androidBattery,
    appleDiagnostics,
    appleInfo,
    appleBatteryHealth
};

class QueryRunner {
  public:
    // Receives each answer: the account that asked and the encoded result.
    using Sink = std::function<void(std::string prefix, std::string payload)>;

    // `bundle` holds the tools (the main bundle when none); it must outlive this.
    QueryRunner(const Limits& limits, const process::Bundle* bundle, Sink sink);
    ~QueryRunner();

    // The account logged in: queries of another one that still wait are dropped.
    void setAccount(std::string prefix) { m_account = std::move(prefix); }
    // Queues one query of `command` for `prefix` (its serial or udid checked already).
    void enqueue(QueryKind kind, const MqttApi& command, const std::string& prefix);
    // Queues the identity read of `phone` for `command` (its "id" carried back).
    void enqueueIdentity(const DeviceInfo& phone, const MqttApi& command,
                         const std::string& prefix);
    // Queues the identity read of `phone` for `prefix` whose identity goes to
    // `done` instead of the sink (not called when the read is cancelled, nor
    // when too many queries wait already).
    void enqueueRead(const DeviceInfo& phone, const std::string& prefix,
                     std::function<void(PhoneIdentity)> done);
    // The result a query of `kind` gives for `data` without running its tool.
    static MqttApi resultOf(QueryKind kind, std::string data, const MqttApi& command);
    // The account's queries end (log-out, another account): what waits is
    // dropped and the running tools are stopped; none of them is answered.
    void cancelAll();
    // Drops what waits and stops every running tool (quitting).
    void stopAll();

    size_t runningCount() const { return m_running.size(); }
    size_t waitingCount() const { return m_waiting.size(); }

  private:
    struct Running;

    // Whether one more query may wait; beyond the bound it is answered with
    // `overflow` at once (when that is not empty).
    bool admit(const std::string& prefix, const std::function<std::string()>& overflow);
    void launchWaiting();
    void launch(Running& query);
    void resultReady(uint64_t id, ToolRun::Result result);
    void toolEnded(uint64_t id, int32_t status, const std::string& unread);
    void identityRead(uint64_t id, PhoneIdentity identity);
    // Frees the query's place once its tool has ended and it is answered.
    void releaseIfOver(std::map<uint64_t, std::unique_ptr<Running>>::iterator it);
    // Sends `data` as the query's result.
    void answer(Running& query, std::string data);

    Limits m_limits;
    const process::Bundle* m_bundle;
    Sink m_sink;
    std::string m_account;
    std::deque<std::unique_ptr<Running>> m_waiting;
    std::map<uint64_t, std::unique_ptr<Running>> m_running;
    uint64_t m_count = 0;
    bool m_overflowing = false;  // the waiting queue is full; said once per overflow
    bool m_launching = false;    // inside launchWaiting()'s loop
};

}  // namespace tgw::app
