#include "app/broker/outbox.h"

#include <algorithm>

namespace tgw::app {

void Outbox::add(OutgoingResult result, const std::function<void(size_t)>& dropped) {
    m_bytes += result.payload.size();
    m_waiting.push_back(std::move(result));
    // The newest result stays even alone above the bound: it fits one packet,
    // and dropping it would leave its command without an answer just the same.
    while (m_bytes > m_maxBytes && m_waiting.size() > 1) {
        const size_t size = m_waiting.front().payload.size();
        m_bytes -= size;
        m_waiting.pop_front();
        if (dropped) dropped(size);
    }
}

bool Outbox::canSend() const {
    if (m_waiting.empty() || m_inFlight.size() >= kMaxInFlight) return false;
    return m_inFlight.empty() || m_inFlightBytes + m_waiting.front().payload.size() <= m_window;
}

void Outbox::sent(uint16_t id) {
    OutgoingResult result = std::move(m_waiting.front());
    m_waiting.pop_front();
    m_inFlightBytes += result.payload.size();
    if (const auto old = m_ids.find(id); old != m_ids.end()) {
        // The session hands an id out again only once its PUBLISH is done.
        const auto entry = m_inFlight.find(old->second);
        m_inFlightBytes -= entry->second.payload.size();
        m_bytes -= entry->second.payload.size();
        m_inFlight.erase(entry);
    }
    m_ids[id] = ++m_sent;
    m_inFlight.emplace(m_sent, std::move(result));
}

void Outbox::dropNext() {
    m_bytes -= m_waiting.front().payload.size();
    m_waiting.pop_front();
}

bool Outbox::acknowledged(uint16_t id) {
    const auto it = m_ids.find(id);
    if (it == m_ids.end()) return false;
    const auto entry = m_inFlight.find(it->second);
    m_inFlightBytes -= entry->second.payload.size();
    m_bytes -= entry->second.payload.size();
    m_inFlight.erase(entry);
    m_ids.erase(it);
    return true;
}

size_t Outbox::connectionLost() {
    const size_t count = m_inFlight.size();
    for (auto it = m_inFlight.rbegin(); it != m_inFlight.rend(); ++it) {
        m_waiting.push_front(std::move(it->second));
    }
    m_inFlight.clear();
    m_ids.clear();
    m_inFlightBytes = 0;
    return count;
}

size_t Outbox::clear() {
    const size_t count = m_waiting.size() + m_inFlight.size();
    m_waiting.clear();
    m_inFlight.clear();
    m_ids.clear();
    m_bytes = 0;
    m_inFlightBytes = 0;
    return count;
}

size_t Outbox::keepOnly(const std::string& prefix) {
    const size_t before = m_waiting.size();
    std::erase_if(m_waiting, [&](const OutgoingResult& r) {
        if (r.prefix == prefix) return false;
        m_bytes -= r.payload.size();
        return true;
    });
    return before - m_waiting.size();
}

}  // namespace tgw::app
