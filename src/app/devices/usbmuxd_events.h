// UsbmuxdEvents: the iPhone multiplexer's own device events. It opens the
// daemon's socket (USBMUXD_SOCKET_ADDRESS: "UNIX:PATH" or "HOST:PORT"; else
// /var/run/usbmuxd), sends one "Listen" request, and reports every
// "Attached", "Detached" and "Paired" message that follows. The daemon runs
// only while an iPhone is plugged in on many systems: a socket that is absent
// or closes is asked again after 1 s, doubling to 10 s, reset once listening.
// Owned by the device monitor; lives on the main thread.
#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QTimer>
#include <memory>
#include <optional>

namespace tgw::app {

class UsbmuxdEvents : public QObject {
    Q_OBJECT
  public:
    explicit UsbmuxdEvents(QObject* parent = nullptr);
    ~UsbmuxdEvents() override;

    // Connects now, and again whenever the socket closes.
    void start();
    // The daemon accepted the Listen request and the socket is open.
    bool isListening() const { return m_listening; }

    // One message read from the front of `data`: its plist's top-level
    // MessageType and Number, and the bytes it took; nothing while incomplete.
    struct Message {
        QString type;
        std::optional<qint64> number;
        qsizetype size = 0;
        bool malformed = false;
    };
    static std::optional<Message> readMessage(const QByteArray& data);
    // The Listen request as the daemon's clients send it, with `tag`.
    static QByteArray listenRequest(quint32 tag);

  signals:
    // An iPhone came, went or was paired; also when listening ends, since the
    // daemon's phones went with it.
    void changed();

  private:
    void connectNow();
    void readAvailable();
    void fail(const QString& why);

    std::unique_ptr<QIODevice> m_socket;
    QTimer m_retry;
    int m_backoffMs = 1000;
    QByteArray m_buffer;
    bool m_listening = false;
    bool m_loggedAbsent = false;
};

}  // namespace tgw::app
