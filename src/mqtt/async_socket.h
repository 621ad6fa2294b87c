// AsyncSocket: an asynchronous TCP socket with optional TLS. Operations return
// at once; results come later, one at a time on the main thread's event loop,
// as calls on the socket's delegate. The MQTT session owns one socket and is
// its only delegate; tests drive the session through a scripted fake.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "mqtt/codec/bytes.h"
#include "mqtt/codec/client.h"

namespace tgw::mqtt {

class AsyncSocket;

struct AsyncSocketTlsSettings {
    // Ask the delegate to judge the broker's certificate instead of verifying it.
    bool manuallyEvaluateTrust = false;
    // PEM or DER CA certificates trusted in addition to the system store.
    std::vector<Bytes> extraCaCertificates;
};

// Bytes of ours the peer has acknowledged so far on this connection, and bytes
// written but not acknowledged yet (still in our buffers or in flight).
struct AsyncSocketProgress {
    uint64_t bytesAcked = 0;
    uint64_t bytesUnacked = 0;
};

class AsyncSocketDelegate {
  public:
    virtual ~AsyncSocketDelegate() = default;
    virtual void socketDidConnectToHost(AsyncSocket& socket, const std::string& host,
                                        uint16_t port) = 0;
    // Only with manual trust evaluation; `completion` decides whether to go on.
    virtual void socketDidReceiveTrust(AsyncSocket& socket, const MqttServerTrust& trust,
                                       std::function<void(bool)> completion) = 0;
    virtual void socketDidSecure(AsyncSocket& socket) = 0;
    virtual void socketDidWriteDataWithTag(AsyncSocket& socket, long tag) = 0;
    // `data` is valid only during the call.
    virtual void socketDidReadData(AsyncSocket& socket, std::span<const uint8_t> data,
                                   long tag) = 0;
    // Once per connection that was started; no error for a close we asked for.
    virtual void socketDidDisconnect(AsyncSocket& socket,
                                     const std::optional<MqttError>& error) = 0;
};

class AsyncSocket {
  public:
    virtual ~AsyncSocket() = default;

    // Non-owning; nullptr stops all further callbacks.
    virtual void setDelegate(AsyncSocketDelegate* delegate) = 0;
    // False (with `error` set) when the connect cannot be started, for example
    // while a connection exists or is still closing.
    virtual bool connectToHost(const std::string& host, uint16_t port, std::string& error) = 0;
    virtual void startTLS(const std::optional<AsyncSocketTlsSettings>& settings) = 0;
    // Exactly `length` bytes (at least 1); a timeout <= 0 waits without limit,
    // otherwise the connection ends with an error when it passes.
    virtual void readDataToLength(size_t length, double timeoutSeconds, long tag) = 0;
    // Bytes go out in the order written. Dropped when not connected (or while TLS
    // is being set up), so nothing is ever sent in clear on a TLS connection.
    virtual void writeData(std::span<const uint8_t> data, double timeoutSeconds, long tag) = 0;
    // Closes after writing what is queued; the disconnect callback follows.
    virtual void disconnect() = 0;
    // Closes at once; the disconnect callback reports `error`.
    virtual void disconnectWithError(const MqttError& error) = 0;

    // How far the peer has taken our bytes off the connection, when the
    // platform can tell: the keep-alive watchdog uses it to tell a link that
    // drains slowly from one that is frozen. None where it cannot be known.
    virtual std::optional<AsyncSocketProgress> transmitProgress() const { return std::nullopt; }
    // Bytes received on this connection so far, whole packets or not: any byte
    // shows the broker alive, even one of a packet still arriving.
    virtual uint64_t bytesReceived() const { return 0; }
    // Bytes written and still held in this process (not yet handed to the
    // kernel): what a broker that does not read makes us keep.
    virtual uint64_t bytesToWrite() const { return 0; }
};

}  // namespace tgw::mqtt
