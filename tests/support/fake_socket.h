// A scripted AsyncSocket: records what the session writes and asks, and lets a
// test play the broker by feeding bytes and reporting connects and closes.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>

#include "mqtt/async_socket.h"

namespace tgw::test {

using tgw::mqtt::Bytes;

class FakeSocket : public tgw::mqtt::AsyncSocket {
  public:
    struct Write {
        Bytes bytes;
        long tag;
    };

    void setDelegate(tgw::mqtt::AsyncSocketDelegate* d) override { delegate = d; }
    bool connectToHost(const std::string& h, uint16_t p, std::string& error) override {
        ++connectCalls;
        host = h;
        port = p;
        if (!acceptConnect) error = "refused by the test";
        return acceptConnect;
    }
    void startTLS(const std::optional<tgw::mqtt::AsyncSocketTlsSettings>& s) override {
        tlsStarted = true;
        tlsSettings = s;
    }
    void readDataToLength(size_t length, double timeout, long tag) override {
        pending = Read{length, timeout, tag};
        ++readsIssued;
        longestRead = std::max(longestRead, length);
    }
    void writeData(std::span<const uint8_t> data, double, long tag) override {
        if (record) writes.push_back({Bytes(data.begin(), data.end()), tag});
        ++writeCount;
        if (onWrite) onWrite(Bytes(data.begin(), data.end()));
    }
    void disconnect() override { ++disconnectCalls; }
    void disconnectWithError(const tgw::mqtt::MqttError& error) override {
        ++disconnectCalls;
        closeError = error.description;
        closeKind = error.kind;
    }
    std::optional<tgw::mqtt::AsyncSocketProgress> transmitProgress() const override {
        return progress;
    }
    uint64_t bytesReceived() const override { return received; }
    uint64_t bytesToWrite() const override { return held; }

    // Plays the broker.
    void completeConnect() { delegate->socketDidConnectToHost(*this, host, port); }
    void completeSecure() { delegate->socketDidSecure(*this); }
    void reportClosed(std::optional<std::string> error = std::nullopt) {
        std::optional<tgw::mqtt::MqttError> e;
        if (error) e = tgw::mqtt::MqttError{*error};
        delegate->socketDidDisconnect(*this, e);
    }
    // Appends inbound bytes and completes every read they satisfy.
    void feed(const Bytes& bytes) {
        received += bytes.size();
        inbound.insert(inbound.end(), bytes.begin(), bytes.end());
        while (pending && delegate && inbound.size() >= pending->length) {
            const Read r = *pending;
            pending.reset();
            Bytes chunk(inbound.begin(), inbound.begin() + static_cast<long>(r.length));
            inbound.erase(inbound.begin(), inbound.begin() + static_cast<long>(r.length));
            delegate->socketDidReadData(*this, chunk, r.tag);
        }
    }
    void feedBytewise(const Bytes& bytes) {
        for (uint8_t b : bytes) feed(Bytes{b});
    }
    Bytes allWritten() const {
        Bytes out;
        for (const Write& w : writes) out.insert(out.end(), w.bytes.begin(), w.bytes.end());
        return out;
    }
    Bytes lastWrite() const { return writes.empty() ? Bytes{} : writes.back().bytes; }

    struct Read {
        size_t length;
        double timeout;
        long tag;
    };
    tgw::mqtt::AsyncSocketDelegate* delegate = nullptr;
    std::function<void(const Bytes&)> onWrite;  // told of every write
    bool acceptConnect = true;
    bool record = true;
    int connectCalls = 0;
    int disconnectCalls = 0;
    int readsIssued = 0;
    size_t longestRead = 0;
    size_t writeCount = 0;
    std::string host;
    uint16_t port = 0;
    bool tlsStarted = false;
    std::optional<tgw::mqtt::AsyncSocketTlsSettings> tlsSettings;
    std::optional<std::string> closeError;
    std::optional<tgw::mqtt::MqttErrorKind> closeKind;
    std::optional<tgw::mqtt::AsyncSocketProgress> progress;  // what transmitProgress() says
    uint64_t received = 0;                                   // bytes fed so far
    uint64_t held = 0;                                       // what bytesToWrite() says
    std::optional<Read> pending;
    std::deque<uint8_t> inbound;
    std::vector<Write> writes;
};

}  // namespace tgw::test
