// Outbox: every result on its way to the web service, from the moment a query
// answers until the broker acknowledges it, counted once against one bound.
// Results wait here while there is no connection; only a window of them is
// handed to the session at a time, so the session's own copy of what is in
// flight stays small. What a lost connection had not seen acknowledged goes
// back to the front, in order, to be published afresh on the next one.
//
// No I/O and no clock: the connection owner drives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>

namespace tgw::app {

struct OutgoingResult {
    std::string prefix;  // the account whose command it answers
    std::string payload;
};

class Outbox {
  public:
    // Results in flight at most: far below the 65,535 packet ids, so a burst of
    // small results waits here for an id rather than being refused.
    static constexpr size_t kMaxInFlight = 1024;

    // `maxBytes` bounds the payload bytes held (waiting and in flight);
    // `windowBytes` bounds those in flight, except that one result always may be.
    Outbox(size_t maxBytes, size_t windowBytes) : m_maxBytes(maxBytes), m_window(windowBytes) {}

    // Keeps `result`; while the bound is exceeded the oldest waiting results
    // are dropped, each reported to `dropped` with its size.
    void add(OutgoingResult result, const std::function<void(size_t bytes)>& dropped);
    // Whether the window lets the oldest waiting result go out now.
    bool canSend() const;
    const OutgoingResult& next() const { return m_waiting.front(); }
    // The oldest waiting result was handed to the session under packet id `id`.
    void sent(uint16_t id);
    // The oldest waiting result cannot be sent at all: it is dropped.
    void dropNext();
    // The broker acknowledged `id`; false when no result is in flight under it.
    bool acknowledged(uint16_t id);
    // The connection ended: what is in flight waits again, first in line.
    // Returns how many results that were.
    size_t connectionLost();
    // Drops every result, waiting or in flight; returns how many.
    size_t clear();
    // Drops the waiting results of every account but `prefix`; returns how many.
    size_t keepOnly(const std::string& prefix);

    size_t bytes() const { return m_bytes; }
    size_t waitingCount() const { return m_waiting.size(); }
    size_t inFlightCount() const { return m_inFlight.size(); }

  private:
    size_t m_maxBytes;
    size_t m_window;
    size_t m_bytes = 0;          // waiting and in flight
    size_t m_inFlightBytes = 0;  // in flight only
    std::deque<OutgoingResult> m_waiting;
    // In flight by order of sending (the key), and the packet id of each.
    std::map<uint64_t, OutgoingResult> m_inFlight;
    std::map<uint16_t, uint64_t> m_ids;
    uint64_t m_sent = 0;
};

}  // namespace tgw::app
