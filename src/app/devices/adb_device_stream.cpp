#include "app/devices/adb_device_stream.h"

#include <QPointer>

#include "app/devices/device_tool_output.h"
#include "common/diagnostics.h"

namespace tgw::app {

namespace {

constexpr int kFirstBackoffMs = 250;
constexpr int kLastBackoffMs = 8000;

// The port adb's clients use for the server.
quint16 serverPort() {
    bool ok = false;
    const int port = qEnvironmentVariableIntValue("ANDROID_ADB_SERVER_PORT", &ok);
    return ok && port > 0 && port < 65536 ? quint16(port) : quint16(5037);
}

// Four hex digits at the front of `data`; nothing when they are not.
std::optional<int> hexLength(const QByteArray& data) {
    int value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = data[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return std::nullopt;
        value = value * 16 + digit;
    }
    return value;
}

}  // namespace

AdbDeviceStream::AdbDeviceStream(QObject* parent) : QObject(parent) {
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &AdbDeviceStream::connectNow);
    connect(&m_socket, &QTcpSocket::connected, this, [this] {
        request(m_step == Step::version ? QByteArray("host:version")
                : m_longForm            ? QByteArray("host:track-devices-l")
                                        : QByteArray("host:track-devices"));
    });
    connect(&m_socket, &QTcpSocket::readyRead, this, &AdbDeviceStream::readAvailable);
    connect(&m_socket, &QTcpSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError) { fail(m_socket.errorString()); });
}

AdbDeviceStream::~AdbDeviceStream() {
    m_socket.disconnect(this);
    m_socket.abort();
}

void AdbDeviceStream::start() {
    connectNow();
}

void AdbDeviceStream::connectNow() {
    m_retry.stop();
    m_socket.abort();
    m_buffer.clear();
    m_okay = false;
    m_step = Step::version;
    m_socket.connectToHost(QStringLiteral("127.0.0.1"), serverPort());
}

void AdbDeviceStream::request(const QByteArray& service) {
    m_socket.write(QByteArray::number(service.size(), 16).rightJustified(4, '0') + service);
}

void AdbDeviceStream::readAvailable() {
    m_buffer += m_socket.readAll();
    if (!consume()) fail(QStringLiteral("the adb server's answer makes no sense"));
}

bool AdbDeviceStream::consume() {
    if (!m_okay) {
        if (m_buffer.size() < 4) return true;
        if (m_buffer.startsWith("FAIL")) {
            if (m_buffer.size() < 8) return true;
            const std::optional<int> length = hexLength(m_buffer.mid(4, 4));
            if (!length) return false;
            if (m_buffer.size() < 8 + *length) return true;
            const QString why = QString::fromUtf8(m_buffer.mid(8, *length));
            if (m_step == Step::tracking && m_longForm) {
                // An older server: the plain stream, without model names.
                m_longForm = false;
                qCInfo(lcDevices).noquote() << "adb server has no long device stream:" << why;
                connectNow();
                return true;
            }
            fail(QStringLiteral("adb server refused: ") + why);
            return true;
        }
        if (!m_buffer.startsWith("OKAY")) return false;
        m_okay = true;
        m_buffer.remove(0, 4);
    }
    while (m_buffer.size() >= 4) {
        const std::optional<int> length = hexLength(m_buffer);
        if (!length) return false;
        if (m_buffer.size() < 4 + *length) return true;
        const QByteArray text = m_buffer.mid(4, *length);
        m_buffer.remove(0, 4 + *length);
        if (m_step == Step::version) {
            const std::optional<int> version = text.size() == 4 ? hexLength(text) : std::nullopt;
            if (!version) return false;
            if (m_version && *m_version != *version)
                qCWarning(lcDevices) << "adb server restarted by an adb of version" << *version
                                     << "(it was version" << *m_version << "before)";
            else if (!m_version)
                qCInfo(lcDevices) << "adb server version" << *version;
            m_version = version;
            // The server closes a version request; the stream is a request of its own.
            m_step = Step::tracking;
            m_okay = false;
            m_buffer.clear();
            m_socket.abort();
            m_socket.connectToHost(QStringLiteral("127.0.0.1"), serverPort());
            return true;
        }
        m_step = Step::streaming;
        m_devices = parseAdbDevices(QString::fromUtf8(text));
        if (!m_live) qCInfo(lcDevices) << "following the adb server's device list";
        m_live = true;
        m_announcedLoss = false;
        m_backoffMs = kFirstBackoffMs;
        QPointer<AdbDeviceStream> self(this);
        emit listed();
        if (!self) return true;
    }
    return true;
}

void AdbDeviceStream::fail(const QString& why) {
    const bool wasLive = m_live;
    m_live = false;
    m_devices.clear();
    m_socket.abort();
    if (wasLive)
        qCInfo(lcDevices).noquote() << "adb server's device list ended:" << why;
    else
        qCDebug(lcDevices).noquote() << "no device list from the adb server:" << why;
    retryLater();
    if (!m_announcedLoss) {
        m_announcedLoss = true;
        emit lost();
    }
}

void AdbDeviceStream::retryLater() {
    if (m_retry.isActive()) return;
    m_retry.start(m_backoffMs);
    m_backoffMs = std::min(m_backoffMs * 2, kLastBackoffMs);
}

}  // namespace tgw::app
