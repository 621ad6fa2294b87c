#include "app/broker/link_console.h"

#include <QLocale>

#include "app/queries/console_text.h"
#include "common/console.h"
#include "common/diagnostics.h"
#include "mqtt/tls_trust.h"

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

void logConnecting(const std::string& broker, const std::string& user, const std::string& origin,
                   const std::string& clientID, const std::string& prefix, int attempt) {
    qCInfo(lcConnection).nospace() << "connecting to " << broker.c_str() << " as " << user.c_str()
                                   << " (" << origin.c_str() << "), client id " << clientID.c_str()
                                   << ", prefix \"" << prefix.c_str() << "\", attempt " << attempt;
}

void logState(ConnectionState state) {
    qCInfo(lcConnection) << "connection state:" << stateName(state);
}

void logReconnectIn(std::chrono::milliseconds delay) {
    qCInfo(lcConnection) << "connecting again in" << delay.count() << "ms";
}

void logShortLived(int inARow, const std::string& clientID) {
    qCWarning(lcConnection).nospace()
        << "the broker ended the subscribed connection within seconds " << inARow
        << " times in a row: another client may be using the client id " << clientID.c_str();
}

void logSubAckMissed(std::chrono::milliseconds deadline) {
    qCWarning(lcConnection) << "no SUBACK for the command topic within" << deadline.count()
                            << "ms; connecting again";
}

void logLost(const mqtt::MqttError& error) {
    qCWarning(lcConnection).noquote() << "connection lost:" << error.description.c_str();
}

void logHeldAgain(size_t results) {
    qCInfo(lcConnection) << results << "results unacknowledged; sent again on reconnect";
}

void logResultDropped(size_t bytes) {
    qCWarning(lcConnection) << "result of" << bytes
                            << "bytes dropped: too much waits for the connection";
}

void logUnsendable(size_t bytes) {
    qCWarning(lcConnection) << "message of" << bytes
                            << "bytes does not fit one MQTT packet; not sent";
}

void logDepartureGaveUp(bool quitting) {
    qCWarning(lcConnection) << (quitting ? "DISCONNECT not written within 1 s; quitting anyway"
                                         : "the offline status was not acknowledged within 1 s");
}

void reportUntrustedPeer(const std::string& host, uint16_t port, QObject* context,
                         std::function<void(const std::string&)> names) {
    mqtt::fetchPeerCertificate(
        host, port, context, [host, port, names = std::move(names)](std::string shown) {
            if (shown.empty()) return;
            qCWarning(lcConnection).noquote()
                << "the broker" << (host + ":" + std::to_string(port)).c_str()
                << "shows an untrusted" << shown.c_str();
            names(shown);
        });
}

std::string trusted(const std::string& caFile) {
    const std::string text =
        caFile.empty() ? "trusted: the system's certificate authorities only (no CA file set)"
                       : "trusted: the system's certificate authorities and the CA file " + caFile;
    qCWarning(lcConnection).noquote() << "the broker's certificate is not trusted;" << text.c_str();
    return text;
}

std::string refused(mqtt::MqttConnAck ack, const std::string& user, const std::string& origin) {
    const std::string reason = "the broker refused the connection: CONNACK " +
                               std::to_string(static_cast<int>(ack)) + " (" + mqtt::toString(ack) +
                               ") for user " + user + " (" + origin + ")";
    qCWarning(lcConnection).noquote() << reason.c_str();
    return reason;
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
