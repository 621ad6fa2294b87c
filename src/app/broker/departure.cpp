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
                      std::optional<std::string_view> goodbye) {
    if (m_client) end(false);
    m_client = std::move(client);
    m_prefix = std::move(prefix);
    const uint16_t id = goodbye ? m_client->publish(statusTopic(m_prefix), *goodbye,
                                                    mqtt::MqttQos::qos1, true, false)
                                : 0;
    if (id != 0) {
        m_outbox.departingSent(id);
    } else {
        m_client->disconnect();
    }
    m_timer.start(kGoodbyeMs);
}

void Departure::acknowledged(uint16_t id) {
    if (m_outbox.departingAcknowledged(id)) m_client->disconnect();
}

size_t Departure::commandArrived(const std::string& text, std::optional<std::string_view> offline) {
    const std::vector<std::string> answers = answersWhileLeaving(text, offline);
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
