#include "app/broker/departure.h"

#include "app/broker/leaving_answers.h"
#include "app/broker/outbox.h"
#include "app/protocol/topics.h"

namespace tgw::app {

namespace {

// How long a clean end waits for the broker to take its goodbye.
constexpr int kGoodbyeMs = 1000;

}  // namespace

Departure::Departure(Outbox& outbox, std::function<void(bool)> ended)
    : m_outbox(outbox), m_ended(std::move(ended)) {
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, &m_context, [this] { end(true); });
}

Departure::~Departure() {
    m_timer.stop();
    m_client.reset();
    m_retired.clear();
}

void Departure::begin(std::unique_ptr<mqtt::MqttClient> client, std::string prefix,
                      std::optional<std::string> goodbye, const std::vector<std::string>& clears) {
    if (m_client) end(false);
    m_client = std::move(client);
    m_prefix = std::move(prefix);
    m_goodbye = std::move(goodbye);
    bool waiting = false;
    auto publish = [&](const std::string& topic, std::string_view payload) {
        if (const uint16_t id =
                m_client->publish(topic, payload, mqtt::MqttQos::qos1, true, false)) {
            m_outbox.departingSent(id);
            waiting = true;
        }
    };
    for (const std::string& topic : clears) publish(topic, {});
    if (m_goodbye) publish(statusTopic(m_prefix), *m_goodbye);
    if (!waiting) m_client->disconnect();
    m_timer.start(kGoodbyeMs);
}

void Departure::acknowledged(uint16_t id) {
    if (m_outbox.departingAcknowledged(id)) m_client->disconnect();
}

size_t Departure::commandArrived(const std::string& text) {
    const std::vector<std::string> answers = answersWhileLeaving(
        text, m_goodbye ? std::optional<std::string_view>(*m_goodbye) : std::nullopt);
    for (const std::string& answer : answers) {
        if (const uint16_t id = m_client->publish(resultTopic(m_prefix), answer)) {
            m_outbox.departingSent(id);
        }
    }
    return answers.size();
}

void Departure::end(bool byTimer) {
    m_timer.stop();
    if (!m_client) return;
    m_outbox.departed();
    // Not inside one of the client's own callbacks.
    m_retired.push_back(std::move(m_client));
    QTimer::singleShot(0, &m_context, [this] { m_retired.clear(); });
    if (m_ended) m_ended(byTimer);
}

}  // namespace tgw::app
