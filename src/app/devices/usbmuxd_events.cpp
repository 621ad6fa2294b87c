#include "app/devices/usbmuxd_events.h"

#include <QLocalSocket>
#include <QTcpSocket>
#include <QXmlStreamReader>
#include <QtEndian>

#include "common/diagnostics.h"

namespace tgw::app {

namespace {

constexpr int kFirstBackoffMs = 1000;
constexpr int kLastBackoffMs = 10000;
constexpr quint32 kHeaderSize = 16;
constexpr quint32 kPlistMessage = 8;
constexpr quint32 kMaxMessage = 1 << 20;  // a device record is a few hundred bytes

// The top-level MessageType and Number of an XML plist; false when it is none.
bool readPlist(const QByteArray& xml, UsbmuxdEvents::Message& message) {
    QXmlStreamReader reader(xml);
    int depth = 0;
    QString key;
    bool sawDict = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            const auto name = reader.name();
            if (name == QLatin1String("dict")) {
                sawDict = sawDict || depth == 0;
                ++depth;
            } else if (depth == 1 && name == QLatin1String("key")) {
                key = reader.readElementText();
            } else if (depth == 1 && key == QLatin1String("MessageType") &&
                       name == QLatin1String("string")) {
                message.type = reader.readElementText();
            } else if (depth == 1 && key == QLatin1String("Number") &&
                       name == QLatin1String("integer")) {
                bool ok = false;
                const qint64 number = reader.readElementText().toLongLong(&ok);
                if (ok) message.number = number;
            }
        } else if (reader.isEndElement() && reader.name() == QLatin1String("dict")) {
            --depth;
        }
    }
    return sawDict && !reader.hasError();
}

QByteArray plistString(const char* key, const QString& value) {
    return QByteArray("\t<key>") + key + "</key>\n\t<string>" + value.toHtmlEscaped().toUtf8() +
           "</string>\n";
}

}  // namespace

std::optional<UsbmuxdEvents::Message> UsbmuxdEvents::readMessage(const QByteArray& data) {
    if (data.size() < qsizetype(kHeaderSize)) return std::nullopt;
    const auto word = [&](int i) { return qFromLittleEndian<quint32>(data.constData() + 4 * i); };
    Message message;
    const quint32 length = word(0);
    if (length < kHeaderSize || length > kMaxMessage || word(2) != kPlistMessage) {
        message.malformed = true;
        return message;
    }
    if (data.size() < qsizetype(length)) return std::nullopt;
    message.size = length;
    message.malformed = !readPlist(data.mid(kHeaderSize, length - kHeaderSize), message);
    return message;
}

QByteArray UsbmuxdEvents::listenRequest(quint32 tag) {
    const QString name = QStringLiteral("tgw-mobile-tool");
    const QByteArray plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n" +
        plistString("ClientVersionString", name) + plistString("MessageType", "Listen") +
        plistString("ProgName", name) +
        "\t<key>kLibUSBMuxVersion</key>\n\t<integer>3</integer>\n</dict>\n</plist>\n";
    QByteArray header(kHeaderSize, '\0');
    qToLittleEndian<quint32>(quint32(kHeaderSize + plist.size()), header.data());
    qToLittleEndian<quint32>(1, header.data() + 4);
    qToLittleEndian<quint32>(kPlistMessage, header.data() + 8);
    qToLittleEndian<quint32>(tag, header.data() + 12);
    return header + plist;
}

UsbmuxdEvents::UsbmuxdEvents(QObject* parent) : QObject(parent) {
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &UsbmuxdEvents::connectNow);
}

UsbmuxdEvents::~UsbmuxdEvents() {
    if (m_socket) m_socket->disconnect(this);
}

void UsbmuxdEvents::start() {
    connectNow();
}

void UsbmuxdEvents::connectNow() {
    m_retry.stop();
    m_buffer.clear();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket.release()->deleteLater();
    }
    const QString address = qEnvironmentVariable("USBMUXD_SOCKET_ADDRESS");
    const auto sendListen = [this] { m_socket->write(listenRequest(1)); };
    const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
    if (!address.isEmpty() && !address.startsWith(QLatin1String("UNIX:")) && colon > 0) {
        auto* tcp = new QTcpSocket;
        m_socket.reset(tcp);
        connect(tcp, &QTcpSocket::connected, this, sendListen);
        connect(tcp, &QTcpSocket::errorOccurred, this, [this, tcp] { fail(tcp->errorString()); });
        tcp->connectToHost(address.left(colon), quint16(address.mid(colon + 1).toUInt()));
    } else {
        auto* local = new QLocalSocket;
        m_socket.reset(local);
        connect(local, &QLocalSocket::connected, this, sendListen);
        connect(local, &QLocalSocket::errorOccurred, this,
                [this, local] { fail(local->errorString()); });
        local->connectToServer(address.startsWith(QLatin1String("UNIX:"))
                                   ? address.mid(5)
                                   : QStringLiteral("/var/run/usbmuxd"));
    }
    connect(m_socket.get(), &QIODevice::readyRead, this, &UsbmuxdEvents::readAvailable);
}

void UsbmuxdEvents::readAvailable() {
    m_buffer += m_socket->readAll();
    while (const std::optional<Message> message = readMessage(m_buffer)) {
        if (message->malformed) return fail(QStringLiteral("usbmuxd's message makes no sense"));
        m_buffer.remove(0, message->size);
        if (message->type == QLatin1String("Result")) {
            if (message->number.value_or(-1) != 0)
                return fail(QStringLiteral("usbmuxd refused to report its devices: %1")
                                .arg(message->number.value_or(-1)));
            if (!m_listening) qCInfo(lcDevices) << "following usbmuxd's device events";
            m_listening = true;
            m_loggedAbsent = false;
            m_backoffMs = kFirstBackoffMs;
        } else if (message->type == QLatin1String("Attached") ||
                   message->type == QLatin1String("Detached") ||
                   message->type == QLatin1String("Paired")) {
            emit changed();
            if (!m_socket) return;
        }
    }
}

void UsbmuxdEvents::fail(const QString& why) {
    const bool wasListening = m_listening;
    m_listening = false;
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket.release()->deleteLater();
    }
    if (wasListening)
        qCInfo(lcDevices).noquote() << "usbmuxd's device events ended:" << why;
    else if (!m_loggedAbsent)
        qCDebug(lcDevices).noquote() << "no device events from usbmuxd:" << why;
    m_loggedAbsent = true;
    m_retry.start(m_backoffMs);
    m_backoffMs = std::min(m_backoffMs * 2, kLastBackoffMs);
    if (wasListening) emit changed();
}

}  // namespace tgw::app
