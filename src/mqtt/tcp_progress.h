// What the kernel knows about our side of a TCP connection: how many bytes the
// peer has acknowledged, and how many are written but not acknowledged yet.
// Qt's write buffer empties into the kernel long before the peer has read the
// bytes, so only the peer's acknowledgements show whether a link still moves.
#pragma once

#include <cstdint>
#include <optional>

namespace tgw::mqtt {

struct TcpProgress {
    uint64_t bytesAcked = 0;    // acknowledged by the peer since the connection began
    uint64_t bytesUnacked = 0;  // in the kernel's send queue, sent or not
};

// None when the platform cannot tell or `descriptor` is not a TCP socket.
std::optional<TcpProgress> tcpProgress(intptr_t descriptor);

}  // namespace tgw::mqtt
