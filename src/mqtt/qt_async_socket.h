// QtAsyncSocket: AsyncSocket over QSslSocket on the main thread's event loop.
// The broker's certificate is verified against the system trust store plus the
// configured extra CAs, with the host name checked, unless the delegate is asked
// to judge it. Reads are served from the socket's own buffer, so the reader's
// one-byte reads cost neither a system call nor an allocation; that buffer is
// bounded, and a long read is filled as its bytes arrive.
#pragma once

#include <QObject>
#include <QSslSocket>
#include <QTimer>
#include <deque>
#include <memory>

#include "mqtt/async_socket.h"

namespace tgw::mqtt {

class QtAsyncSocket : public QObject, public AsyncSocket {
    Q_OBJECT
  public:
    QtAsyncSocket();
    ~QtAsyncSocket() override;

    void setDelegate(AsyncSocketDelegate* delegate) override { m_delegate = delegate; }
    bool connectToHost(const std::string& host, uint16_t port, std::string& error) override;
    void startTLS(const std::optional<AsyncSocketTlsSettings>& settings) override;
    void readDataToLength(size_t length, double timeoutSeconds, long tag) override;
    void writeData(std::span<const uint8_t> data, double timeoutSeconds, long tag) override;
    void disconnect() override;
    void disconnectWithError(const MqttError& error) override;
    std::optional<AsyncSocketProgress> transmitProgress() const override;
    uint64_t bytesReceived() const override { return m_received; }
    uint64_t bytesToWrite() const override;

  private:
    void onConnected();
    void onEncrypted();
    void onStateChanged(QAbstractSocket::SocketState state);
    void onBytesWritten(qint64 bytes);
    // Bytes Qt holds for this connection: plain ones and encrypted ones.
    qint64 qtHolds() const;
    // Hands waiting bytes to Qt while it holds less than a slice.
    void feedQt();
    void dropUnfed();
    void serveReads();
    void scheduleServe();
    void secured();
    bool writable() const;

    struct PendingRead {
        size_t length;
        long tag;
    };
    struct PendingWrite {
        qint64 end;
        long tag;
    };

    QSslSocket m_socket;
    AsyncSocketDelegate* m_delegate = nullptr;
    std::string m_host;
    uint16_t m_port = 0;
    bool m_open = false;           // a connection was started and not yet reported closed
    bool m_reportPending = false;  // its close is queued for the delegate
    bool m_tlsStarted = false;
    bool m_manualTrust = false;
    bool m_secured = false;
    bool m_closeRequested = false;  // disconnect() was called
    bool m_serving = false;
    bool m_serveQueued = false;
    std::optional<MqttError> m_error;
    std::optional<PendingRead> m_read;
    QTimer m_readTimer;
    Bytes m_readBuffer;
    size_t m_readHave = 0;  // bytes of the pending read already in m_readBuffer
    uint64_t m_received = 0;
    std::deque<PendingWrite> m_writes;
    // Qt keeps what it is given twice (plain, then encrypted) until the kernel
    // takes it: bytes beyond a slice wait here, once, and go to Qt as it drains.
    static constexpr qint64 kQtWriteSlice = 256 * 1024;
    static constexpr size_t kUnfedChunk = 16 * 1024;
    std::deque<Bytes> m_unfed;
    size_t m_unfedOffset = 0;  // bytes of the first already handed to Qt
    size_t m_unfedBytes = 0;
    qint64 m_queued = 0;
    qint64 m_written = 0;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

}  // namespace tgw::mqtt
