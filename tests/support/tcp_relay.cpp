#include "support/tcp_relay.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace tgw::test {

namespace {

constexpr int kTickMs = 50;
constexpr qint64 kReadBuffer = 256;

// A listening loopback socket, its receive buffer small if asked; accepted
// connections inherit it (set before listen, so the window scale agrees).
int listener(bool smallBuffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int size = 1;  // the kernel rounds it up to its minimum
    if (smallBuffer) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

TcpRelay::TcpRelay(quint16 targetPort) : m_targetPort(targetPort) {
    connect(&m_server, &QTcpServer::newConnection, this, &TcpRelay::accept);
    connect(&m_tick, &QTimer::timeout, this, [this] {
        for (const auto& link : m_links) link->budget = m_rate * kTickMs / 1000;
        pump();
    });
    m_tick.start(kTickMs);
    m_clock.start();
}

TcpRelay::~TcpRelay() {
    cut();
}

bool TcpRelay::listen(bool slow) {
    m_slow = slow;
    const int fd = listener(slow);
    return fd >= 0 && m_server.setSocketDescriptor(fd);
}

void TcpRelay::accept() {
    while (QTcpSocket* incoming = m_server.nextPendingConnection()) {
        auto link = std::make_unique<Link>();
        link->client.reset(incoming);
        incoming->setParent(nullptr);
        if (m_slow) incoming->setReadBufferSize(kReadBuffer);
        link->server = std::make_unique<QTcpSocket>();
        if (m_slow) link->server->setReadBufferSize(kReadBuffer);
        Link* raw = link.get();
        for (QTcpSocket* s : {raw->client.get(), raw->server.get()}) {
            connect(s, &QTcpSocket::readyRead, this, &TcpRelay::pump);
            connect(s, &QTcpSocket::disconnected, this, [this, raw] { drop(raw); });
        }
        connect(raw->server.get(), &QTcpSocket::connected, this, &TcpRelay::pump);
        link->server->connectToHost(QHostAddress::LocalHost, m_targetPort);
        m_links.push_back(std::move(link));
    }
}

void TcpRelay::thaw() {
    m_frozen = false;
    pump();
    for (Link* link : std::exchange(m_closedWhileFrozen, {})) drop(link);
}

void TcpRelay::pump() {
    if (m_frozen) return;
    for (const auto& link : m_links) {
        if (link->server->state() != QAbstractSocket::ConnectedState) continue;
        // Client to server, within this tick's share of the rate.
        const QByteArray up = m_rate <= 0 ? link->client->readAll()
                                          : link->client->read(std::max<qint64>(0, link->budget));
        link->budget -= up.size();
        if (!up.isEmpty()) {
            link->server->write(up);
            m_forwarded += up.size();
        }
        const QByteArray down = link->server->readAll();
        if (!down.isEmpty()) link->late.emplace_back(m_clock.elapsed() + m_delayMs, down);
        while (!link->late.empty() && link->late.front().first <= m_clock.elapsed()) {
            link->client->write(link->late.front().second);
            link->late.pop_front();
        }
    }
}

void TcpRelay::drop(Link* link) {
    // A frozen link passes nothing on, a close included: the other side
    // learns of it only once the link thaws (or is cut).
    if (m_frozen) {
        m_closedWhileFrozen.push_back(link);
        return;
    }
    // Deferred: the sockets may be inside their own signal.
    QTimer::singleShot(0, this, [this, link] {
        const auto it = std::find_if(m_links.begin(), m_links.end(),
                                     [&](const auto& l) { return l.get() == link; });
        if (it == m_links.end()) return;
        (*it)->client->abort();
        (*it)->server->abort();
        m_links.erase(it);
    });
}

void TcpRelay::cut() {
    for (const auto& link : m_links) {
        link->client->disconnect(this);
        link->server->disconnect(this);
        link->client->abort();
        link->server->abort();
    }
    m_links.clear();
    m_closedWhileFrozen.clear();
}

}  // namespace tgw::test
