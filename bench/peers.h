// The peers measured against: libmosquitto and Paho C (asynchronous client),
// each driven from its own network thread, with small blocking helpers.
#pragma once

#include <MQTTAsync.h>
#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

namespace tgw::bench {

// Waits on a counter that other threads raise.
class Counter {
  public:
    void add() {
        std::lock_guard lock(m_mutex);
        ++m_value;
        m_changed.notify_all();
    }
    long value() {
        std::lock_guard lock(m_mutex);
        return m_value;
    }
    bool waitFor(long target, std::chrono::seconds timeout = std::chrono::seconds(120)) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_value >= target; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    long m_value = 0;
};

// A libmosquitto client on its own thread. Counts completed publishes (for
// QoS 0: written; for QoS 1: acknowledged) and received messages.
class MosquittoPeer {
  public:
    // With a CA file the peer speaks TLS and checks the broker's certificate against it.
    MosquittoPeer(const std::string& id, int port, int maxInflight = 10,
                  const std::string& host = "127.0.0.1", const std::string& caFile = "");
    ~MosquittoPeer();
    void subscribe(const std::string& topic);
    void publish(const std::string& topic, const std::string& payload, int qos);
    // Called on the peer's thread for every message received.
    std::function<void(MosquittoPeer&, const std::string& topic, const std::string& payload)>
        onMessage;

    Counter published;
    Counter received;
    Counter subscribed;

  private:
    mosquitto* m_client;
    Counter m_connected;
};

// A Paho C asynchronous client. Counts completed publishes.
class PahoPeer {
  public:
    PahoPeer(const std::string& id, int port, int maxInflight, int maxBuffered);
    ~PahoPeer();
    void publish(const std::string& topic, const std::string& payload, int qos);

    Counter published;

  private:
    MQTTAsync m_client = nullptr;
    Counter m_connected;
};

}  // namespace tgw::bench
