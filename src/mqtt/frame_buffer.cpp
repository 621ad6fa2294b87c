#include "mqtt/frame_buffer.h"

#include <QCoreApplication>
#include <algorithm>
#include <climits>

#include "common/diagnostics.h"
#include "mqtt/codec/logger.h"

namespace tgw::mqtt {

namespace {

// Longer timeouts are treated as this one (about 31 years): the deadline
// arithmetic stays far from overflow.
constexpr double kLongestTimeoutSeconds = 1e9;

}  // namespace

MqttFrameBuffer::MqttFrameBuffer() {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, &m_context, [this] { expire(); });
}

MqttFrameBuffer::~MqttFrameBuffer() = default;

size_t MqttFrameBuffer::frameBytes(const MqttFramePublish& frame) {
    // Fixed header and length (at most 5), topic prefix and id (4), topic, payload.
    return 9 + (frame.topic() ? frame.topic()->size() : 0) + frame.payload().size();
}

bool MqttFrameBuffer::add(MqttFramePublish frame, size_t alsoHeld) {
    const size_t bytes = frameBytes(frame);
    if (isBufferFull(bytes + alsoHeld)) {
        ++m_abandoned;
        const uint16_t id = frame.msgid().value_or(0);
        printDebug("Buffer is full, message(" + std::to_string(id) + ") was abandoned.");
        qCWarning(lcConnection).nospace()
            << "outbound buffer full (" << m_waitingBytes + alsoHeld << " of " << m_maxWaitingBytes
            << " bytes waiting): message " << id << " of " << bytes << " bytes refused, "
            << m_abandoned << " refused so far";
        return false;
    }
    m_waitingBytes += bytes;
    ++m_ids[frame.msgid().value_or(0)];
    m_buffer.push_back(std::move(frame));
    tryTransport();
    return true;
}

void MqttFrameBuffer::tryTransport() {
    // A loop instead of the recursion "send, then try again": the same order,
    // without a stack that grows with the queue.
    if (m_transporting || m_paused) return;
    m_transporting = true;
    while (!isBufferEmpty() && !isSilosFull()) {
        MqttFramePublish frame = std::move(m_buffer.front());
        m_buffer.pop_front();
        const size_t bytes = frameBytes(frame);
        m_waitingBytes -= std::min(m_waitingBytes, bytes);
        send(frame);
        const uint16_t msgid = frame.msgid().value_or(0);
        if (frame.qos() == 0) {
            forget(msgid);
            continue;
        }
        const double seconds = std::clamp(m_timeout, 0.0, kLongestTimeoutSeconds);
        const auto timeout =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        m_silos.push_back({msgid, bytes, Clock::now() + timeout});
        m_inFlightBytes += bytes;
        armTimer();
    }
    m_transporting = false;
}

void MqttFrameBuffer::send(MqttFramePublish& frame) {
    if (m_delegate) m_delegate->buffer(*this, frame);
}

void MqttFrameBuffer::forget(uint16_t msgid) {
    const auto it = m_ids.find(msgid);
    if (it != m_ids.end() && --it->second == 0) m_ids.erase(it);
}

bool MqttFrameBuffer::isOutstanding(uint16_t msgid) const {
    if (m_givenUp.contains(msgid)) return true;
    const auto inFlight = std::count_if(m_silos.begin(), m_silos.end(),
                                        [&](const InFlight& f) { return f.msgid == msgid; });
    return std::count(m_acked.begin(), m_acked.end(), msgid) < inFlight;
}

bool MqttFrameBuffer::sendSuccess(uint16_t msgid) {
    if (m_givenUp.erase(msgid) > 0) {  // late, but delivered
        forget(msgid);
        return true;
    }
    if (!isOutstanding(msgid)) {
        // Nothing of ours waits for it: only the line, nothing queued.
        if (debugEnabled()) printDebug("sendMessageSuccess:" + std::to_string(msgid));
        return false;
    }
    m_acked.push_back(msgid);
    if (m_acked.size() > 1) return true;  // a settling is already queued
    QMetaObject::invokeMethod(
        &m_context, [this] { settleAcks(); }, Qt::QueuedConnection);
    return true;
}

void MqttFrameBuffer::settleAcks() {
    std::vector<uint16_t> acked;
    acked.swap(m_acked);
    for (const uint16_t msgid : acked) {
        removeFrameFromSilos(msgid);
        if (debugEnabled()) printDebug("sendMessageSuccess:" + std::to_string(msgid));
    }
}

bool MqttFrameBuffer::removeFrameFromSilos(uint16_t msgid) {
    for (auto it = m_silos.begin(); it != m_silos.end(); ++it) {
        if (it->msgid == msgid) {
            m_inFlightBytes -= it->bytes;
            forget(msgid);
            m_silos.erase(it);
            tryTransport();
            armTimer();
            return true;
        }
    }
    return false;
}

void MqttFrameBuffer::setPaused(bool paused) {
    m_paused = paused;
    if (paused) {
        m_timer.stop();
        return;
    }
    tryTransport();
    armTimer();
}

void MqttFrameBuffer::armTimer() {
    if (m_paused) return;
    if (m_silos.empty()) {
        m_timer.stop();
        return;
    }
    auto earliest = m_silos.front().deadline;
    for (const InFlight& f : m_silos) earliest = std::min(earliest, f.deadline);
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(earliest - Clock::now()).count();
    // QTimer counts in int milliseconds (24.8 days): a later deadline gets an
    // early wake-up that finds nothing due and arms again.
    const int ms = static_cast<int>(std::clamp<long long>(wait, 0, INT_MAX));
    // Keep a running timer that is due no later; restart it for an earlier deadline.
    if (m_timer.isActive() && m_timer.remainingTime() <= ms) return;
    m_timer.start(ms);
}

void MqttFrameBuffer::expire() {
    const auto now = Clock::now();
    std::vector<uint16_t> given;
    for (auto it = m_silos.begin(); it != m_silos.end();) {
        if (it->deadline <= now) {
            given.push_back(it->msgid);
            m_inFlightBytes -= it->bytes;
            m_givenUp.insert(it->msgid);
            it = m_silos.erase(it);
        } else {
            ++it;
        }
    }
    for (const uint16_t id : given) {
        printDebug("timeout of frame:" + std::to_string(id));
        if (m_delegate) m_delegate->bufferDidGiveUp(*this, id);
    }
    tryTransport();
    armTimer();
}

}  // namespace tgw::mqtt
