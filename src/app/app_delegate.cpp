#include "app/app_delegate.h"

#include <unistd.h>

#include <QTimer>

#include "app/settings.h"
#include "common/console.h"
#include "common/utf8.h"
#include "mqtt/session.h"
#include "process/process.h"

namespace tgw::app {

using mqtt::MqttClient;
using mqtt::MqttConnAck;
using mqtt::MqttQos;

// One device query: which tool runs with which arguments, where its output
// collects, what ends the collection, and what the console shows.
struct AppDelegate::Query {
    enum class Echo { none, wholeText, eachPiece };
    enum class Termination { silent, status, errorThenStatus };

    const char* resource;
    QStringList arguments;
    CollectionBuffer AppDelegate::*buffer;
    MarkerSet markers;
    const char* type;
    const char* action;
    Echo echo;
    Termination termination;
};

namespace {

using Query = AppDelegate::Query;

const Query kAndroidProperties{"adb",
                               {"shell", "getprop", "&& echo \"<DONE>\";"},
                               &AppDelegate::outputString,
                               MarkerSet::android,
                               "android",
                               "data",
                               Query::Echo::wholeText,
                               Query::Termination::status};
const Query kAndroidImei{"adb",
                         {"shell", "service", "call", "iphonesubinfo", "1", "&& echo \"<DONE>\";"},
                         &AppDelegate::outputString2,
                         MarkerSet::android,
                         "android",
                         "imei",
                         Query::Echo::none,
                         Query::Termination::silent};
const Query kAppleDiagnostics{"run.sh",
                              {"/usr/local/bin/idevicediagnostics diagnostics All"},
                              &AppDelegate::outputString,
                              MarkerSet::apple,
                              "apple",
                              "",
                              Query::Echo::none,
                              Query::Termination::silent};
const Query kAppleInfo{"run.sh",
                       {"/usr/local/bin/ideviceinfo -x"},
                       &AppDelegate::outputString2,
                       MarkerSet::apple,
                       "apple",
                       "",
                       Query::Echo::eachPiece,
                       Query::Termination::errorThenStatus};

}  // namespace

std::unique_ptr<MqttClient> AppDelegate::makeSession(const std::string& clientID,
                                                     const std::string& host, uint16_t port,
                                                     mqtt::MqttDelegate& delegate) {
    auto session = std::make_unique<mqtt::MqttSession>(clientID, host, port);
    session->setDelegate(&delegate);
    session->setEnableSSL(true);
    session->setExtraCaCertificates(extraCaCertificates());
    return session;
}

AppDelegate::AppDelegate(ClientFactory factory, const process::Bundle* bundle)
    : clientID("TGW-API-MOBILE-TOOL-" + std::to_string(::getpid())),
      m_factory(std::move(factory)),
      m_bundle(bundle),
      m_self(std::make_shared<AppDelegate*>(this)) {}

AppDelegate::~AppDelegate() {
    *m_self = nullptr;
    mqtt.reset();  // before the rest of this delegate goes
}

void AppDelegate::_console(std::string_view text) {
    writeConsoleLine(std::string("Delegate: ").append(text));
}

void AppDelegate::start(std::string newPrefix, std::optional<BrokerCredentials>) {
    prefix = std::move(newPrefix);
    connectMqtt();
}

void AppDelegate::stop() {
    mqtt.reset();
}

void AppDelegate::shutdown(std::function<void()> done) {
    if (mqtt) mqtt->disconnect();
    QTimer::singleShot(0, [done = std::move(done)] { done(); });
}

void AppDelegate::connectMqtt() {
    // The session held before is dropped without a DISCONNECT.
    mqtt = m_factory(clientID, brokerHost(), brokerPort(), *this);
    mqtt->setUsername(kUsername);
    mqtt->setPassword(kPassword);
    mqtt->setKeepAlive(keepAlive);
    mqtt->connect();
}

void AppDelegate::disconnectCallback() {
    if (viewContrl) viewContrl->disconnect();
}

// ---- MQTT events ---------------------------------------------------------

void AppDelegate::didReceiveTrust(MqttClient&, const mqtt::MqttServerTrust&,
                                  std::function<void(bool)> completion) {
    // Only asked when manual evaluation is switched on, which this controller
    // never does: the broker's certificate is verified by the TLS layer.
    completion(true);
}

void AppDelegate::didConnectAck(MqttClient& client, MqttConnAck ack) {
    writeConsoleLine(std::string("didConnectAck: ") + mqtt::toString(ack) +
                     "\xEF\xBC\x8C"
                     "rawValue: " +
                     std::to_string(static_cast<int>(ack)));
    if (ack == MqttConnAck::accepted) client.subscribe(commandTopic(prefix), MqttQos::qos1);
}

void AppDelegate::didPublishMessage(MqttClient&, const mqtt::MqttMessage&, uint16_t) {
    writeConsoleLine("didPublishMessage with message");
}

void AppDelegate::didPublishAck(MqttClient&, uint16_t id) {
    writeConsoleLine("didPublishAck with id: " + std::to_string(id));
}

void AppDelegate::didReceiveMessage(MqttClient&, const mqtt::MqttMessage& message, uint16_t id) {
    const std::optional<std::string> text = message.string();
    writeConsoleLine("didReceivedMessage: " + text.value_or("") + " with id " + std::to_string(id));
    if (!text) {
        writeConsoleLine("command ignored: the payload is not UTF-8 text");
        return;
    }
    onReceivedMessage(message.topic(), *text);
}

void AppDelegate::didSubscribeTopic(MqttClient&, const std::string& topic) {
    writeConsoleLine("didSubscribeTopic to " + topic);
}

void AppDelegate::didUnsubscribeTopic(MqttClient&, const std::string& topic) {
    writeConsoleLine("didUnsubscribeTopic to " + topic);
}

void AppDelegate::didPing(MqttClient&) {
    writeConsoleLine("didPing");
}

void AppDelegate::didReceivePong(MqttClient&) {
    _console("didReceivePong");
}

void AppDelegate::didDisconnect(MqttClient&, const std::optional<mqtt::MqttError>&) {
    disconnectCallback();
    _console("mqttDidDisconnect");
}

// ---- commands ------------------------------------------------------------

void AppDelegate::onReceivedMessage(const std::string&, const std::string& message) {
    std::string error;
    const std::optional<MqttApi> command = MqttApi::decode(message, &error);
    if (!command) {
        writeConsoleLine("command ignored: " + error);
        return;
    }
    writeConsoleLine(command->type);
    if (command->type == "sync") {
        if (mqtt) mqtt->publish(resultTopic(prefix), kSyncReply, MqttQos::qos1, false, false);
    } else if (command->type == "android") {
        startQuery(kAndroidProperties);
        startQuery(kAndroidImei);
    } else if (command->type == "apple") {
        startQuery(command->action == "battery" ? kAppleDiagnostics : kAppleInfo);
    } else {
        writeConsoleLine("unknown type");
    }
}

void AppDelegate::startQuery(const Query& query) {
    std::weak_ptr<AppDelegate*> self = m_self;
    try {
        auto process = process::Process::initWith(query.resource, m_bundle);
        process->setArguments(query.arguments);
        process::TerminateHandler onEnd;
        if (query.termination != Query::Termination::silent) {
            const bool errorLine = query.termination == Query::Termination::errorThenStatus;
            onEnd = [errorLine](int32_t status) {
                if (errorLine) writeConsoleLine("errorrr???");
                writeConsoleLine(std::to_string(status));
            };
        }
        process->sd().launchAsyncWith(
            false,
            [self, &query](const std::string& piece, process::ProcessInput*) {
                if (auto s = self.lock(); s && *s) (*s)->collect(query, piece);
            },
            nullptr, std::move(onEnd));
    } catch (const process::SlarderError& e) {
        // No tool, no answer: tell the web service rather than leave it waiting.
        writeConsoleLine(e.description());
        publishResult(MqttApi{query.type, "error: " + e.description(), query.action});
    }
}

void AppDelegate::collect(const Query& query, const std::string& piece) {
    CollectionBuffer& buffer = this->*query.buffer;
    buffer.append(piece);
    if (query.echo == Query::Echo::eachPiece) writeConsoleLine(piece);
    if (!buffer.containsAny(query.markers)) return;
    if (query.echo == Query::Echo::wholeText) writeConsoleLine(buffer.text());
    // The text moves into the result: encoding cannot fail, and the buffer is
    // emptied once the result is built.
    publishResult(MqttApi{query.type, buffer.take(), query.action});
}

void AppDelegate::publishResult(const MqttApi& result) {
    std::string encoded = result.encode();
    if (!mqtt) return;
    if (!isValidUtf8(encoded)) encoded = kErrorReply;
    mqtt->publish(resultTopic(prefix), encoded, MqttQos::qos1, false, false);
}

}  // namespace tgw::app
