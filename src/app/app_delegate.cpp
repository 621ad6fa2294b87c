#include "app/app_delegate.h"

#include <unistd.h>

#include <QJsonDocument>
#include <QRandomGenerator>
#include <algorithm>

#include "app/queries/console_text.h"
#include "common/console.h"
#include "common/diagnostics.h"
#include "common/utf8.h"
#include "mqtt/codec/frame.h"
#include "mqtt/session.h"
#include "process/process.h"

namespace tgw::app {

using mqtt::MqttClient;
using mqtt::MqttConnAck;
using mqtt::MqttQos;

// One kind of device query: which tool runs with which arguments, what ends
// its collection, how its result is labelled, and what the console shows.
struct AppDelegate::Query {
    enum class Echo { none, wholeText, eachPiece };
    enum class Termination { silent, status, errorThenStatus };

    const char* resource;
    const char* tool;  // the program that does the work, for error texts
    QStringList arguments;
    MarkerSet markers;
    const char* type;
    const char* action;
    Echo echo;
    Termination termination;
};

// One query of one command, from the command's arrival until its tool ended.
struct AppDelegate::Running {
    uint64_t id = 0;
    const Query* query = nullptr;
    QStringList arguments;
    std::string prefix;  // the account whose command started it
    std::optional<std::string> serial;
    std::optional<std::string> udid;
    CollectionBuffer buffer;
    bool answered = false;  // a result has been sent
    bool closed = false;    // cut or timed out: later output is not collected
    std::shared_ptr<process::Process> process;
    QTimer timeLimit;
};

namespace {

using Query = AppDelegate::Query;

const Query kAndroidProperties{"adb",
                               "adb",
                               {"shell", "getprop", "&& echo \"<DONE>\";"},
                               MarkerSet::android,
                               "android",
                               "data",
                               Query::Echo::wholeText,
                               Query::Termination::status};
const Query kAndroidImei{"adb",
                         "adb",
                         {"shell", "service", "call", "iphonesubinfo", "1", "&& echo \"<DONE>\";"},
                         MarkerSet::android,
                         "android",
                         "imei",
                         Query::Echo::none,
                         Query::Termination::silent};
const Query kAppleDiagnostics{"run.sh",
                              "idevicediagnostics",
                              {"/usr/local/bin/idevicediagnostics diagnostics All"},
                              MarkerSet::apple,
                              "apple",
                              "",
                              Query::Echo::none,
                              Query::Termination::silent};
const Query kAppleInfo{
    "run.sh", "ideviceinfo",          {"/usr/local/bin/ideviceinfo -x"},  MarkerSet::apple, "apple",
    "",       Query::Echo::eachPiece, Query::Termination::errorThenStatus};

// The largest payload one PUBLISH on the result topic can carry, with room
// for any topic a prefix makes.
constexpr size_t kMaxResultPayload = mqtt::kMaxRemainingLength - 0x10000 - 4;

// JSON escaping turns a byte into at most six ("\u001f"): a result whose text
// stays below this always fits one packet.
constexpr size_t kMaxCollectedBytes = kMaxResultPayload / 6;

// `text` cut to at most `bytes` bytes, never inside a UTF-8 sequence.
std::string cutUtf8(std::string text, size_t bytes) {
    if (text.size() <= bytes) return text;
    size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

std::string sizeText(size_t bytes) {
    if (bytes % (1 << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes % (1 << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

std::string durationText(std::chrono::milliseconds d) {
    if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
    return std::to_string(d.count()) + " ms";
}

const char* stateName(ConnectionState s) {
    switch (s) {
        case ConnectionState::connecting: return "connecting";
        case ConnectionState::connected: return "connected";
        case ConnectionState::retrying: return "retrying";
        case ConnectionState::refused: return "refused";
        case ConnectionState::untrusted: return "untrusted";
        case ConnectionState::disconnected: return "disconnected";
    }
    return "?";
}

// A device id the tools may be given.
bool validDeviceId(const std::string& id) {
    return id.find('\n') == std::string::npos && isValidDeviceId(QString::fromStdString(id));
}

}  // namespace

std::unique_ptr<MqttClient> AppDelegate::makeSession(const std::string& clientID,
                                                     const std::string& host, uint16_t port,
                                                     mqtt::MqttDelegate& delegate) {
    auto session = std::make_unique<mqtt::MqttSession>(clientID, host, port);
    session->setDelegate(&delegate);
    session->setEnableSSL(true);
    session->setExtraCaCertificates(extraCaCertificates());
    session->setConnectTimeout(limits().connectTimeout);
    session->setMaxIncomingPacketSize(limits().maxIncomingPacket);
    session->setMaxOutboundBytes(limits().maxOutboundBytes);
    return session;
}

std::chrono::milliseconds AppDelegate::reconnectDelay(const ReconnectDelays& delays, int attempt,
                                                      double random) {
    double base = static_cast<double>(delays.first.count());
    for (int i = 0; i < attempt && base < static_cast<double>(delays.cap.count()); ++i) base *= 2;
    base = std::min(base, static_cast<double>(delays.cap.count()));
    const double jittered = base * (1.0 + delays.jitter * std::clamp(random, -1.0, 1.0));
    return std::chrono::milliseconds(std::max<int64_t>(1, static_cast<int64_t>(jittered)));
}

AppDelegate::AppDelegate(ClientFactory factory, const process::Bundle* bundle)
    : clientID("TGW-API-MOBILE-TOOL-" + std::to_string(::getpid())),
      m_factory(std::move(factory)),
      m_bundle(bundle),
      m_devices(std::make_unique<DeviceMonitor>(bundle)),
      m_self(std::make_shared<AppDelegate*>(this)) {
    m_reconnectTimer.setSingleShot(true);
    QObject::connect(&m_reconnectTimer, &QTimer::timeout, &m_context, [this] { connectMqtt(); });
    // A broker that accepted the connection but never confirms the command
    // topic leaves the agent deaf: that connection counts as lost.
    m_subscribeTimer.setSingleShot(true);
    QObject::connect(&m_subscribeTimer, &QTimer::timeout, &m_context, [this] {
        if (!mqtt || m_state != ConnectionState::connecting) return;
        qCWarning(lcConnection) << "no SUBACK for the command topic; connecting again";
        mqtt->disconnect();
    });
    m_shutdownTimer.setSingleShot(true);
    QObject::connect(&m_shutdownTimer, &QTimer::timeout, &m_context, [this] {
        qCWarning(lcConnection) << "DISCONNECT not written within 1 s; quitting anyway";
        finishShutdown();
    });
}

AppDelegate::~AppDelegate() {
    *m_self = nullptr;
    m_reconnectTimer.stop();
    m_subscribeTimer.stop();
    m_shutdownTimer.stop();
    mqtt.reset();  // before the rest of this delegate goes
    m_retired.clear();
}

void AppDelegate::_console(std::string_view text) {
    writeConsoleLine(std::string("Delegate: ").append(text));
}

// ---- connection ------------------------------------------------------------

void AppDelegate::start(std::string newPrefix, std::optional<BrokerCredentials> credentials) {
    stop();
    m_quitting = false;
    prefix = std::move(newPrefix);
    m_credentials = std::move(credentials);
    m_attempt = 0;
    const size_t before = m_held.size();
    std::erase_if(m_held, [&](const Outgoing& r) { return r.prefix != prefix; });
    if (m_held.size() != before) {
        writeConsoleLine("results dropped: " + std::to_string(before - m_held.size()) +
                         " held for another account");
    }
    m_heldBytes = 0;
    for (const Outgoing& r : m_held) m_heldBytes += r.payload.size();
    setState(ConnectionState::connecting);
    connectMqtt();
}

void AppDelegate::stop() {
    m_reconnectTimer.stop();
    retireSession();
    m_state = ConnectionState::disconnected;
}

void AppDelegate::shutdown(std::function<void()> done) {
    m_reconnectTimer.stop();
    m_quitting = true;
    m_shutdownDone = std::move(done);
    if (mqtt && m_state == ConnectionState::connected) {
        m_shutdownTimer.start(1000);
        mqtt->disconnect();  // didDisconnect, or the timer, finishes
    } else {
        retireSession();  // nothing to say goodbye on; no late CONNACK either
        finishShutdown();
    }
}

void AppDelegate::finishShutdown() {
    if (!m_shutdownDone) return;
    std::function<void()> done = std::move(m_shutdownDone);
    m_shutdownDone = nullptr;
    m_shutdownTimer.stop();
    m_waiting.clear();
    for (auto& [id, query] : m_running) {
        query->closed = true;
        stopTool(*query);
    }
    process::stopAllProcesses();
    m_state = ConnectionState::disconnected;
    QTimer::singleShot(0, &m_context, std::move(done));
}

void AppDelegate::connectMqtt() {
    m_reconnectTimer.stop();
    m_subscribeTimer.stop();
    retireSession();
    m_credentialsRefused = false;
    mqtt = m_factory(clientID, brokerHost(), brokerPort(), *this);
    mqtt->setUsername(m_credentials ? m_credentials->username : kUsername);
    mqtt->setPassword(m_credentials ? m_credentials->password : kPassword);
    mqtt->setKeepAlive(keepAlive);
    qCInfo(lcConnection) << "connecting to" << brokerHost().c_str() << brokerPort() << "attempt"
                         << m_attempt;
    if (!mqtt->connect()) {
        qCWarning(lcConnection) << "the connection could not be started";
        setState(ConnectionState::retrying);
        scheduleReconnect();
    }
}

// The session goes on the event loop, never inside one of its own callbacks.
void AppDelegate::retireSession() {
    if (!mqtt) return;
    holdUnacknowledged();
    m_retired.push_back(std::move(mqtt));
    QTimer::singleShot(0, &m_context, [this] { m_retired.clear(); });
}

void AppDelegate::scheduleReconnect() {
    const double random = QRandomGenerator::global()->generateDouble() * 2 - 1;
    const auto delay = reconnectDelay(m_delays, m_attempt++, random);
    qCInfo(lcConnection) << "connecting again in" << delay.count() << "ms";
    m_reconnectTimer.start(delay);
}

void AppDelegate::setState(ConnectionState state) {
    if (state == m_state) return;
    m_state = state;
    qCInfo(lcConnection) << "connection state:" << stateName(state);
    if (viewContrl) viewContrl->connectionStateChanged(state);
}

// ---- MQTT events -------------------------------------------------------------
// A session being retired may still report; only the current one counts.

void AppDelegate::didReceiveTrust(MqttClient&, const mqtt::MqttServerTrust&,
                                  std::function<void(bool)> completion) {
    // Only asked when manual evaluation is switched on, which this controller
    // never does: the broker's certificate is verified by the TLS layer.
    completion(true);
}

void AppDelegate::didConnectAck(MqttClient& client, MqttConnAck ack) {
    if (&client != mqtt.get()) return;
    writeConsoleLine(std::string("didConnectAck: ") + mqtt::toString(ack) +
                     "\xEF\xBC\x8C"
                     "rawValue: " +
                     std::to_string(static_cast<int>(ack)));
    if (ack == MqttConnAck::accepted) {
        client.subscribe(commandTopic(prefix), MqttQos::qos1);
        m_subscribeTimer.start(m_limits.connectTimeout);
    } else if (ack == MqttConnAck::badUserNameOrPassword || ack == MqttConnAck::notAuthorized) {
        m_credentialsRefused = true;  // trying again cannot help
        if (m_reconnectTimer.isActive()) {
            // The end of this connection was reported first.
            m_reconnectTimer.stop();
            setState(ConnectionState::refused);
        }
    }
}

void AppDelegate::didPublishMessage(MqttClient& client, const mqtt::MqttMessage&, uint16_t) {
    if (&client != mqtt.get()) return;
    writeConsoleLine("didPublishMessage with message");
}

void AppDelegate::didPublishAck(MqttClient& client, uint16_t id) {
    if (&client != mqtt.get()) return;
    writeConsoleLine("didPublishAck with id: " + std::to_string(id));
    if (const auto it = m_unackedIds.find(id); it != m_unackedIds.end()) {
        m_unacked.erase(it->second);
        m_unackedIds.erase(it);
    }
}

void AppDelegate::didReceiveMessage(MqttClient& client, const mqtt::MqttMessage& message,
                                    uint16_t id) {
    if (&client != mqtt.get()) return;
    const std::optional<std::string> text = message.string();
    writeConsoleLine("didReceivedMessage: " + consoleQuote(text.value_or("")) + " with id " +
                     std::to_string(id));
    if (!text) {
        writeConsoleLine("command ignored: the payload is not UTF-8 text");
        return;
    }
    onReceivedMessage(message.topic(), *text);
}

void AppDelegate::didSubscribeTopic(MqttClient& client, const std::string& topic) {
    if (&client != mqtt.get()) return;
    writeConsoleLine("didSubscribeTopic to " + topic);
    if (topic != commandTopic(prefix)) return;
    m_attempt = 0;
    m_subscribeTimer.stop();
    setState(ConnectionState::connected);
    publishHeld();
}

void AppDelegate::didUnsubscribeTopic(MqttClient& client, const std::string& topic) {
    if (&client != mqtt.get()) return;
    writeConsoleLine("didUnsubscribeTopic to " + topic);
}

void AppDelegate::didPing(MqttClient& client) {
    if (&client != mqtt.get()) return;
    writeConsoleLine("didPing");
}

void AppDelegate::didReceivePong(MqttClient& client) {
    if (&client != mqtt.get()) return;
    _console("didReceivePong");
}

void AppDelegate::didDisconnect(MqttClient& client, const std::optional<mqtt::MqttError>& error) {
    if (&client != mqtt.get()) return;
    m_subscribeTimer.stop();
    holdUnacknowledged();
    ConnectionState next = ConnectionState::retrying;
    if (m_quitting) {
        next = ConnectionState::disconnected;
    } else if (m_credentialsRefused ||
               (error && error->kind == mqtt::MqttErrorKind::subscriptionRefused)) {
        next = ConnectionState::refused;
    } else if (error && error->kind == mqtt::MqttErrorKind::untrustedCertificate) {
        next = ConnectionState::untrusted;
    }
    setState(next);
    _console("mqttDidDisconnect");
    if (error) {
        _console("reason: " + error->description);
        qCWarning(lcConnection) << "connection lost:" << error->description.c_str() << "kind"
                                << static_cast<int>(error->kind);
    }
    if (m_quitting) {
        finishShutdown();
    } else if (next == ConnectionState::retrying) {
        scheduleReconnect();
    }
}

// ---- results -----------------------------------------------------------------
// Results are QoS 1. Every session is a clean one, so the broker forgets
// unacknowledged packet ids with the connection (MQTT 3.1.1, 3.1.2.4): what
// the old session had not seen acknowledged is published afresh, with new ids
// and DUP 0, on the next connection.

void AppDelegate::sendResult(Outgoing result) {
    if (result.prefix != prefix) {
        writeConsoleLine("result dropped: its account is no longer the one logged in");
        return;
    }
    if (mqtt && m_state == ConnectionState::connected) {
        publishNow(std::move(result));
        return;
    }
    m_heldBytes += result.payload.size();
    m_held.push_back(std::move(result));
    while (m_heldBytes > m_limits.maxOutboundBytes && m_held.size() > 1) {
        qCWarning(lcConnection) << "result of" << m_held.front().payload.size()
                                << "bytes dropped: too much waits for the connection";
        m_heldBytes -= m_held.front().payload.size();
        m_held.pop_front();
    }
}

void AppDelegate::publishNow(Outgoing result) {
    const uint16_t id =
        mqtt->publish(resultTopic(result.prefix), result.payload, MqttQos::qos1, false, false);
    if (id == 0) {
        qCWarning(lcConnection) << "result of" << result.payload.size()
                                << "bytes refused by the session; not sent";
        return;
    }
    if (const auto old = m_unackedIds.find(id); old != m_unackedIds.end()) {
        m_unacked.erase(old->second);  // an id only comes back once its PUBLISH is done
    }
    m_unackedIds[id] = ++m_publishCount;
    m_unacked.emplace(m_publishCount, std::move(result));
}

void AppDelegate::holdUnacknowledged() {
    if (m_unacked.empty()) return;
    qCInfo(lcConnection) << m_unacked.size() << "results unacknowledged; sent again on reconnect";
    for (auto it = m_unacked.rbegin(); it != m_unacked.rend(); ++it) {
        m_heldBytes += it->second.payload.size();
        m_held.push_front(std::move(it->second));
    }
    m_unacked.clear();
    m_unackedIds.clear();
}

void AppDelegate::publishHeld() {
    std::deque<Outgoing> held = std::move(m_held);
    m_held.clear();
    m_heldBytes = 0;
    for (Outgoing& r : held) sendResult(std::move(r));
}

// ---- commands ----------------------------------------------------------------

void AppDelegate::onReceivedMessage(const std::string&, const std::string& message) {
    std::string error;
    const std::optional<MqttApi> command = MqttApi::decode(message, &error);
    if (!command) {
        writeConsoleLine("command ignored: " + error);
        return;
    }
    writeConsoleLine(consoleQuote(command->type));
    if (command->type == "sync") {
        sendResult({prefix, std::string(kSyncReply)});
    } else if (command->type == "android") {
        if (command->serial && !validDeviceId(*command->serial)) {
            for (const Query* q : {&kAndroidProperties, &kAndroidImei}) {
                MqttApi r{q->type, "error: invalid serial", q->action, command->serial};
                sendResult({prefix, r.encode()});
            }
            return;
        }
        enqueue(kAndroidProperties, *command);
        enqueue(kAndroidImei, *command);
    } else if (command->type == "apple") {
        if (command->udid && !validDeviceId(*command->udid)) {
            MqttApi r{"apple", "error: invalid udid", "", std::nullopt, command->udid};
            sendResult({prefix, r.encode()});
            return;
        }
        enqueue(command->action == "battery" ? kAppleDiagnostics : kAppleInfo, *command);
    } else if (command->type == "devices") {
        std::weak_ptr<AppDelegate*> self = m_self;
        m_devices->listDevices([self, asker = prefix](const std::vector<DeviceInfo>& devices) {
            const auto s = self.lock();
            if (!s || !*s) return;
            (*s)->sendResult({asker, devicesResultJson(devices).toStdString()});
        });
    } else {
        writeConsoleLine("unknown type");
    }
}

// ---- device queries ----------------------------------------------------------

void AppDelegate::enqueue(const Query& query, const MqttApi& command) {
    auto q = std::make_unique<Running>();
    q->id = ++m_queryCount;
    q->query = &query;
    q->arguments = query.arguments;
    q->prefix = prefix;
    if (query.markers == MarkerSet::android && command.serial) {
        q->serial = command.serial;
        q->arguments = QStringList{"-s", QString::fromStdString(*command.serial)} + q->arguments;
    } else if (query.markers == MarkerSet::apple && command.udid) {
        // run.sh splits its one argument on blanks: the option goes after the tool's path.
        q->udid = command.udid;
        QString line = q->arguments.front();
        line.insert(line.indexOf(' '), " -u " + QString::fromStdString(*command.udid));
        q->arguments.front() = line;
    }
    m_waiting.push_back(std::move(q));
    launchWaiting();
}

void AppDelegate::launchWaiting() {
    while (!m_waiting.empty() &&
           m_running.size() < static_cast<size_t>(std::max(1, m_limits.maxConcurrentQueries))) {
        std::unique_ptr<Running> q = std::move(m_waiting.front());
        m_waiting.pop_front();
        if (q->prefix != prefix) {
            writeConsoleLine("query dropped: its account is no longer the one logged in");
            continue;
        }
        Running& query = *q;
        m_running.emplace(q->id, std::move(q));
        launch(query);
    }
}

void AppDelegate::launch(Running& q) {
    const Query& query = *q.query;
    const uint64_t id = q.id;
    std::weak_ptr<AppDelegate*> self = m_self;
    try {
        q.process = process::Process::initWith(query.resource, m_bundle);
        q.process->setArguments(q.arguments);
        q.timeLimit.setSingleShot(true);
        QObject::connect(&q.timeLimit, &QTimer::timeout, &m_context,
                         [this, id] { toolTimedOut(id); });
        q.timeLimit.start(m_limits.toolTimeLimit);
        q.process->sd().launchAsyncWith(
            false,
            [self, id](const std::string& piece, process::ProcessInput*) {
                if (auto s = self.lock(); s && *s) (*s)->collect(id, piece);
            },
            nullptr,
            [self, id](int32_t status) {
                if (auto s = self.lock(); s && *s) (*s)->toolEnded(id, status);
            });
    } catch (const process::SlarderError& e) {
        // No tool, no answer: tell the web service rather than leave it waiting.
        writeConsoleLine(e.description());
        q.closed = true;
        answer(q, "error: " + e.description());
        m_running.erase(id);  // launchWaiting() goes on with the next
    }
}

void AppDelegate::collect(uint64_t id, const std::string& piece) {
    const auto it = m_running.find(id);
    if (it == m_running.end() || it->second->closed) return;
    Running& q = *it->second;
    const Query& query = *q.query;
    q.buffer.append(piece);
    if (query.echo == Query::Echo::eachPiece) writeConsoleLine(consoleQuote(piece));
    const size_t cap = std::min(m_limits.toolOutputCap, kMaxCollectedBytes);
    if (q.answered) {
        // Each query is answered once; what follows is only reported when the tool ends.
        if (q.buffer.text().size() > cap) {
            q.closed = true;
            stopTool(q);
        }
        return;
    }
    if (q.buffer.text().size() > cap) {
        q.closed = true;
        stopTool(q);
        qCWarning(lcTools) << query.tool << "wrote more than" << cap << "bytes; stopped";
        answer(q, "error: " + std::string(query.tool) + " wrote more than " + sizeText(cap) +
                      "; the output was cut\n" + cutUtf8(q.buffer.take(), cap));
        return;
    }
    if (!q.buffer.containsAny(query.markers)) return;
    if (query.echo == Query::Echo::wholeText) writeConsoleLine(consoleQuote(q.buffer.text()));
    answer(q, q.buffer.take());
}

void AppDelegate::toolTimedOut(uint64_t id) {
    const auto it = m_running.find(id);
    if (it == m_running.end() || it->second->closed) return;
    Running& q = *it->second;
    q.closed = true;
    stopTool(q);
    if (q.answered) return;  // answered already, then hung: only stopped
    const std::string limit = durationText(m_limits.toolTimeLimit);
    qCWarning(lcTools) << q.query->tool << "did not finish within" << limit.c_str() << "; stopped";
    const std::string text = q.buffer.take();
    answer(q, "error: " + std::string(q.query->tool) + " did not finish within " + limit +
                  (text.empty() ? "" : "\n" + text));
}

void AppDelegate::toolEnded(uint64_t id, int32_t status) {
    const auto it = m_running.find(id);
    if (it == m_running.end()) return;
    Running& q = *it->second;
    if (q.query->termination != Query::Termination::silent) {
        if (q.query->termination == Query::Termination::errorThenStatus) {
            writeConsoleLine("errorrr???");
        }
        writeConsoleLine(std::to_string(status));
    }
    if (!q.closed && !q.answered) {
        // Ended without a completion text: its output is still its answer.
        writeConsoleLine(std::string(q.query->tool) + " ended without a completion text");
        answer(q, q.buffer.take());
    } else if (!q.closed && !q.buffer.text().empty()) {
        writeConsoleLine("output after the result dropped: " + consoleQuote(q.buffer.text()));
    }
    q.timeLimit.stop();
    m_running.erase(it);
    launchWaiting();
}

void AppDelegate::answer(Running& q, std::string data) {
    if (q.answered) return;
    q.answered = true;
    MqttApi result{q.query->type, std::move(data), q.query->action, q.serial, q.udid};
    std::string encoded = result.encode();
    if (!isValidUtf8(encoded)) encoded = kErrorReply;
    // Escaping can grow text sixfold (control bytes): a result that would not
    // fit the outbound buffer says so rather than being refused unseen.
    if (encoded.size() + 0x10000 > m_limits.maxOutboundBytes) {
        qCWarning(lcTools) << q.query->tool << "result of" << encoded.size()
                           << "bytes is too large to send";
        result.data = "error: the result of " + std::string(q.query->tool) +
                      " is too large to send (" + std::to_string(encoded.size()) + " bytes)";
        encoded = result.encode();
    }
    sendResult({q.prefix, std::move(encoded)});
}

void AppDelegate::stopTool(Running& q) {
    if (q.process) q.process->stop();
}

}  // namespace tgw::app
