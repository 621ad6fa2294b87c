#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <cstddef>

#include "mqtt/tcp_progress.h"

namespace tgw::mqtt {

std::optional<TcpProgress> tcpProgress(intptr_t descriptor) {
    if (descriptor < 0) return std::nullopt;
    const int fd = static_cast<int>(descriptor);
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return std::nullopt;
    int unacked = 0;
    if (::ioctl(fd, SIOCOUTQ, &unacked) != 0) return std::nullopt;
    TcpProgress progress;
    // Kernels before 4.1 fill a shorter struct without the acknowledged count.
    if (size >= offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
        progress.bytesAcked = info.tcpi_bytes_acked;
    }
    progress.bytesUnacked = static_cast<uint64_t>(unacked);
    return progress;
}

}  // namespace tgw::mqtt
