#include "app/broker/outbox.h"

#include <algorithm>

namespace tgw::app {

void Outbox::add(OutgoingResult result, const std::function<void(size_t)>& dropped) {
    m_bytes += result.payload.size();
    m_waiting.push_back({Kind::result, std::move(result.prefix), std::move(result.payload), {}});
    // The newest result stays even alone above the bound: it fits one packet,
    // and dropping it would leave its command without an answer just the same.
    while (m_bytes > m_maxBytes && m_waiting.size() > 1) {
        const size_t size = m_waiting.front().payload.size();
        m_bytes -= size;
        m_waiting.pop_front();
        if (dropped) dropped(size);
    }
}

void Outbox::addRecord(std::string prefix, std::string topic, std::string payload,
                       const std::function<void(size_t)>& dropped) {
    std::erase_if(m_waiting, [&](const Message& m) {
        if (m.kind != Kind::record || m.topic != topic) return false;
        m_bytes -= m.payload.size();
        return true;
    });
    m_bytes += payload.size();
    m_waiting.push_back({Kind::record, std::move(prefix), std::move(payload), std::move(topic)});
    while (m_bytes > m_maxBytes && m_waiting.size() > 1) {
        const size_t size = m_waiting.front().payload.size();
        m_bytes -= size;
        m_waiting.pop_front();
        if (dropped) dropped(size);
    }
}

std::vector<std::string> Outbox::recordTopics(const std::string& prefix) const {
    std::vector<std::string> topics;
    for (const auto& [topic, record] : m_recordTopics) {
        if (record.prefix == prefix) topics.push_back(topic);
    }
    return topics;
}

void Outbox::forgetRecordTopics(const std::string& prefix) {
    std::erase_if(m_recordTopics, [&](const auto& e) { return e.second.prefix == prefix; });
}

void Outbox::dropEarlierRecords() {
    std::set<std::string> seen;
    for (auto it = m_waiting.end(); it != m_waiting.begin();) {
        --it;
        if (it->kind != Kind::record || seen.insert(it->topic).second) continue;
        m_bytes -= it->payload.size();
        it = m_waiting.erase(it);
    }
}

void Outbox::setStatus(std::string prefix, std::string payload) {
    m_status = Message{Kind::status, std::move(prefix), std::move(payload), {}};
}

bool Outbox::resultFits() const {
    if (m_waiting.empty() || inFlightCount() >= kMaxInFlight) return false;
    return inFlightCount() == 0 || m_inFlightBytes + m_waiting.front().payload.size() <= m_window;
}

bool Outbox::canSend() const {
    return (m_status && m_statusesInFlight < kStatusInFlight) || resultFits();
}

const Outbox::Message& Outbox::next() const {
    return m_status && m_statusesInFlight < kStatusInFlight ? *m_status : m_waiting.front();
}

void Outbox::sent(uint16_t id) {
    Message message;
    if (m_status && m_statusesInFlight < kStatusInFlight) {
        message = std::move(*m_status);
        m_status.reset();
        ++m_statusesInFlight;
    } else {
        message = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_inFlightBytes += message.payload.size();
        if (message.kind == Kind::record) {
            m_recordTopics[message.topic] = {message.prefix, !message.payload.empty()};
        }
    }
    // The session hands an id out again only once its publish is acknowledged;
    // an id still here means that acknowledgement never reached this table.
    acknowledged(id);
    m_ids[id] = ++m_sent;
    m_inFlight.emplace(m_sent, std::move(message));
}

void Outbox::dropNext() {
    if (m_status && m_statusesInFlight < kStatusInFlight) {
        m_status.reset();
        return;
    }
    m_bytes -= m_waiting.front().payload.size();
    m_waiting.pop_front();
}

std::optional<Outbox::Kind> Outbox::acknowledged(uint16_t id) {
    const auto it = m_ids.find(id);
    if (it == m_ids.end()) return std::nullopt;
    const auto entry = m_inFlight.find(it->second);
    const Kind kind = entry->second.kind;
    if (kind == Kind::status) {
        --m_statusesInFlight;
    } else {
        m_inFlightBytes -= entry->second.payload.size();
        m_bytes -= entry->second.payload.size();
    }
    if (kind == Kind::record && entry->second.payload.empty()) {
        // The broker holds nothing on it now, unless a record went out since.
        const auto topic = m_recordTopics.find(entry->second.topic);
        if (topic != m_recordTopics.end() && !topic->second.holds) m_recordTopics.erase(topic);
    }
    m_inFlight.erase(entry);
    m_ids.erase(it);
    return kind;
}

size_t Outbox::connectionLost() {
    size_t count = 0;
    for (auto it = m_inFlight.rbegin(); it != m_inFlight.rend(); ++it) {
        if (it->second.kind == Kind::status) continue;
        m_waiting.push_front(std::move(it->second));
        ++count;
    }
    const size_t before = m_waiting.size();
    dropEarlierRecords();
    count -= before - m_waiting.size();
    m_inFlight.clear();
    m_ids.clear();
    m_status.reset();
    m_statusesInFlight = 0;
    m_inFlightBytes = 0;
    return count;
}

size_t Outbox::clear() {
    const size_t count = m_waiting.size() + inFlightCount();
    std::erase_if(m_inFlight, [](const auto& e) { return e.second.kind != Kind::status; });
    std::erase_if(m_ids, [&](const auto& e) { return !m_inFlight.contains(e.second); });
    m_waiting.clear();
    m_bytes = 0;
    m_inFlightBytes = 0;
    m_recordTopics.clear();
    return count;
}

size_t Outbox::keepOnly(const std::string& prefix) {
    const size_t before = m_waiting.size();
    std::erase_if(m_waiting, [&](const Message& r) {
        if (r.prefix == prefix) return false;
        m_bytes -= r.payload.size();
        return true;
    });
    return before - m_waiting.size();
}

bool Outbox::departingAcknowledged(uint16_t id) {
    return m_departing.erase(id) > 0 && m_departing.empty();
}

}  // namespace tgw::app
