#include "app/broker/link_console.h"

#include <QLocale>

#include "app/queries/console_text.h"
#include "common/console.h"

namespace tgw::app::link_console {

namespace {

void delegate(const std::string& text) {
    writeConsoleLine("Delegate: " + text);
}

}  // namespace

void connAck(mqtt::MqttConnAck ack) {
    writeConsoleLine(std::string("didConnectAck: ") + mqtt::toString(ack) +
                     "\xEF\xBC\x8C"
                     "rawValue: " +
                     std::to_string(static_cast<int>(ack)));
}

void published() {
    writeConsoleLine("didPublishMessage with message");
}

void publishAck(uint16_t id) {
    writeConsoleLine("didPublishAck with id: " + std::to_string(id));
}

void received(const std::optional<std::string>& text, uint16_t id) {
    writeConsoleLine("didReceivedMessage: " + consoleQuote(text.value_or("")) + " with id " +
                     std::to_string(id));
    if (!text) writeConsoleLine("command ignored: the payload is not UTF-8 text");
}

void subscribed(const std::string& topic) {
    writeConsoleLine("didSubscribeTopic to " + topic);
}

void unsubscribed(const std::string& topic) {
    writeConsoleLine("didUnsubscribeTopic to " + topic);
}

void ping() {
    writeConsoleLine("didPing");
}

void pong() {
    delegate("didReceivePong");
}

void disconnected(const std::optional<std::string>& reason) {
    delegate("mqttDidDisconnect");
    if (reason) delegate("reason: " + *reason);
}

void skipped(const std::string& topic, size_t bytes) {
    writeConsoleLine("command skipped: " + std::to_string(bytes) + " bytes on " +
                     consoleQuote(topic) + ", over the packet size limit");
}

void unknownAcks(uint64_t count) {
    writeConsoleLine("didPublishAck for " +
                     QLocale(QLocale::English).toString(qulonglong(count)).toStdString() +
                     " unknown ids");
}

void resultsDropped(size_t dropped, const char* whose) {
    writeConsoleLine("results dropped: " + std::to_string(dropped) + " held for " + whose);
}

void resultOfAnotherAccount() {
    writeConsoleLine("result dropped: its account is no longer the one logged in");
}

void answeredWhileLeaving(size_t answers) {
    writeConsoleLine("command not run: the agent is disconnecting; " + std::to_string(answers) +
                     " error result(s) sent");
}

QJsonObject describe(const Facts& f) {
    QJsonObject o;
    o.insert("state", stateName(f.state));
    o.insert("since", f.since.toString(Qt::ISODate));
    o.insert("broker", QString::fromStdString(f.broker));
    o.insert("broker_user", QString::fromStdString(f.user));
    o.insert("client_id", QString::fromStdString(f.clientID));
    o.insert("prefix", QString::fromStdString(f.prefix));
    o.insert("last_error", QString::fromStdString(f.lastError));
    o.insert("last_error_at",
             f.lastErrorAt.isValid() ? f.lastErrorAt.toString(Qt::ISODate) : QString());
    o.insert("results_held", qint64(f.resultsHeld));
    return o;
}

}  // namespace tgw::app::link_console
