#include "process/internal/output_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace tgw::process {

namespace {
constexpr size_t kReadSize = 64 * 1024;
constexpr int kMaxDrainReads = 16;
}  // namespace

OutputStream::OutputStream(int fd, PieceHandler onPiece, std::function<void()> onEnd)
    : m_fd(fd), m_onPiece(std::move(onPiece)), m_onEnd(std::move(onEnd)) {
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                     [this] { readOnce(); });
}

OutputStream::~OutputStream() {
    closeFd();
}

void OutputStream::drain() {
    // What an ended writer left is at most a pipe's capacity; a writer that is
    // still busy is read through the notifier, without holding the event loop.
    for (int i = 0; i < kMaxDrainReads && readOnce(); ++i) {
    }
}

void OutputStream::close() {
    if (m_fd < 0) return;
    closeFd();
    deliver(m_decoder.finish());
}

std::optional<std::string> OutputStream::readPiece(bool* ended) {
    std::optional<std::string> piece;
    const Read r = readInto(&piece);
    *ended = r == Read::end;
    if (*ended && m_onEnd) m_onEnd();
    return piece;
}

OutputStream::Read OutputStream::readInto(std::optional<std::string>* piece) {
    if (m_fd < 0) return Read::end;
    char buf[kReadSize];
    const ssize_t n = ::read(m_fd, buf, sizeof buf);
    if (n > 0) {
        *piece = m_decoder.take(buf, static_cast<size_t>(n));
        return Read::data;
    }
    if (n < 0 && errno == EINTR) return Read::data;
    if (n < 0 && errno == EAGAIN) return Read::nothing;
    // The end of data, or an error that ends the stream as well.
    closeFd();
    *piece = m_decoder.finish();
    return Read::end;
}

bool OutputStream::readOnce() {
    std::optional<std::string> piece;
    const Read r = readInto(&piece);
    deliver(piece);
    if (r == Read::end && m_onEnd) m_onEnd();
    return r == Read::data;
}

void OutputStream::deliver(const std::optional<std::string>& piece) {
    if (piece && m_onPiece) m_onPiece(*piece);
}

void OutputStream::closeFd() {
    // This may run inside the notifier's own signal: it is only switched off
    // here and goes with the stream.
    if (m_notifier) m_notifier->setEnabled(false);
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

}  // namespace tgw::process
