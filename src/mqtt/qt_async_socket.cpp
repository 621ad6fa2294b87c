#include "mqtt/qt_async_socket.h"

#include <QSslConfiguration>
#include <algorithm>

#include "mqtt/tcp_progress.h"
#include "mqtt/tls_trust.h"

namespace tgw::mqtt {

namespace {

// A read buffer that grew past this for one large packet is given back afterwards.
constexpr size_t kReadBufferKept = 64 * 1024;
// Qt takes at most this much from the kernel ahead of our reads: a broker we
// stop reading from meets TCP flow control, not an ever-growing buffer here.
constexpr qint64 kQtReadBuffer = 256 * 1024;

}  // namespace

QtAsyncSocket::QtAsyncSocket() {
    m_socket.setReadBufferSize(kQtReadBuffer);
    m_readTimer.setSingleShot(true);
    connect(&m_readTimer, &QTimer::timeout, this, [this] {
        disconnectWithError({"read timed out", MqttErrorKind::network});
    });
    connect(&m_socket, &QSslSocket::connected, this, &QtAsyncSocket::onConnected);
    connect(&m_socket, &QSslSocket::encrypted, this, &QtAsyncSocket::onEncrypted);
    connect(&m_socket, &QSslSocket::stateChanged, this, &QtAsyncSocket::onStateChanged);
    connect(&m_socket, &QSslSocket::readyRead, this, &QtAsyncSocket::serveReads);
    connect(&m_socket, &QSslSocket::bytesWritten, this, &QtAsyncSocket::onBytesWritten);
    connect(&m_socket, &QSslSocket::encryptedBytesWritten, this, &QtAsyncSocket::feedQt);
    connect(&m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        // After our own disconnect() the peer closing too is no error.
        if (!m_error && !m_closeRequested) {
            m_error = MqttError{m_socket.errorString().toStdString(), MqttErrorKind::network};
        }
    });
    connect(&m_socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError>& errors) {
        std::string text = "TLS verification failed:";
        for (const QSslError& e : errors) text += " " + e.errorString().toStdString() + ";";
        m_error = MqttError{text, MqttErrorKind::untrustedCertificate};
    });
}

QtAsyncSocket::~QtAsyncSocket() {
    *m_alive = false;
    m_delegate = nullptr;
    m_socket.disconnect(this);
    m_socket.abort();
}

bool QtAsyncSocket::connectToHost(const std::string& host, uint16_t port, std::string& error) {
    if (m_open || m_socket.state() != QAbstractSocket::UnconnectedState) {
        error = "Attempting to connect while connected or still closing. Disconnect first.";
        return false;
    }
    if (host.empty()) {
        error = "Invalid host parameter (empty host name)";
        return false;
    }
    m_host = host;
    m_port = port;
    m_open = true;
    m_tlsStarted = m_manualTrust = m_secured = m_closeRequested = false;
    m_error.reset();
    m_read.reset();
    m_readHave = 0;
    m_writes.clear();
    dropUnfed();
    m_queued = m_written = 0;
    m_received = 0;
    m_socket.connectToHost(QString::fromStdString(host), port);
    return true;
}

void QtAsyncSocket::onConnected() {
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_delegate) m_delegate->socketDidConnectToHost(*this, m_host, m_port);
}

void QtAsyncSocket::startTLS(const std::optional<AsyncSocketTlsSettings>& settings) {
    m_manualTrust = settings && settings->manuallyEvaluateTrust;
    QSslConfiguration conf =
        trustedTlsConfiguration(settings ? settings->extraCaCertificates : std::vector<Bytes>{});
    conf.setPeerVerifyMode(m_manualTrust ? QSslSocket::VerifyNone : QSslSocket::VerifyPeer);
    m_socket.setSslConfiguration(conf);
    m_socket.setPeerVerifyName(QString::fromStdString(m_host));
    m_tlsStarted = true;
    m_socket.startClientEncryption();
}

void QtAsyncSocket::onEncrypted() {
    if (!m_manualTrust) {
        secured();
        return;
    }
    MqttServerTrust trust;
    trust.host = m_host;
    for (const QSslCertificate& cert : m_socket.peerCertificateChain()) {
        const QByteArray der = cert.toDer();
        trust.certificateChainDer.emplace_back(der.begin(), der.end());
    }
    if (!m_delegate) return;
    std::weak_ptr<bool> alive = m_alive;
    auto answered = std::make_shared<bool>(false);
    m_delegate->socketDidReceiveTrust(*this, trust, [this, alive, answered](bool trusted) {
        if (alive.expired() || *answered) return;
        *answered = true;
        if (trusted) {
            secured();
        } else {
            disconnectWithError(
                {"the broker's certificate was not trusted", MqttErrorKind::untrustedCertificate});
        }
    });
}

void QtAsyncSocket::secured() {
    if (!m_open || m_socket.state() != QAbstractSocket::ConnectedState) return;
    m_secured = true;
    if (m_delegate) m_delegate->socketDidSecure(*this);
    scheduleServe();
}

bool QtAsyncSocket::writable() const {
    return m_open && m_socket.state() == QAbstractSocket::ConnectedState &&
           (!m_tlsStarted || m_secured);
}

qint64 QtAsyncSocket::qtHolds() const {
    return m_socket.bytesToWrite() + m_socket.encryptedBytesToWrite();
}

void QtAsyncSocket::writeData(std::span<const uint8_t> data, double, long tag) {
    if (!writable() || data.empty()) return;
    // What Qt has room for goes to it at once, as before; the rest waits here.
    size_t taken = 0;
    if (m_unfed.empty()) {
        const qint64 room = kQtWriteSlice - qtHolds();
        if (room > 0) {
            const auto n = std::min<size_t>(data.size(), static_cast<size_t>(room));
            const qint64 w = m_socket.write(reinterpret_cast<const char*>(data.data()),
                                            static_cast<qint64>(n));
            if (w <= 0) return;
            taken = static_cast<size_t>(w);
        }
    }
    if (taken < data.size()) {
        const auto rest = data.subspan(taken);
        // Small writes (acknowledgements, pings) share a chunk.
        if (m_unfed.empty() || m_unfed.back().size() + rest.size() > kUnfedChunk) {
            m_unfed.emplace_back();
            if (rest.size() < kUnfedChunk) m_unfed.back().reserve(kUnfedChunk);
        }
        m_unfed.back().insert(m_unfed.back().end(), rest.begin(), rest.end());
        m_unfedBytes += rest.size();
    }
    m_queued += static_cast<qint64>(data.size());
    m_writes.push_back({m_queued, tag});
}

void QtAsyncSocket::feedQt() {
    while (!m_unfed.empty() && writable() && qtHolds() < kQtWriteSlice) {
        const Bytes& front = m_unfed.front();
        const size_t n = std::min(front.size() - m_unfedOffset, static_cast<size_t>(kQtWriteSlice));
        const qint64 w = m_socket.write(reinterpret_cast<const char*>(front.data() + m_unfedOffset),
                                        static_cast<qint64>(n));
        if (w <= 0) return;  // the socket is failing; its end is reported as usual
        m_unfedOffset += static_cast<size_t>(w);
        m_unfedBytes -= static_cast<size_t>(w);
        if (m_unfedOffset == front.size()) {
            m_unfed.pop_front();
            m_unfedOffset = 0;
        }
    }
    if (m_unfed.empty() && m_closeRequested && m_socket.state() == QAbstractSocket::ConnectedState)
        m_socket.disconnectFromHost();
}

void QtAsyncSocket::dropUnfed() {
    m_unfed.clear();
    m_unfedOffset = m_unfedBytes = 0;
}

void QtAsyncSocket::onBytesWritten(qint64 bytes) {
    feedQt();
    m_written += bytes;
    std::weak_ptr<bool> alive = m_alive;
    while (!m_writes.empty() && m_writes.front().end <= m_written) {
        const long tag = m_writes.front().tag;
        m_writes.pop_front();
        if (m_delegate) m_delegate->socketDidWriteDataWithTag(*this, tag);
        if (alive.expired()) return;
    }
}

void QtAsyncSocket::readDataToLength(size_t length, double timeoutSeconds, long tag) {
    m_read = PendingRead{length == 0 ? 1 : length, tag};
    m_readHave = 0;
    m_readTimer.stop();
    if (timeoutSeconds > 0) {
        m_readTimer.setInterval(
            std::chrono::milliseconds(static_cast<qint64>(timeoutSeconds * 1000)));
    } else {
        m_readTimer.setInterval(std::chrono::milliseconds(-1));
    }
    if (!m_serving) scheduleServe();
}

void QtAsyncSocket::scheduleServe() {
    if (m_serveQueued) return;
    m_serveQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_serveQueued = false;
            serveReads();
        },
        Qt::QueuedConnection);
}

void QtAsyncSocket::serveReads() {
    if (m_serving) return;
    m_serving = true;
    std::weak_ptr<bool> alive = m_alive;
    // A read is filled as bytes come, so Qt never holds a whole large packet
    // and every byte counts as received when it arrives.
    while (m_read && m_open && (!m_tlsStarted || m_secured)) {
        const size_t n = m_read->length;
        if (m_readBuffer.size() < n) m_readBuffer.resize(n);
        const qint64 available = m_socket.bytesAvailable();
        if (available > 0 && m_readHave < n) {
            const qint64 want = std::min<qint64>(available, static_cast<qint64>(n - m_readHave));
            const qint64 got =
                m_socket.read(reinterpret_cast<char*>(m_readBuffer.data() + m_readHave), want);
            if (got > 0) {
                m_readHave += static_cast<size_t>(got);
                m_received += static_cast<uint64_t>(got);
                m_readTimer.stop();  // the timeout counts from the last byte
            }
        }
        if (m_readHave < n) {
            if (m_readTimer.interval() > 0 && !m_readTimer.isActive()) m_readTimer.start();
            break;
        }
        const long tag = m_read->tag;
        m_read.reset();
        m_readHave = 0;
        m_readTimer.stop();
        if (!m_delegate) break;
        m_delegate->socketDidReadData(*this, std::span<const uint8_t>(m_readBuffer.data(), n), tag);
        if (alive.expired()) return;
        if (m_readBuffer.size() > kReadBufferKept) Bytes().swap(m_readBuffer);
    }
    m_serving = false;
}

void QtAsyncSocket::disconnect() {
    if (!m_open) return;
    m_closeRequested = true;
    // What waits here goes first: the close follows once Qt has it all.
    if (m_unfed.empty() || !writable()) m_socket.disconnectFromHost();
}

void QtAsyncSocket::disconnectWithError(const MqttError& error) {
    if (!m_open) return;
    m_error = error;
    m_socket.abort();
}

std::optional<AsyncSocketProgress> QtAsyncSocket::transmitProgress() const {
    if (!m_open || m_socket.state() != QAbstractSocket::ConnectedState) return std::nullopt;
    // Bytes Qt still holds (plain, and encrypted ones not yet handed to the
    // kernel) count as unacknowledged too.
    const auto held = static_cast<uint64_t>(qtHolds()) + m_unfedBytes;
    const auto kernel = tcpProgress(m_socket.socketDescriptor());
    if (!kernel) {
        // Without the kernel's figures, bytes that left our buffers for the
        // kernel count as taken: a link whose send buffer keeps emptying moves.
        const auto queued = static_cast<uint64_t>(m_queued);
        return AsyncSocketProgress{queued - std::min(queued, held), held};
    }
    return AsyncSocketProgress{kernel->bytesAcked, kernel->bytesUnacked + held};
}

uint64_t QtAsyncSocket::bytesToWrite() const {
    if (!m_open) return 0;
    return static_cast<uint64_t>(qtHolds()) + m_unfedBytes;
}

void QtAsyncSocket::onStateChanged(QAbstractSocket::SocketState state) {
    if (state != QAbstractSocket::UnconnectedState || !m_open || m_reportPending) return;
    m_reportPending = true;
    m_read.reset();
    m_readHave = 0;
    m_readTimer.stop();
    // Reported from the event loop, never from inside the call that closed the
    // socket, so a caller that closes sees its own call return first.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_reportPending = false;
            m_open = false;
            dropUnfed();
            std::optional<MqttError> error;
            if (m_error) error = *m_error;
            m_error.reset();
            if (m_delegate) m_delegate->socketDidDisconnect(*this, error);
        },
        Qt::QueuedConnection);
}

}  // namespace tgw::mqtt
