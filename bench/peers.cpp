#include "peers.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace tgw::bench {

namespace {

const char* kUser = "tanglow_web";
const char* kPass = "palmoc5829";

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "bench: %s failed\n", what);
        std::exit(2);
    }
}

}  // namespace

MosquittoPeer::MosquittoPeer(const std::string& id, int port, int maxInflight,
                             const std::string& host, const std::string& caFile) {
    static bool initialised = (mosquitto_lib_init(), true);
    (void)initialised;
    m_client = mosquitto_new(id.c_str(), true, this);
    mosquitto_username_pw_set(m_client, kUser, kPass);
    mosquitto_max_inflight_messages_set(m_client, static_cast<unsigned>(maxInflight));
    mosquitto_int_option(m_client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(m_client, [](mosquitto*, void* self, int rc) {
        if (rc == 0) static_cast<MosquittoPeer*>(self)->m_connected.add();
    });
    mosquitto_publish_callback_set(m_client, [](mosquitto*, void* self, int) {
        static_cast<MosquittoPeer*>(self)->published.add();
    });
    mosquitto_subscribe_callback_set(m_client, [](mosquitto*, void* self, int, int, const int*) {
        static_cast<MosquittoPeer*>(self)->subscribed.add();
    });
    mosquitto_message_callback_set(
        m_client, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* peer = static_cast<MosquittoPeer*>(self);
            if (peer->onMessage) {
                peer->onMessage(*peer, m->topic,
                                std::string(static_cast<const char*>(m->payload),
                                            static_cast<size_t>(m->payloadlen)));
            }
            peer->received.add();
        });
    if (!caFile.empty()) {
        check(mosquitto_tls_set(m_client, caFile.c_str(), nullptr, nullptr, nullptr, nullptr) ==
                  MOSQ_ERR_SUCCESS,
              "mosquitto_tls_set");
    }
    check(mosquitto_connect(m_client, host.c_str(), port, 60) == MOSQ_ERR_SUCCESS,
          "mosquitto_connect");
    check(mosquitto_loop_start(m_client) == MOSQ_ERR_SUCCESS, "mosquitto_loop_start");
    check(m_connected.waitFor(1, std::chrono::seconds(10)), "libmosquitto CONNACK");
}

MosquittoPeer::~MosquittoPeer() {
    mosquitto_disconnect(m_client);
    mosquitto_loop_stop(m_client, false);
    mosquitto_destroy(m_client);
}

void MosquittoPeer::subscribe(const std::string& topic) {
    const long before = subscribed.value();
    mosquitto_subscribe(m_client, nullptr, topic.c_str(), 1);
    check(subscribed.waitFor(before + 1, std::chrono::seconds(10)), "libmosquitto SUBACK");
}

void MosquittoPeer::publish(const std::string& topic, const std::string& payload, int qos) {
    mosquitto_publish(m_client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), qos, false);
}

PahoPeer::PahoPeer(const std::string& id, int port, int maxInflight, int maxBuffered) {
    MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
    create.maxBufferedMessages = maxBuffered;
    const std::string uri = "tcp://127.0.0.1:" + std::to_string(port);
    check(
        MQTTAsync_createWithOptions(&m_client, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                                    nullptr, &create) == MQTTASYNC_SUCCESS,
        "MQTTAsync_create");
    MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
    options.keepAliveInterval = 60;
    options.cleansession = 1;
    options.username = kUser;
    options.password = kPass;
    options.maxInflight = maxInflight;
    options.context = this;
    options.onSuccess = [](void* self, MQTTAsync_successData*) {
        static_cast<PahoPeer*>(self)->m_connected.add();
    };
    check(MQTTAsync_connect(m_client, &options) == MQTTASYNC_SUCCESS, "MQTTAsync_connect");
    check(m_connected.waitFor(1, std::chrono::seconds(10)), "Paho CONNACK");
}

PahoPeer::~PahoPeer() {
    MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
    MQTTAsync_disconnect(m_client, &options);
    MQTTAsync_destroy(&m_client);
}

void PahoPeer::publish(const std::string& topic, const std::string& payload, int qos) {
    MQTTAsync_message message = MQTTAsync_message_initializer;
    message.payload = const_cast<char*>(payload.data());
    message.payloadlen = static_cast<int>(payload.size());
    message.qos = qos;
    MQTTAsync_responseOptions response = MQTTAsync_responseOptions_initializer;
    response.context = this;
    response.onSuccess = [](void* self, MQTTAsync_successData*) {
        static_cast<PahoPeer*>(self)->published.add();
    };
    while (MQTTAsync_sendMessage(m_client, topic.c_str(), &message, &response) !=
           MQTTASYNC_SUCCESS) {
        std::this_thread::yield();
    }
}

}  // namespace tgw::bench
