// A peer that speaks raw bytes on a loopback port: accepts one connection
// and runs its script on a thread of its own, for brokers that misbehave in
// ways a real one never would (floods, trickles, a peer that never reads).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

namespace tgw::test {

class RawPeer {
  public:
    using Script = std::function<void(int fd, const std::atomic<bool>& stop)>;
    // On `port` when given, else on a free one.
    explicit RawPeer(Script script, uint16_t port = 0) {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        const int yes = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), size);
        ::listen(m_listen, 1);
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &size);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this, script = std::move(script)] {
            const int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0) return;
            script(fd, m_stop);
            ::close(fd);
        });
    }
    ~RawPeer() {
        m_stop = true;
        ::shutdown(m_listen, SHUT_RDWR);  // ends a waiting accept()
        m_thread.join();
        ::close(m_listen);
    }
    uint16_t port() const { return m_port; }

    // Writes what the socket takes within 200 ms; the count, 0 when it took nothing.
    static size_t offer(int fd, const uint8_t* data, size_t size) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 200) != 1) return 0;
        const ssize_t n = ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        return n > 0 ? static_cast<size_t>(n) : 0;
    }

  private:
    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace tgw::test
