// A TCP relay between a client under test and a real server, on loopback: it
// passes bytes both ways and can freeze the link (nothing moves, nothing is
// closed), throttle what the client sends to N bytes a second, deliver what
// the server sends a fixed time late, or cut every connection. Its listening socket has a small
// receive buffer, so a client writing faster than the relay reads sees its bytes stay
// unacknowledged, as on a slow real link.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <deque>
#include <memory>
#include <vector>

namespace tgw::test {

class TcpRelay : public QObject {
  public:
    explicit TcpRelay(quint16 targetPort);
    ~TcpRelay() override;

    // Listens on a free loopback port; false when it could not.
    // `slow`: small buffers, so that a client writing fast sees its bytes
    // stay unacknowledged; otherwise the relay moves bytes as fast as loopback.
    bool listen(bool slow = true);
    quint16 port() const { return m_server.serverPort(); }

    // Client-to-server bytes per second; 0 passes them as fast as they come.
    void throttle(qint64 bytesPerSecond) { m_rate = bytesPerSecond; }
    // Server-to-client bytes reach the client this long after they arrived.
    void delayDown(int ms) { m_delayMs = ms; }
    // Stops moving bytes in both directions (connections stay open); thaw() resumes.
    void freeze() { m_frozen = true; }
    void thaw();
    // Aborts every relayed connection at once.
    void cut();

    int connectionCount() const { return static_cast<int>(m_links.size()); }
    // Client-to-server bytes passed on so far.
    qint64 forwarded() const { return m_forwarded; }

  private:
    struct Link {
        std::unique_ptr<QTcpSocket> client;
        std::unique_ptr<QTcpSocket> server;
        qint64 budget = 0;  // client-to-server bytes still allowed in this tick
        std::deque<std::pair<qint64, QByteArray>> late;  // server bytes and when they are due
    };
    void accept();
    void pump();
    void drop(Link* link);

    quint16 m_targetPort;
    QTcpServer m_server;
    QTimer m_tick;
    std::vector<std::unique_ptr<Link>> m_links;
    std::vector<Link*> m_closedWhileFrozen;
    qint64 m_rate = 0;
    bool m_frozen = false;
    bool m_slow = true;
    qint64 m_forwarded = 0;
    int m_delayMs = 0;
    QElapsedTimer m_clock;
};

}  // namespace tgw::test
