// Outbox: every message on its way to the broker, from the moment it is made
// until the broker acknowledges it, and the one table of the packet ids in
// flight. It holds
//   - the results, counted once against one byte bound, kept across
//     connections: what a lost connection had not seen acknowledged goes back
//     to the front, in order, to be published afresh on the next one;
//   - the phone records, retained each on its own topic, held and counted as
//     the results are; a newer record (or the empty one that clears it)
//     replaces one for the same topic still waiting. The outbox remembers
//     which of those topics the broker may hold a record on, so that a
//     goodbye can clear them;
//   - the status messages (online, offline), outside the bound: the newest
//     replaces one still waiting, and they are not kept across connections
//     (each connection publishes its own after its SUBACK);
//   - the messages of a connection that is saying goodbye (its offline status
//     and the answers to commands that came meanwhile), so that it ends once
//     the broker has them all.
// Only a window of results is in flight at a time, so a burst waits here for
// a packet id rather than being refused, and the window refills with every
// acknowledgement however late it comes; a result is given up only when the
// account logs out or the bound is exceeded, never for its age (a dead link
// fails the keep-alive and its results wait for the next connection).
//
// No I/O and no clock: the connection owner drives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tgw::app {

struct OutgoingResult {
    std::string prefix;  // the account whose command it answers
    std::string payload;
};

class Outbox {
  public:
    enum class Kind : uint8_t { result, status, record };
    struct Message {
        Kind kind = Kind::result;
        std::string prefix;
        std::string payload;
        std::string topic;  // a record's; the others' follows from their kind
    };

    // Results in flight at most: far below the 65,535 packet ids, so a burst of
    // small results waits here for an id rather than being refused.
    static constexpr size_t kMaxInFlight = 16384;
    // Status messages in flight at most, beside the results.
    static constexpr size_t kStatusInFlight = 16;

    // `maxBytes` bounds the payload bytes of the results held (waiting and in
    // flight); `windowBytes` bounds those in flight, except that one result
    // always may be.
    Outbox(size_t maxBytes, size_t windowBytes) : m_maxBytes(maxBytes), m_window(windowBytes) {}

    // Keeps `result`; while the bound is exceeded the oldest waiting results
    // are dropped, each reported to `dropped` with its size.
    void add(OutgoingResult result, const std::function<void(size_t bytes)>& dropped);
    // Keeps the retained `payload` (empty: clears the topic) for `topic`, as
    // add() keeps a result; a waiting one for the same topic goes.
    void addRecord(std::string prefix, std::string topic, std::string payload,
                   const std::function<void(size_t bytes)>& dropped);
    // The record topics of `prefix` that the broker may hold a record on: a
    // record went out on them, and no clear was acknowledged since.
    std::vector<std::string> recordTopics(const std::string& prefix) const;
    // Those topics are cleared, or are no business of this agent any more.
    void forgetRecordTopics(const std::string& prefix);
    // The status to publish next for `prefix`; replaces one still waiting.
    void setStatus(std::string prefix, std::string payload);
    // Whether the window lets a message go out now: the status before any result.
    bool canSend() const;
    // The message to send now; only while canSend().
    const Message& next() const;
    // The message next() gave was handed to the session under packet id `id`.
    void sent(uint16_t id);
    // The message next() gave cannot be sent at all: it is dropped.
    void dropNext();
    // The broker acknowledged `id`: what it was; none when nothing of the
    // current connection is in flight under it.
    std::optional<Kind> acknowledged(uint16_t id);
    // The connection ended: the results and records in flight wait again,
    // first in line (only the newest record of a topic stays); statuses in
    // flight or waiting go. Returns how many results and records went back.
    size_t connectionLost();
    // Drops every result and record, waiting or in flight; returns how many.
    size_t clear();
    // Drops the waiting results and records of every account but `prefix`;
    // returns how many.
    size_t keepOnly(const std::string& prefix);

    // The connection saying goodbye: `id` went out on it.
    void departingSent(uint16_t id) { m_departing.insert(id); }
    // The broker acknowledged `id` on it; true when that was the last one.
    bool departingAcknowledged(uint16_t id);
    // That connection is gone.
    void departed() { m_departing.clear(); }

    size_t bytes() const { return m_bytes; }
    size_t waitingCount() const { return m_waiting.size(); }
    size_t inFlightCount() const { return m_inFlight.size() - m_statusesInFlight; }

  private:
    bool resultFits() const;
    // Keeps only the last waiting record of each topic.
    void dropEarlierRecords();

    size_t m_maxBytes;
    size_t m_window;
    size_t m_bytes = 0;             // results waiting and in flight
    size_t m_inFlightBytes = 0;     // results in flight only
    std::deque<Message> m_waiting;  // results and records
    std::optional<Message> m_status;
    // In flight by order of sending (the key), and the packet id of each.
    std::map<uint64_t, Message> m_inFlight;
    std::map<uint16_t, uint64_t> m_ids;
    size_t m_statusesInFlight = 0;
    uint64_t m_sent = 0;
    std::set<uint16_t> m_departing;
    // Record topic -> whether the last message sent on it was a record (not
    // a clear), with its account; a topic goes once its clear is acknowledged.
    struct RecordTopic {
        std::string prefix;
        bool holds = false;
    };
    std::map<std::string, RecordTopic> m_recordTopics;
};

}  // namespace tgw::app
